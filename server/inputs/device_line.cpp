#include "server/inputs/device_line.h"

#include <poll.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <system_error>

#include "common/diag.h"
#include "common/durable_waiter.h"
#include "common/hex_record.h"
#include "common/local_time.h"
#include "common/operator_questions.h"
#include "common/ten_day_log.h"
#include "common/ticks.h"
#include "server/modules/module_console.h"
#include "server/outputs/output_list.h"

namespace orv {
namespace {

constexpr int kReadMs = 2000;
constexpr int kReplyMs = 15000;
constexpr int kFirmwareDoneMs = 60000;
constexpr int kFirmwareLastMs = 6000;
constexpr int kFirmwarePaceMs = 20;
constexpr int kTurns = 3;
constexpr int kDeleteQuestionSeconds = 10;
constexpr const char* kSmsBuf = "SMS.buf";
constexpr size_t kMaxSavedText = 4096;  // a longer line in SMS.buf is not a text we wrote

bool equalNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// SMS.buf in the program directory, found without regard to case; the plain name when absent.
std::filesystem::path smsBufPath(const std::filesystem::path& dir, bool* exists) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (equalNoCase(name, kSmsBuf)) {
      *exists = true;
      return entry.path();
    }
  }
  *exists = false;
  return dir / kSmsBuf;
}

std::string framed(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += kAck;
  out += text;
  out += kDc4;
  return out;
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

}  // namespace

// --- TComThrd ---------------------------------------------------------------------------------

TComThrd::TComThrd(DeviceLineContext context, SerialPort port)
    : TComThrd(std::move(context), 2, "Com") {
  port_.emplace(std::move(port));
  port_->setCancelFd(cancel_.fd());
}

TComThrd::TComThrd(DeviceLineContext context, int kind, std::string peer)
    : context_(std::move(context)),
      kind_(kind),
      peer_(std::move(peer)),
      compiledTemplate_(compileDeviceTemplate(context_.deviceTemplate)) {}

TComThrd::~TComThrd() {
  stopAndJoin();
}

void TComThrd::start() {
  metricsSource_ = MetricsSource([this](MetricsSink& sink) {
    const MetricLabels input = {
        {"input", "GSM receiver line " + std::to_string(context_.lineIndex)}};
    sink.gauge("orv_input_connections", "Open connections of the input", input,
               heard() && !finished() ? 1 : 0);
    reportInputMetrics(sink, input, metrics_);
  });
  thread_ = std::thread([this] { run(); });
}

void TComThrd::requestStop() {
  stopRequested_.store(true, std::memory_order_release);
  cancel_.set();
}

void TComThrd::join() {
  if (thread_.joinable()) thread_.join();
}

void TComThrd::stopAndJoin() {
  requestStop();
  join();
}

bool TComThrd::stopping() const {
  return stopRequested_.load(std::memory_order_acquire) || lost_.load(std::memory_order_acquire);
}

bool TComThrd::queueText(std::string text) {
  std::lock_guard lock(lock_);
  if (queue_.size() >= kMaxDeviceQueue) return false;
  queue_.push_back(std::move(text));
  return true;
}

size_t TComThrd::queuedCount() const {
  std::lock_guard lock(lock_);
  return queue_.size();
}

std::string TComThrd::commandReply() const {
  std::lock_guard lock(lock_);
  return commandReply_;
}

ModuleRow TComThrd::row() const {
  ModuleRow r;
  r.icon = 0;
  r.id = name_;
  r.acc = "7777";
  r.ip = peer_;
  r.mcnt = "0";
  {
    std::lock_guard lock(lock_);
    r.lastMessage = outputLine_ + " ";
  }
  r.nr = std::to_string(kind_);
  return r;
}

void TComThrd::run() {
  if (context_.rowsChanged) context_.rowsChanged->store(1, std::memory_order_relaxed);
  takeSavedTexts();
  dialogue();
  finished_.store(true, std::memory_order_release);
  saveUnsentTexts();
  if (context_.rowsChanged) context_.rowsChanged->store(1, std::memory_order_relaxed);
}

