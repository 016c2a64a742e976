#include "app/CLSplashForm.h"

#include <QEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QWindow>

namespace {
QPointer<TfrmCLSplashForm> gSplash;
}

TfrmCLSplashForm *frmCLSplashForm() {
  return gSplash.data();
}

TfrmCLSplashForm::TfrmCLSplashForm(const QString &appFolder)
    : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
  setObjectName(QStringLiteral("frmCLSplashForm"));
  setAttribute(Qt::WA_TranslucentBackground);
  setAttribute(Qt::WA_DeleteOnClose);
  // Closing the splash must not count as closing the last window while the
  // main window is still hidden (hidden start).
  setAttribute(Qt::WA_QuitOnClose, false);
  if (!gSplash)
    gSplash = this;

  QString file = appFolder + QStringLiteral("oem.splash.png");
  if (!QFileInfo::exists(file))
    file = appFolder + QStringLiteral("res/images/splash.png");
  if (FPicture.load(file, "PNG")) {
    FPictureFile = file;
    FPicture = FPicture.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    setFixedSize(FPicture.size());
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
      const QRect area = screen->geometry();
      move(area.left() + (area.width() - FPicture.width()) / 2,
           area.top() + (area.height() - FPicture.height()) / 2);
    }
  } else {
    FPicture = QImage();
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
  }
  connect(qApp, &QGuiApplication::focusWindowChanged, this, &TfrmCLSplashForm::FocusWindowChanged);
}

TfrmCLSplashForm::~TfrmCLSplashForm() = default;

void TfrmCLSplashForm::ShowAndPaint() {
  if (FPicture.isNull())
    return;
  show();
  repaint();
}

void TfrmCLSplashForm::paintEvent(QPaintEvent *) {
  QPainter painter(this);
  painter.setCompositionMode(QPainter::CompositionMode_Source);
  painter.drawImage(0, 0, FPicture);
}

void TfrmCLSplashForm::changeEvent(QEvent *event) {
  QWidget::changeEvent(event);
  if (event->type() != QEvent::ActivationChange)
    return;
  if (isActiveWindow())
    FWasActive = true;
  else if (FWasActive)
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void TfrmCLSplashForm::FocusWindowChanged() {
  const QWindow *focus = QGuiApplication::focusWindow();
  if (focus && focus != windowHandle())
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}
