#pragma once

#include <QPointer>
#include <QWidget>
#include <vector>

#include "server/core/gui/output_model.h"
#include "server/core/status_view.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QSystemTrayIcon;
class QTabWidget;
class QTableView;

namespace orv {

class HostListModel;
class ServerCore;
class TGprsFr;

// The server's main window: one page per GPRS line (then "TcpDrv" and "Sia" while those inputs
// run), the output list, the connection counter, the line's name, the SMS counter and the
// buttons. It shows the core and owns none of it: the core calls it through StatusView from its
// one-second timer, and every row is read from the live records when it is painted.
class TFORVs final : public QWidget, public StatusView {
  Q_OBJECT

 public:
  explicit TFORVs(ServerCore& core);
  ~TFORVs() override;

  // Once the core has started: caption, window texts and tray icon.
  void started();

  void setLineRowCount(size_t line, size_t rows) override;
  void repaintLine(size_t line) override;
  void repaintOutputs() override;
  void repaintSia() override;
  void repaintTcpDrv() override;
  void setConnectionCounter(const std::string& text) override;
  void setNameField(const std::string& text) override;
  void pagesChanged() override;
  void setSmsCounter(const std::string& text) override;

  QTabWidget& pages() { return *pages_; }
  TGprsFr* frame(size_t line) const;
  QTableView& outputView() { return *outputView_; }
  OutputListModel& outputModel() { return outputModel_; }
  QWidget* console() const { return console_; }

 signals:
  // The window was closed and the core has stopped: time to leave the event loop.
  void closed();

 public slots:
  void openConsole();
  void openSettings();
  void openLogView();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void pageChanged(int index);
  void applyTexts();

  ServerCore& core_;
  QTabWidget* pages_;
  std::vector<TGprsFr*> frames_;  // by line index; owned by their pages
  QTableView* outputView_;
  OutputListModel outputModel_;
  HostListModel* tcpDrvModel_ = nullptr;  // while the "TcpDrv" page exists
  HostListModel* siaModel_ = nullptr;
  QLabel* counter_;
  QLineEdit* name_;
  QLabel* sms_;
  QPushButton* cmd_;
  QPushButton* settings_;
  QPushButton* logView_;
  QSystemTrayIcon* tray_ = nullptr;
  QPointer<QWidget> console_;
  bool rebuilding_ = false;
};

}  // namespace orv
