#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "common/dispatcher.h"
#include "common/ini_file.h"
#include "common/operator_questions.h"
#include "server/core/account_filter.h"
#include "server/core/config.h"
#include "server/core/gprs_item.h"
#include "server/core/localisation.h"
#include "server/core/metrics_server.h"
#include "server/core/status_view.h"
#include "server/inputs/sia_input.h"
#include "server/inputs/tcpdrv_input.h"
#include "server/modules/module_console.h"
#include "server/outputs/output_list.h"
#include "server/outputs/output_server.h"
#include "server/outputs/serial_output.h"
#include "server/outputs/sms_server.h"
#include "server/programming/command_console.h"
#include "server/programming/operator_channel.h"

namespace orv {

// A page of the main window: one per GPRS line, then "TcpDrv" and "Sia" while those inputs run.
struct Page {
  enum class Kind { Gprs, TcpDrv, Sia };
  Kind kind;
  size_t line;  // GPRS pages: the line index
  std::string caption;
};

// Owns every long-lived object of the receiver and runs start-up, the one-second status timer,
// reload and shutdown. All of it runs on the loop thread of `loop`; worker threads only set the
// byte flags (the lines' flags, outputsChanged, siaViewChanged) that tick() reads and clears.
class ServerCore {
 public:
  // Everything the server reads and writes lives in `programDir`.
  ServerCore(Dispatcher& loop, std::filesystem::path programDir, StatusView* view = nullptr);
  ~ServerCore();
  ServerCore(const ServerCore&) = delete;
  ServerCore& operator=(const ServerCore&) = delete;

  // Window texts, caption, account filter, then the configuration; ends with the timer on.
  void start();
  // Stops the inputs, the lines and the outputs, reads ORV_Serv.ini again and starts them anew.
  void reload();
  // "running: 2 GPRS lines, 3 output items", as start-up and every reload say it.
  std::string runningSummary() const;
  // Stops everything in the fixed order. Idempotent.
  void shutdown();
  bool running() const { return running_; }

  // The status timer's work: repaint what the worker threads flagged.
  void tick();
  void selectPage(size_t index);

  std::filesystem::path programFile(const std::string& name) const { return programDir_ / name; }
  const std::string& caption() const { return caption_; }
  const Localisation& localisation() const { return localisation_; }
  const tAFList& accountFilter() const { return accountFilter_; }
  const tGprsList& gprsLines() const { return gprsLines_; }
  const tOList* outputList() const { return outputList_.get(); }
  bool comOn() const { return comOn_; }
  bool outputsExist() const { return outputList_ && !outputList_->empty(); }
  const std::optional<InputSettings>& tcpDrv() const { return tcpDrv_; }
  const std::optional<InputSettings>& sia() const { return sia_; }
  const std::vector<Page>& pages() const { return pages_; }
  size_t activePage() const { return activePage_; }
  bool timerEnabled() const { return timerEnabled_; }
  const TOListThrd* outputServer() const { return outputServer_.get(); }
  const TListThrd1* tcpDrvInput() const { return tcpDrvInput_.get(); }
  const TSIAListThrd* siaInput() const { return siaInput_.get(); }
  const TSmsListThrd* smsServer() const { return smsServer_.get(); }

  size_t moduleConnectionCount(const tGprsItem& line) const;
  // Rows of a line's status list: its module connections, plus one for the device.
  size_t statusRowCount(const tGprsItem& line) const;
  // The rows themselves, produced from the live records: the device first, then the modules.
  std::vector<ModuleRow> lineRows(const tGprsItem& line) const;
  // One row of line `lineIndex`, produced when a view paints it; nothing when the line or the
  // row is gone (a view may ask for a row between a connection's removal and the next tick).
  std::optional<ModuleRow> lineRow(size_t lineIndex, size_t row) const;
  // A click on the line's "Id" or "Acc" column: sorts its connections and makes that the order
  // of every line.
  void sortLine(size_t lineIndex, ClientOrder order);
  const std::filesystem::path& programDir() const { return programDir_; }
  // The window that shows the core; null for none. Loop thread.
  void setView(StatusView* view) { view_ = view ? view : &noView_; }

  ModuleConsole& console() { return console_; }
  // The command console's sequences, for the window console and the operator channel.
  CommandConsole& commandConsole() { return *commandConsole_; }
  const OperatorChannel* operatorChannel() const { return operatorChannel_.get(); }
  // Who answers the operator's questions; nobody (the safe answers) until a window says so.
  void setOperator(OperatorQuestions* questions) {
    questions_ = questions ? questions : &noOperator_;
  }

  std::atomic<uint8_t> outputsChanged{0};
  std::atomic<uint8_t> siaViewChanged{0};
  std::atomic<uint8_t> smsCountChanged{0};

 private:
  void loadConfiguration();
  void startInput(const IniFile& ini, const char* section, std::optional<InputSettings>& slot);
  void startGprsLine(const IniFile& ini, const std::string& section, size_t index);
  void rebuildPages();
  void stopInputs();
  void stopLinesAndOutputs();
  void setTimer(bool enabled);
  void startDevice(const IniFile& ini, tGprsItem& line, const std::string& name);
  void routeCommand(int lineNumber, const std::string& moduleId, const std::string& command);

  Dispatcher& loop_;
  std::filesystem::path programDir_;
  StatusView* view_;
  StatusView noView_;
  Dispatcher::TimerId timer_;
  bool timerEnabled_ = false;
  bool running_ = false;

  std::string caption_;
  Localisation localisation_;
  tAFList accountFilter_;
  std::unique_ptr<tOList> outputList_;
  bool comOn_ = false;
  OutSettings out_;
  std::optional<InputSettings> tcpDrv_;
  std::optional<InputSettings> sia_;
  OptionsSettings options_;
  SockSettings sock_;
  std::vector<std::string> startCommands_;
  ModuleConsole console_;
  // Held exclusively while the lines are replaced; the console reads them under it.
  std::shared_mutex linesLock_;
  std::unique_ptr<CommandConsole> commandConsole_;
  std::unique_ptr<OperatorChannel> operatorChannel_;  // ORV_Serv.sock
  NoOperator noOperator_;
  OperatorQuestions* questions_ = &noOperator_;
  std::unique_ptr<TenDayLog> deviceLog_;  // ./Orv_Serv/, shared by the GSM receiver lines
  std::unique_ptr<TSmsListThrd> smsServer_;
  tGprsList gprsLines_;
  std::unique_ptr<TOListThrd> outputServer_;
  std::unique_ptr<TOutThrd> serialOutput_;  // the "Com" channel, item 0, with [Out] ComOn
  std::unique_ptr<TListThrd1> tcpDrvInput_;
  std::unique_ptr<TSIAListThrd> siaInput_;
  std::unique_ptr<MetricsServer> metricsServer_;  // started once; [Metrics] needs a restart
  double startTime_ = 0;                          // Unix time
  std::atomic<uint64_t> reloads_{0};
  std::vector<Page> pages_;
  size_t activePage_ = 0;
  MetricsSource metrics_;  // last: gone before what it reads
};

}  // namespace orv