void TComThrd::dialogue() {
  WriteText(kDeviceStartText);
  bool alive = true;
  uint32_t lastMessage = ticks();
  while (!stopping()) {
    const std::string message = ReadMessage(kReadMs);
    if (stopping()) break;
    if (message.empty()) {
      // A lone DC4 is no message either.
      if (alive && ticksSince(lastMessage) > context_.silenceMs) {
        alive = false;
        if (!waitStored(dispatch(deviceStatusLine(context_.lineDigit, false)))) break;
      }
      continue;
    }
    heard_.store(true, std::memory_order_release);
    metrics_.received.fetch_add(1, std::memory_order_relaxed);
    const uint64_t receivedUs = steadyMicros();
    uint64_t ticket = 0;
    if (!alive) {
      alive = true;
      ticket = dispatch(deviceStatusLine(context_.lineDigit, true));
    }
    lastMessage = ticks();
    if (context_.console) context_.console->watch(name_, true, message);

    if (message.size() == 1 && message[0] == kAck) {
      // The device took the head of the queue.
      attempts_ = 0;
      popHead();
      if (!waitStored(ticket)) break;
      WriteText(std::string(1, kAck));
      continue;
    }
    if (!contains(message, "@")) {
      logEntry(logTimeStamp() + " " + message + " Id=" + name_);
      if (message[0] == 'U') {
        std::lock_guard lock(lock_);
        callerNumber_ = deviceCallerNumber(message);
      }
      if (message.size() >= kShortestEvent) {
        const bool convert =
            message[0] == '1' && !compiledTemplate_.empty() && message.substr(10, 4) != "0000";
        const uint64_t pushed =
            dispatch(convert ? convertDeviceMessage(message, compiledTemplate_) : message);
        ticket = std::max(ticket, pushed);
      }
    }
    if (!waitStored(ticket)) break;
    metrics_.answers.observeMicros(steadyMicros() - receivedUs);
    answer();
  }
}

uint64_t TComThrd::dispatch(const std::string& text) {
  DeviceOutput out = deviceOutputLine(text, context_.lineDigit, context_.replacementAccount);
  std::string caller;
  {
    std::lock_guard lock(lock_);
    outputLine_ = out.line;
    caller = callerNumber_;
  }
  uint64_t ticket = 0;
  if (context_.outputs)
    ticket = context_.outputs->pushLine(out.line, EventKeys::device(caller, out.account));
  if (context_.rowChanged) context_.rowChanged->store(1, std::memory_order_relaxed);
  return ticket;
}

// Holds the answer until the event is on disk. False when the line stops first: the device then
// gets no acknowledgement and sends the event again to whoever serves it next.
bool TComThrd::waitStored(uint64_t ticket) {
  Durability* durability = context_.outputs ? context_.outputs->durability() : nullptr;
  if (ticket == 0 || durability == nullptr || durability->durable() >= ticket) return true;
  if (!waiter_) {
    waiter_ = std::make_unique<DurableWaiter>(
        "GSM receiver line " + std::to_string(context_.lineIndex), durability);
  }
  for (;;) {
    if (waiter_->stored(ticket)) {
      waiter_->update(false);
      return true;
    }
    if (stopping()) return false;
    pollfd fds[2] = {{waiter_->fd(), POLLIN, 0}, {cancel_.fd(), POLLIN, 0}};
    ::poll(fds, 2, 1000);
    waiter_->update(true);
  }
}

// Step 6 of every message: the head of the queue rides on the answer; a text that had its three
// turns is dropped first.
void TComThrd::answer() {
  std::string head;
  {
    std::lock_guard lock(lock_);
    if (!queue_.empty() && attempts_ >= kTurns) {
      queue_.pop_front();
      attempts_ = 0;
    }
    if (!queue_.empty()) head = queue_.front();
  }
  if (head.empty()) {
    WriteText(std::string(1, kAck));
    return;
  }
  ++attempts_;
  serveHead(head);
}

void TComThrd::serveHead(const std::string& head) {
  if (contains(head, "sfirm")) return serveFirmware(head);
  if (contains(head, "mode") || contains(head, "ncode")) return serveMode(head);
  if (contains(head, "lcfg")) return serveDownload(head);
  if (contains(head, "scfg")) return serveUpload(head);
  // A text for the device to send on; it stays at the head until the device takes it.
  trace(name_ + ":" + head);
  logEntry(logTimeStamp() + " " + head + " Id=" + name_);
  sendFramed(head);
}

