#pragma once

#include <QDialog>
#include <QString>
#include <QTimer>
#include <atomic>
#include <functional>
#include <thread>

class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QLineEdit;
class QSpinBox;

namespace orv {

class ComlanCore;
class IniFile;

// "Settings": edits Comlan.ini. OK stops the bridge, writes the file, lets the serial port settle
// and starts the bridge again, all without holding up the window; the dialog closes once the
// bridge runs again. Cancel changes nothing.
class ComlanSettingsDialog : public QDialog {
  Q_OBJECT

 public:
  // Between writing the file and starting again, so that the device sees the line drop.
  static constexpr int kSettleMs = 1000;
  // Longest Id or Host the fields take: whatever comes in has a limit.
  static constexpr int kMaxTextLength = 255;

  explicit ComlanSettingsDialog(ComlanCore& core, QWidget* parent = nullptr,
                                int settleMs = kSettleMs);
  ~ComlanSettingsDialog() override;

  // Puts the edited values into `ini`. A list left without a selection (the file held a value
  // the list does not offer) keeps the file's entry as it was.
  void writeTo(IniFile& ini) const;

  // Between OK and the bridge running again.
  bool restarting() const { return stage_ != Stage::Editing; }

  // Tells the operator what went wrong; by default a message box that does not wait.
  std::function<void(const QString&)> showMessage;

 signals:
  // The bridge was started again; `saved` is false when Comlan.ini could not be written.
  void restarted(bool saved);

 public slots:
  void accept() override;
  void reject() override;

 private:
  enum class Stage { Editing, Stopping, Settling };

  void load();
  void checkStopped();
  bool save(QString& error);
  void startAgain();

  ComlanCore& core_;
  int settleMs_;
  Stage stage_ = Stage::Editing;
  bool saved_ = false;

  QLineEdit* id_;
  QComboBox* comPort_;
  QComboBox* baudRate_;
  QComboBox* dataBits_;
  QComboBox* stopBits_;
  QSpinBox* tcpPort_;
  QLineEdit* host_;
  QCheckBox* syncTime_;
  QDialogButtonBox* buttons_;

  // stop() joins the bridge thread, which may sit in a name lookup for a while: it runs here so
  // that the window keeps painting, and a 10 ms timer looks for its end.
  std::thread stopper_;
  std::atomic<bool> stopDone_{false};
  QTimer stopPoll_;
};

}  // namespace orv
