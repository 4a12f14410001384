#include "bridge/gui/comlan_window.h"

#include <QEvent>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QSystemTrayIcon>
#include <QTextCursor>
#include <QToolBar>
#include <QToolButton>
#include <cmath>
#include <string>

#include "bridge/comlan_bridge.h"

namespace orv {
namespace {

constexpr int kIconSize = 32;
constexpr double kPi = 3.14159265358979323846;

// A plug-like disc with four dots round it; while connected one dot lights up after the other.
QIcon paintIcon(int litDot) {
  QPixmap pixmap(kIconSize, kIconSize);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const bool idle = litDot < 0;
  p.setPen(Qt::NoPen);
  p.setBrush(idle ? QColor(120, 120, 120) : QColor(20, 80, 160));
  p.drawEllipse(QRectF(8, 8, 16, 16));
  for (int dot = 0; dot < ComlanWindow::kAnimationFrames; ++dot) {
    const double angle = dot * 2 * kPi / ComlanWindow::kAnimationFrames - kPi / 2;
    const QPointF centre(16 + 12 * std::cos(angle), 16 + 12 * std::sin(angle));
    p.setBrush(dot == litDot ? QColor(60, 220, 60) : QColor(170, 170, 170));
    p.drawEllipse(centre, 3.5, 3.5);
  }
  return QIcon(pixmap);
}

QString fromUtf8(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

ComlanWindow::ComlanWindow(ComlanCore& core, QWidget* parent, int settleMs)
    : QMainWindow(parent),
      core_(core),
      settleMs_(settleMs),
      memo_(new QPlainTextEdit),
      settingsButton_(new QToolButton),
      idleIcon_(paintIcon(-1)) {
  setObjectName("FComlan");
  setWindowTitle(QStringLiteral("Comlan 5.1"));
  resize(480, 320);
  for (int i = 0; i < kAnimationFrames; ++i) frames_.push_back(paintIcon(i));

  memo_->setObjectName("Memo");
  memo_->setReadOnly(true);
  memo_->setLineWrapMode(QPlainTextEdit::NoWrap);
  setCentralWidget(memo_);

  auto* toolBar = new QToolBar;
  toolBar->setObjectName("ToolBar");
  toolBar->setMovable(false);
  settingsButton_->setObjectName("SettingsButton");
  settingsButton_->setText(QStringLiteral("Settings"));
  toolBar->addWidget(settingsButton_);
  addToolBar(toolBar);
  connect(settingsButton_, &QToolButton::clicked, this, &ComlanWindow::openSettings);

  // Without a tray (no notification area on this desktop) the window icon turns instead and
  // minimising stays ordinary, so the window can always be found again.
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    tray_ = new QSystemTrayIcon(idleIcon_, this);
    tray_->setToolTip(QStringLiteral("Comlan"));
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
      if (r == QSystemTrayIcon::Trigger || r == QSystemTrayIcon::DoubleClick) restoreFromTray();
    });
    tray_->show();
  }
  setWindowIcon(idleIcon_);

  animation_.setInterval(kAnimationMs);
  connect(&animation_, &QTimer::timeout, this, &ComlanWindow::nextFrame);
  refreshTimer_.setInterval(kRefreshMs);
  connect(&refreshTimer_, &QTimer::timeout, this, &ComlanWindow::refresh);
  refreshTimer_.start();
  refresh();
}

ComlanWindow::~ComlanWindow() {
  // Before the timers and icons go: a dialog in the middle of OK finishes stopping the bridge.
  delete dialog_.data();
}

ComlanSettingsDialog* ComlanWindow::openSettings() {
  if (dialog_) {
    dialog_->raise();
    dialog_->activateWindow();
    return dialog_;
  }
  dialog_ = new ComlanSettingsDialog(core_, this, settleMs_);
  dialog_->setAttribute(Qt::WA_DeleteOnClose);
  connect(dialog_, &ComlanSettingsDialog::restarted, this, &ComlanWindow::refresh);
  dialog_->open();
  return dialog_;
}

void ComlanWindow::refresh() {
  const QString caption = fromUtf8(core_.caption());
  if (windowTitle() != caption) setWindowTitle(caption);

  const bool connected = core_.connected();
  if (connected && !animation_.isActive()) {
    frame_ = 0;
    framesShown_ = 0;
    animation_.start();
    nextFrame();
  } else if (!connected && animation_.isActive()) {
    animation_.stop();
    setIcon(idleIcon_);
  }

  const TextAreaModel& text = core_.textArea();
  const uint64_t version = text.version();
  if (version == shownVersion_) return;
  shownVersion_ = version;
  QString all;
  for (const std::string& line : text.lines()) {
    if (!all.isEmpty()) all += QLatin1Char('\n');
    all += fromUtf8(line);
  }
  memo_->setPlainText(all);
  memo_->moveCursor(QTextCursor::End);
  memo_->ensureCursorVisible();
}

void ComlanWindow::nextFrame() {
  setIcon(frames_[static_cast<size_t>(frame_)]);
  frame_ = (frame_ + 1) % kAnimationFrames;
  ++framesShown_;
}

void ComlanWindow::setIcon(const QIcon& icon) {
  if (tray_) {
    tray_->setIcon(icon);
  } else {
    setWindowIcon(icon);
  }
}

void ComlanWindow::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized() && tray_) {
    // Hidden from the task bar; the tray icon brings it back. Deferred: hiding inside the state
    // change confuses some window managers.
    QTimer::singleShot(0, this, &QWidget::hide);
  }
}

void ComlanWindow::restoreFromTray() {
  showNormal();
  raise();
  activateWindow();
}

}  // namespace orv