void TComThrd::serveFirmware(const std::string& head) {
  const size_t bar = head.find('|');
  const std::string command = head.substr(0, bar);
  const std::string file = bar == std::string::npos ? std::string() : head.substr(bar + 1);
  sendFramed(command);
  const std::string reply = readReply(kReplyMs);
  if (contains(reply, "ERR")) {
    setReply(reply);
    setStatus(1);
  } else if (contains(reply, "Wait for hex..")) {
    std::ifstream in(file, std::ios::binary);
    const bool opened = in.is_open();
    if (!opened) diagf("GSM receiver firmware: cannot open %s", file.c_str());
    int sent = 0;
    std::string line;
    while (in && !stopping() && std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;
      WriteText(line + "\r\n");
      ++sent;
      trace("->" + line);
      if (cancel_.waitMs(kFirmwarePaceMs)) break;
    }
    char end[32];
    std::snprintf(end, sizeof end, "\r\nC/%d\r\n", sent);
    WriteText(end);
    readReply(kReplyMs);
    setReply(readReply(kFirmwareDoneMs));
    setReply(readReply(kFirmwareLastMs));
    // A file that could not be read is no update, whatever the device says to an empty one.
    setStatus(opened ? 1 : -1);
  } else {
    setStatus(-1);
  }
  popHead();
}

void TComThrd::serveMode(const std::string& head) {
  int32_t status = -1;
  for (int attempt = 0; attempt < kTurns && !stopping(); ++attempt) {
    sendFramed(head);
    const std::string reply = readReply(kReplyMs);
    if (contains(reply, "STAT ERR")) {
      status = -2;
      break;
    }
    if (!reply.empty() && (contains(reply, "_mode") || contains(reply, "CODE"))) {
      setReply(reply);
      status = 1;
      break;
    }
  }
  setStatus(status);
  popHead();
}

void TComThrd::serveDownload(const std::string& head) {
  sendFramed(head);
  DeviceImage image;
  image.fill(0xFF);
  uint32_t records = 0;
  int32_t status = 2;  // unless the device says it has sent everything
  uint32_t lastMessage = ticks();
  while (!stopping()) {
    const uint32_t idle = ticksSince(lastMessage);
    if (idle >= context_.downloadIdleMs) {
      trace("<- no message for " + std::to_string(context_.downloadIdleMs / 1000) +
            " s: download incomplete");
      break;
    }
    const std::string message =
        ReadMessage(static_cast<int>(std::min<uint32_t>(kReplyMs, context_.downloadIdleMs - idle)));
    if (message.empty()) continue;
    lastMessage = ticks();
    trace("<-" + message);
    if (message.starts_with("#4")) {
      const DownloadRecord r = storeDownloadRecord(std::string_view(message).substr(2), image);
      if (r.counts) ++records;
      if (r.damaged) trace("<- damaged record not stored: " + message.substr(2));
    }
    if (contains(message, "ERR")) {
      setReply(message);
      status = 1;
      break;
    }
    if (message.starts_with("C/")) {
      // Without a count nothing shows that every record came.
      const std::optional<uint32_t> expected = downloadCount(message);
      status = expected && records >= *expected ? 1 : 2;
      break;
    }
  }
  if (context_.console) {
    std::lock_guard lock(context_.console->imageLock);
    context_.console->deviceImage = image;
  }
  setStatus(status);
  attempts_ = 0;
  popHead();
}

void TComThrd::serveUpload(const std::string& head) {
  sendFramed(head);
  const std::string reply = readReply(kReplyMs);
  if (contains(reply, "Wait for hex")) {
    DeviceImage image;
    if (context_.console) {
      std::lock_guard lock(context_.console->imageLock);
      image = context_.console->deviceImage;
    } else {
      image.fill(0xFF);
    }
    const std::vector<std::string> records = uploadRecords(image);
    for (const std::string& record : records) {
      if (stopping()) break;
      WriteText(record + "\r\n");
      trace("->" + record);
    }
    WriteText(std::string(kHexEndRecord) + "\r\n\r\nC/" + std::to_string(records.size() + 1) +
              "\r\n");
    readReply(kReplyMs);
  }
  setStatus(1);
  attempts_ = 0;
  popHead();
}

void TComThrd::sendFramed(const std::string& text) {
  const std::string bytes = framed(text);
  trace(bytes);
  if (context_.console) context_.console->watch(name_, false, bytes);
  WriteText(bytes);
}

std::string TComThrd::readReply(int timeoutMs) {
  // A lone DC4 is no reply: the wait goes on for the rest of the time.
  const uint32_t start = ticks();
  for (;;) {
    const uint32_t spent = ticksSince(start);
    if (stopping() || spent >= static_cast<uint32_t>(timeoutMs)) return {};
    std::string reply = ReadMessage(timeoutMs - static_cast<int>(spent));
    if (!reply.empty()) {
      trace("<-" + reply);
      if (context_.console) context_.console->watch(name_, true, reply);
      return reply;
    }
  }
}

void TComThrd::setStatus(int32_t status) {
  if (context_.console) context_.console->answerFlag.store(status, std::memory_order_release);
}

