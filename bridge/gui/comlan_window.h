#pragma once

#include <QIcon>
#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <cstdint>
#include <vector>

#include "bridge/gui/comlan_settings_dialog.h"

class QPlainTextEdit;
class QSystemTrayIcon;
class QToolButton;

namespace orv {

class ComlanCore;

// Comlan's main window: shows what the bridge received, opens the settings, and sits in the tray,
// its icon turning while the bridge is connected. The window only looks at the core, from a timer:
// the bridge thread never waits for it.
class ComlanWindow : public QMainWindow {
  Q_OBJECT

 public:
  static constexpr int kRefreshMs = 100;
  static constexpr int kAnimationMs = 500;
  static constexpr int kAnimationFrames = 4;

  // `settleMs` is the settings dialog's pause before the bridge starts again.
  explicit ComlanWindow(ComlanCore& core, QWidget* parent = nullptr,
                        int settleMs = ComlanSettingsDialog::kSettleMs);
  ~ComlanWindow() override;

  // Opens the settings dialog (or brings the open one forward) and returns it.
  ComlanSettingsDialog* openSettings();

  bool animating() const { return animation_.isActive(); }
  // Frames shown since the animation last started.
  int framesShown() const { return framesShown_; }
  bool inTray() const { return tray_ != nullptr; }

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void refresh();
  void nextFrame();
  void setIcon(const QIcon& icon);
  void restoreFromTray();

  ComlanCore& core_;
  int settleMs_;
  QPlainTextEdit* memo_;
  QToolButton* settingsButton_;
  QSystemTrayIcon* tray_ = nullptr;
  QPointer<ComlanSettingsDialog> dialog_;

  QTimer refreshTimer_;
  QTimer animation_;
  QIcon idleIcon_;
  std::vector<QIcon> frames_;
  int frame_ = 0;
  int framesShown_ = 0;
  uint64_t shownVersion_ = UINT64_MAX;
};

}  // namespace orv
