#include "app/uMain.h"

#include "app/CLEngine.h"
#include "services/CLDebug.h"
#include "ui_uMain.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>

TfrmMain::TfrmMain(QWidget *parent) : QMainWindow(parent), FUi(std::make_unique<Ui::TfrmMain>()) {
  FUi->setupUi(this);
  setFixedSize(698, 506);
  // Centred on the screen when first shown.
  if (const QScreen *screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.left() + (area.width() - width()) / 2, area.top() + (area.height() - height()) / 2);
  }
  // The engine first (it is a component of this window), then the window's
  // own creation step.
  FCLEngine = new TCLEngine(this);
  FCLEngine->SetTitleIncludeVer(true);
  FCLEngine->Loaded();
  FormCreate();
  CLDebug().LogMessage(
      QStringLiteral("Main window created (pid %1)").arg(QCoreApplication::applicationPid()),
      QStringLiteral("uMain"));
}

TfrmMain::~TfrmMain() = default;

QWidget *TfrmMain::pnlCenter() const {
  return FUi->pnlCenter;
}
QWidget *TfrmMain::pnlList() const {
  return FUi->pnlList;
}
QWidget *TfrmMain::pnlOutput() const {
  return FUi->pnlOutput;
}
QWidget *TfrmMain::pnlPreview() const {
  return FUi->pnlPreview;
}

void TfrmMain::FormCreate() {
  // The controller, the three panel forms, dropped files, the taskbar
  // progress and always-on-top are set up here as they arrive.
}
