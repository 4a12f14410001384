#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/admission.h"
#include "common/cancel_event.h"
#include "common/line_socket.h"
#include "common/metrics.h"
#include "common/serial_port.h"
#include "server/inputs/device_text.h"
#include "server/modules/module_status.h"

namespace orv {

class DurableWaiter;
class ModuleConsole;
class OperatorQuestions;
class TenDayLog;
class tOList;

// What a GPRS line gives the threads that serve its GSM receiver device.
struct DeviceLineContext {
  size_t lineIndex = 0;
  uint8_t lineDigit = 0;
  uint16_t replacementAccount = 0xFFFF;  // [Options] RAcc, for events of account 0
  std::string deviceTemplate;            // [M] C as written
  std::filesystem::path programDir;      // where unsent texts are kept (SMS.buf)
  TenDayLog* log = nullptr;              // ./Orv_Serv/
  tOList* outputs = nullptr;
  ModuleConsole* console = nullptr;
  OperatorQuestions* questions = nullptr;
  std::atomic<uint8_t>* rowsChanged = nullptr;  // this line's
  std::atomic<uint8_t>* rowChanged = nullptr;   // the first line's: its view shows the outputs
  uint32_t silenceMs = 180000;                  // no message for longer: "A  05" once
  uint32_t downloadIdleMs = 30000;              // a download without a message ends incomplete
};

// The most texts a device's queue holds; more are refused (their senders are told so).
inline constexpr size_t kMaxDeviceQueue = 1000;
// Bytes kept without a DC4 before they are thrown away: a device that never ends a message
// cannot fill the memory.
inline constexpr size_t kMaxDeviceMessage = 10000;

// The dialogue with one GSM receiver device: every message it sends is answered with exactly
// one transmission, a bare ACK or an ACK that carries the head of the command queue (texts to
// send as SMS, console commands). Event messages go to the output channels, and their ACK goes
// out only once they are stored. The serial variant reads the port named by the line's Com;
// TTcpComThrd serves a device that connected over TCP. The transport is the two virtual
// operations; the dialogue uses nothing else.
class TComThrd {
 public:
  // The serial variant, on an opened port.
  TComThrd(DeviceLineContext context, SerialPort port);
  virtual ~TComThrd();
  TComThrd(const TComThrd&) = delete;
  TComThrd& operator=(const TComThrd&) = delete;

  // Starts the dialogue thread (after construction, so that the transport is complete).
  void start();
  // Asks the dialogue to end; every wait of the thread ends at once.
  void requestStop();
  // Waits for the thread to end (after requestStop, or after it ended by itself).
  void join();
  // The dialogue has ended (stopped, or its connection failed).
  bool finished() const { return finished_.load(std::memory_order_acquire); }

  // Appends a text for the device; false when the queue is full. Safe from any thread.
  bool queueText(std::string text);
  size_t queuedCount() const;
  // The device's reply to the last console command.
  std::string commandReply() const;
  // The device's row in its line's status list.
  ModuleRow row() const;
  const std::string& name() const { return name_; }
  const std::string& peer() const { return peer_; }
  // The device has sent a message (a lone DC4 is none).
  bool heard() const { return heard_.load(std::memory_order_acquire); }

 protected:
  TComThrd(DeviceLineContext context, int kind, std::string peer);

  // The next message without its DC4, or empty when none came within timeoutMs.
  virtual std::string ReadMessage(int timeoutMs);
  // Sends the bytes as they are.
  virtual void WriteText(std::string_view text);

  // The transport failed: the dialogue ends.
  void connectionLost() { lost_.store(true, std::memory_order_release); }
  bool stopping() const;
  int cancelFd() const { return cancel_.fd(); }
  void stopAndJoin();

 private:
  void run();
  void dialogue();
  void serveMessage(const std::string& message);
  uint64_t dispatch(const std::string& text);
  bool waitStored(uint64_t ticket);
  void answer();
  void serveHead(const std::string& head);
  void serveFirmware(const std::string& head);
  void serveMode(const std::string& head);
  void serveDownload(const std::string& head);
  void serveUpload(const std::string& head);
  void sendFramed(const std::string& text);
  std::string readReply(int timeoutMs);
  void setStatus(int32_t status);
  void setReply(const std::string& reply);
  void logEntry(const std::string& text);
  void trace(std::string_view text);
  void takeSavedTexts();
  void saveUnsentTexts();
  void popHead();

  DeviceLineContext context_;
  const std::string name_ = "Com";
  const int kind_;
  const std::string peer_;
  const std::string compiledTemplate_;
  std::optional<SerialPort> port_;
  std::string received_;  // serial: bytes read and not yet returned as a message

  mutable std::mutex lock_;  // the queue, the reply, the caller number and the output line
  std::deque<std::string> queue_;
  std::string commandReply_;
  std::string callerNumber_;
  std::string outputLine_;

  int attempts_ = 0;
  std::unique_ptr<DurableWaiter> waiter_;  // made at the first event that must wait
  InputMetrics metrics_;
  CancelEvent cancel_;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> lost_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> heard_{false};
  std::thread thread_;
  MetricsSource metricsSource_;  // last: gone before what it reads
};

// A device that connected to its line's TCP port.
class TTcpComThrd : public TComThrd {
 public:
  TTcpComThrd(DeviceLineContext context, LineSocket socket);
  ~TTcpComThrd() override;

 protected:
  std::string ReadMessage(int timeoutMs) override;
  void WriteText(std::string_view text) override;

 private:
  LineSocket socket_;
};

// The TCP port of a line whose device connects over the network (TcpOn). Every connection gets
// its own device thread; the newest one still running is the line's device. All of them end
// with the listener. A line has one device, so there are few slots: a connection that has not
// sent a message within the admission's first-exchange limit is closed, and the oldest such one
// makes room when all are taken.
class TCListThrd {
 public:
  static constexpr size_t kMaxConnections = 8;

  TCListThrd(DeviceLineContext context, uint16_t port, AdmissionRules rules = {});
  ~TCListThrd();
  TCListThrd(const TCListThrd&) = delete;
  TCListThrd& operator=(const TCListThrd&) = delete;

  bool listening() const { return listening_; }
  uint16_t port() const;
  void requestStop();
  // Stops the listener and every device connection it started, and waits for them.
  void stop();

  // The newest connection that still runs, or null.
  std::shared_ptr<TComThrd> newest() const;
  const AdmissionCounters& admissionCounters() const { return admission_.counters(); }

 private:
  struct Connection {
    std::shared_ptr<TComThrd> device;
    uint32_t openedAt;
    bool ending;  // closed by the admission rules
  };

  void run();
  void reapFinished();
  // Closes the connections without a message within the first-exchange limit; lock_ held.
  void closeSilent(uint32_t now);
  // A slot for a new connection, by closing the oldest one without a message when all are
  // taken; lock_ held.
  bool makeRoom();

  DeviceLineContext context_;
  Admission admission_;
  LineSocket listener_;
  bool listening_ = false;
  CancelEvent cancel_;
  mutable std::mutex lock_;
  std::vector<Connection> devices_;  // in the order they connected
  std::thread thread_;
};

}  // namespace orv