void TComThrd::setReply(const std::string& reply) {
  std::lock_guard lock(lock_);
  commandReply_ = reply;
}

void TComThrd::logEntry(const std::string& text) {
  if (context_.log) context_.log->append(text);
  trace(text);
}

void TComThrd::trace(std::string_view text) {
  if (context_.console) context_.console->trace(text);
}

void TComThrd::popHead() {
  std::lock_guard lock(lock_);
  if (!queue_.empty()) queue_.pop_front();
  attempts_ = 0;
}

// Texts left unsent when a device thread ended are in SMS.buf; the operator decides whether
// they go out now. The file is gone afterwards either way.
void TComThrd::takeSavedTexts() {
  bool exists = false;
  const std::filesystem::path file = smsBufPath(context_.programDir, &exists);
  if (!exists) return;
  bool keep = true;
  if (context_.questions) {
    keep = !context_.questions->askTimed("Delete unsent messages?", kDeleteQuestionSeconds, false,
                                         "unsent SMS texts kept and sent again");
  }
  std::vector<std::string> texts;
  if (keep) {
    std::ifstream in(file, std::ios::binary);
    std::string line;
    size_t skipped = 0;
    while (texts.size() < kMaxDeviceQueue && std::getline(in, line)) {
      if (line.size() > kMaxSavedText) {
        ++skipped;
        continue;
      }
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) texts.push_back(std::move(line));
    }
    if (skipped > 0) {
      diagf("%s: %zu lines longer than %zu bytes are no texts and were left out", file.c_str(),
            skipped, kMaxSavedText);
    }
  }
  std::error_code ec;
  std::filesystem::remove(file, ec);
  if (ec) diagf("%s: cannot remove: %s", file.c_str(), ec.message().c_str());
  std::lock_guard lock(lock_);
  for (std::string& text : texts) {
    if (queue_.size() >= kMaxDeviceQueue) break;
    queue_.push_back(std::move(text));
  }
}

// Appends, so that two device threads that end together both keep their texts.
void TComThrd::saveUnsentTexts() {
  std::deque<std::string> texts;
  {
    std::lock_guard lock(lock_);
    texts.swap(queue_);
  }
  if (texts.empty()) return;
  bool exists = false;
  const std::filesystem::path file = smsBufPath(context_.programDir, &exists);
  std::ofstream out(file, std::ios::binary | std::ios::app);
  for (std::string& text : texts) {
    for (char& c : text)
      if (c == '\r' || c == '\n') c = ' ';
    out << text << "\r\n";
  }
  out.flush();
  if (!out) {
    diagf("%s: cannot save %zu unsent texts", file.c_str(), texts.size());
  } else {
    diagf("GSM receiver line %zu: %zu unsent texts saved to %s", context_.lineIndex, texts.size(),
          file.c_str());
  }
}

std::string TComThrd::ReadMessage(int timeoutMs) {
  const uint32_t start = ticks();
  for (;;) {
    const size_t end = received_.find(kDc4);
    if (end != std::string::npos) {
      std::string message = received_.substr(0, end);
      received_.erase(0, end + 1);
      return message;
    }
    if (received_.size() > kMaxDeviceMessage) {
      diagf("GSM receiver on COM%d: %zu bytes without DC4 discarded", port_->com(),
            received_.size() + port_->pendingInput());
      received_.clear();
      port_->discardInput();
    }
    const uint32_t spent = ticksSince(start);
    if (stopping() || spent >= static_cast<uint32_t>(timeoutMs)) return {};
    const int n =
        port_->read(received_, kMaxDeviceMessage + 1, timeoutMs - static_cast<int>(spent));
    if (n == -1) {
      // A port that failed stays quiet until the line stops; the silence alarm tells the
      // centre that its device is gone.
      cancel_.waitMs(timeoutMs -
                     static_cast<int>(std::min<uint32_t>(ticksSince(start), timeoutMs)));
      return {};
    }
  }
}

void TComThrd::WriteText(std::string_view text) {
  port_->write(text);
}

// --- TTcpComThrd ------------------------------------------------------------------------------

TTcpComThrd::TTcpComThrd(DeviceLineContext context, LineSocket socket)
    : TComThrd(std::move(context), 0, socket.peerAddress()), socket_(std::move(socket)) {
  socket_.setCancelFd(cancelFd());
}

TTcpComThrd::~TTcpComThrd() {
  stopAndJoin();
}

