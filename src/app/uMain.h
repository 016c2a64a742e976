#pragma once
// The main window: the application's only top-level window. It owns the
// application engine and hosts three panels: the source list (pnlList, top
// of pnlCenter), the output panel (pnlOutput, bottom of pnlCenter, 228 high)
// and the preview (pnlPreview, right edge, 266 wide), in a fixed client area
// of 698 x 506 that is centred on the screen when first shown.
//
// For now the panels are empty frames; the forms docked into them, the
// controller, dropped files, always-on-top and the system-menu commands
// come with their own units.
//
// Main thread only.

#include <QMainWindow>

#include <memory>

namespace Ui {
class TfrmMain;
}
class TCLEngine;

class TfrmMain : public QMainWindow {
  Q_OBJECT

public:
  explicit TfrmMain(QWidget *parent = nullptr);
  ~TfrmMain() override;

  // The engine on this window (owned by it as a child).
  TCLEngine *CLEngine() const { return FCLEngine; }

  QWidget *pnlCenter() const;
  QWidget *pnlList() const;
  QWidget *pnlOutput() const;
  QWidget *pnlPreview() const;

private:
  void FormCreate();

  std::unique_ptr<Ui::TfrmMain> FUi;
  TCLEngine *FCLEngine = nullptr;
};
