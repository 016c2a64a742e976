// The main window's frame and panels, and the splash window.

#include "AppTestEnv.h"

#include "app/CLCmdLine.h"
#include "app/CLEngine.h"
#include "app/CLSplashForm.h"
#include "app/uMain.h"

#include <QImage>
#include <QPainter>
#include <QPointer>
#include <QScreen>

using namespace vmtest;

namespace {

bool WritePng(const std::string &file, int w, int h, QColor colour) {
  std::filesystem::create_directories(std::filesystem::path(file).parent_path());
  QImage image(w, h, QImage::Format_ARGB32);
  image.fill(colour);
  return image.save(QString::fromStdString(file), "PNG");
}

} // namespace

TEST(frmMain, FixedClientAreaWithThreePanelsAndItsEngine) {
  TSettingsSandbox sandbox("[setting]\nApp.Name=Videomill\nApp.Ver=1.0.0.1\nApp.GUID=main-w\n");
  SetCLParams(QStringList());
  TfrmMain form;
  ASSERT_NE(form.CLEngine(), nullptr);
  EXPECT_EQ(form.CLEngine()->parent(), &form);
  EXPECT_EQ(CLEngine(), form.CLEngine());
  EXPECT_TRUE(form.CLEngine()->InInited());
  EXPECT_EQ(form.size(), QSize(698, 506));
  EXPECT_EQ(form.minimumSize(), form.maximumSize());

  form.show();
  ASSERT_TRUE(PumpUntil([&] { return !form.CLEngine()->InInited(); }));
  EXPECT_EQ(form.windowTitle(), QStringLiteral("Videomill  1.0.0.1"));

  for (const char *name : {"pnlCenter", "pnlList", "pnlOutput", "pnlPreview"})
    EXPECT_NE(form.findChild<QWidget *>(QString::fromLatin1(name)), nullptr) << name;
  EXPECT_EQ(form.pnlPreview()->geometry(), QRect(432, 0, 266, 506));
  EXPECT_EQ(form.pnlCenter()->geometry(), QRect(0, 0, 432, 506));
  EXPECT_EQ(form.pnlList()->geometry(), QRect(0, 0, 432, 278));
  EXPECT_EQ(form.pnlOutput()->geometry(), QRect(0, 278, 432, 228));
}

TEST(frmCLSplashForm, ShowsTheShippedPictureCentred) {
  TSettingsSandbox sandbox("[setting]\n");
  ASSERT_TRUE(
      WritePng(sandbox.AppFolder() + "res/images/splash.png", 120, 80, QColor(0, 0, 255, 128)));
  QPointer<TfrmCLSplashForm> splash =
      new TfrmCLSplashForm(QString::fromStdString(sandbox.AppFolder()));
  EXPECT_EQ(frmCLSplashForm(), splash.data());
  ASSERT_FALSE(splash->Picture().isNull());
  EXPECT_TRUE(splash->Picture().hasAlphaChannel());
  EXPECT_EQ(qAlpha(splash->Picture().pixel(5, 5)), 128);
  EXPECT_EQ(splash->size(), QSize(120, 80));
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  EXPECT_EQ(splash->pos(), QPoint(screen.left() + (screen.width() - 120) / 2,
                                  screen.top() + (screen.height() - 80) / 2));
  splash->ShowAndPaint();
  EXPECT_TRUE(splash->isVisible());
  QCoreApplication::processEvents();
  EXPECT_TRUE(splash) << "a splash with a picture stays until closed";

  // The engine's SplashClose closes and frees it; the application goes on.
  int lastClosed = 0;
  const auto counter =
      QObject::connect(qApp, &QGuiApplication::lastWindowClosed, [&] { ++lastClosed; });
  TCLEngine engine(nullptr);
  engine.SplashClose();
  ASSERT_TRUE(PumpUntil([&] { return splash.isNull(); }));
  EXPECT_EQ(frmCLSplashForm(), nullptr);
  EXPECT_EQ(lastClosed, 0);
  QObject::disconnect(counter);
}

TEST(frmCLSplashForm, RedistributorPictureWins) {
  TSettingsSandbox sandbox("[setting]\n");
  ASSERT_TRUE(WritePng(sandbox.AppFolder() + "res/images/splash.png", 120, 80, Qt::red));
  ASSERT_TRUE(WritePng(sandbox.AppFolder() + "oem.splash.png", 60, 40, Qt::green));
  auto *splash = new TfrmCLSplashForm(QString::fromStdString(sandbox.AppFolder()));
  EXPECT_EQ(splash->PictureFile(), QString::fromStdString(sandbox.AppFolder() + "oem.splash.png"));
  EXPECT_EQ(splash->size(), QSize(60, 40));
  delete splash;
  EXPECT_EQ(frmCLSplashForm(), nullptr);
}

TEST(frmCLSplashForm, ClosesItselfWithoutAPicture) {
  TSettingsSandbox sandbox("[setting]\n");
  // A file that is no PNG counts as no picture.
  ASSERT_TRUE(WriteFile(sandbox.AppFolder() + "res/images/splash.png", "not a png"));
  QPointer<TfrmCLSplashForm> splash =
      new TfrmCLSplashForm(QString::fromStdString(sandbox.AppFolder()));
  EXPECT_TRUE(splash->Picture().isNull());
  splash->ShowAndPaint();
  EXPECT_FALSE(splash->isVisible());
  ASSERT_TRUE(PumpUntil([&] { return splash.isNull(); }));
}

TEST(frmCLSplashForm, ClosesWhenAnotherWindowBecomesActive) {
  TSettingsSandbox sandbox("[setting]\n");
  ASSERT_TRUE(WritePng(sandbox.AppFolder() + "res/images/splash.png", 50, 50, Qt::white));
  QPointer<TfrmCLSplashForm> splash =
      new TfrmCLSplashForm(QString::fromStdString(sandbox.AppFolder()));
  splash->ShowAndPaint();
  QWidget main;
  main.show();
  main.activateWindow();
  ASSERT_TRUE(PumpUntil([&] { return splash.isNull(); }));
}