std::string TTcpComThrd::ReadMessage(int timeoutMs) {
  std::string message;
  const int rc = socket_.receiveLine(message, LineEnd::Dc4, timeoutMs);
  if (rc == 0) return message;
  if (rc != kWsaTimedOut) {
    if (!stopping()) {
      diagf("GSM receiver device %s: connection ended (%s)", socket_.peerAddress().c_str(),
            describeSocketError(rc).c_str());
    }
    connectionLost();
  }
  return {};
}

void TTcpComThrd::WriteText(std::string_view text) {
  const int rc = socket_.send(text);
  if (rc != 0 && !stopping()) {
    diagf("GSM receiver device %s: cannot send (%s)", socket_.peerAddress().c_str(),
          describeSocketError(rc).c_str());
    connectionLost();
  }
}

// --- TCListThrd -------------------------------------------------------------------------------

TCListThrd::TCListThrd(DeviceLineContext context, uint16_t port, AdmissionRules rules)
    : context_(std::move(context)),
      admission_("GSM receiver port of line " + std::to_string(context_.lineIndex),
                 std::move(rules)) {
  char what[64];
  std::snprintf(what, sizeof what, "GSM receiver port of line %zu", context_.lineIndex);
  if (listener_.listen(port, what) != 0) return;
  listening_ = true;
  listener_.setCancelFd(cancel_.fd());
  diagf("GSM receiver line %zu: listening for its device on port %u", context_.lineIndex,
        listener_.localPort());
  thread_ = std::thread([this] { run(); });
}

TCListThrd::~TCListThrd() {
  stop();
}

uint16_t TCListThrd::port() const {
  return listener_.localPort();
}

void TCListThrd::requestStop() {
  cancel_.set();
  std::lock_guard lock(lock_);
  for (const Connection& c : devices_) c.device->requestStop();
}

void TCListThrd::stop() {
  requestStop();
  if (thread_.joinable()) thread_.join();
  std::vector<Connection> devices;
  {
    std::lock_guard lock(lock_);
    devices.swap(devices_);
  }
  for (const Connection& c : devices) c.device->requestStop();
  for (const Connection& c : devices) c.device->join();
  for (const Connection& c : devices) admission_.release(c.device->peer());
  listener_.close();
}

std::shared_ptr<TComThrd> TCListThrd::newest() const {
  std::lock_guard lock(lock_);
  for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
    if (!it->device->finished()) return it->device;
  }
  return nullptr;
}

void TCListThrd::closeSilent(uint32_t now) {
  const uint32_t limit = admission_.firstExchangeMs();
  if (limit == 0) return;
  for (Connection& c : devices_) {
    if (c.ending || c.device->heard() || ticksSince(c.openedAt, now) < limit) continue;
    c.ending = true;
    admission_.timedOut(c.device->peer());
    c.device->requestStop();
  }
}

bool TCListThrd::makeRoom() {
  size_t live = 0;
  for (const Connection& c : devices_) live += c.ending || c.device->finished() ? 0 : 1;
  if (live < kMaxConnections) return true;
  for (Connection& c : devices_) {
    if (c.ending || c.device->finished() || c.device->heard()) continue;
    c.ending = true;
    admission_.evicted(c.device->peer());
    c.device->requestStop();
    return true;
  }
  return false;
}

void TCListThrd::run() {
  while (!cancel_.isSet()) {
    reapFinished();
    {
      std::lock_guard lock(lock_);
      closeSilent(ticks());
    }
    if (!listener_.waitForConnection(1000) || cancel_.isSet()) continue;
    LineSocket connection;
    if (listener_.accept(connection) != 0) continue;
    // A refused peer is closed without a word.
    const std::string peer = connection.peerAddress();
    if (!admission_.admit(peer)) continue;
    std::shared_ptr<TTcpComThrd> device;
    {
      std::lock_guard lock(lock_);
      if (!makeRoom()) {
        admission_.release(peer);
        admission_.refusedFull(peer, kMaxConnections);
        continue;
      }
      diagf("GSM receiver line %zu: device connected from %s", context_.lineIndex, peer.c_str());
      device = std::make_shared<TTcpComThrd>(context_, std::move(connection));
      devices_.push_back({device, ticks(), false});
    }
    device->start();
  }
}

// Connections that ended are joined here, so that a device that reconnects all day leaves
// nothing behind.
void TCListThrd::reapFinished() {
  std::vector<std::shared_ptr<TComThrd>> ended;
  {
    std::lock_guard lock(lock_);
    std::erase_if(devices_, [&](const Connection& c) {
      if (!c.device->finished()) return false;
      ended.push_back(c.device);
      return true;
    });
  }
  for (const auto& device : ended) {
    device->join();
    admission_.release(device->peer());
  }
}

}  // namespace orv
