#pragma once
// The splash window: one borderless, per-pixel translucent PNG picture,
// centred on the screen while the main window is being built.
//
// The picture is "oem.splash.png" in the application folder or, when that
// file does not exist, "res/images/splash.png" below it. Without a picture
// the window closes itself at once (a queued close). It closes itself when
// it loses activation or when another window of the application becomes
// active (the main window being shown), and the engine closes it at the end
// of its post-start step. It deletes itself when closed and never ends the
// application by closing.
//
// Main thread only.

#include <QImage>
#include <QWidget>

class TfrmCLSplashForm : public QWidget {
  Q_OBJECT

public:
  // appFolder: the application folder with a trailing '/'.
  explicit TfrmCLSplashForm(const QString &appFolder);
  ~TfrmCLSplashForm() override;

  // The picture shown; null when none could be loaded.
  const QImage &Picture() const { return FPicture; }
  // Full path of the file the picture came from ("" when none).
  QString PictureFile() const { return FPictureFile; }

  // Shows the window and paints it before returning.
  void ShowAndPaint();

protected:
  void paintEvent(QPaintEvent *event) override;
  void changeEvent(QEvent *event) override;

private:
  void FocusWindowChanged();

  QImage FPicture;
  QString FPictureFile;
  bool FWasActive = false;
};

// The splash window while it exists, else nullptr.
TfrmCLSplashForm *frmCLSplashForm();
