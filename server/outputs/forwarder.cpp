#include "server/outputs/forwarder.h"

#include "common/diag.h"
#include "server/outputs/output_item.h"

namespace orv {

TOOThread::TOOThread(tOItem& item) : item_(item) {
  socket_.setCancelFd(cancel_.fd());
  thread_ = std::jthread([this] { run(); });
}

TOOThread::~TOOThread() {
  stop();
}

void TOOThread::stop() {
  if (!thread_.joinable()) return;
  cancel_.set();  // ends a pause, a connect or a reply wait at once
  thread_.join();
}

void TOOThread::run() {
  const std::string target = item_.forwardHost() + ":" + std::to_string(item_.forwardPort());
  bool reported = false;
  while (!cancel_.waitMs(kCycleMs)) {
    if (!socket_.isOpen()) {
      int err = socket_.connect(item_.forwardHost(), item_.forwardPort(), kConnectMs);
      if (err != 0) {
        item_.forwarderConnected = false;
        if (!reported) {
          diagf("output item '%s': forwarder cannot reach %s: %s; retrying every 5 s",
                item_.id().c_str(), target.c_str(), describeSocketError(err).c_str());
          reported = true;
        }
        socket_.close();
        cancel_.waitMs(kRetryMs);
        continue;
      }
      if (cancel_.waitMs(kConnectedPauseMs)) break;
      item_.forwarderConnected = true;
      if (reported)
        diagf("output item '%s': forwarder connected to %s", item_.id().c_str(), target.c_str());
      reported = false;
    }
    ForwardQueue* queue = item_.forwarder();
    std::optional<ForwardQueue::Line> line = queue ? queue->peekLine() : std::nullopt;
    if (!line) continue;
    std::string reply;
    int err = socket_.send(line->text + "\r\n");
    if (err == 0) err = socket_.receiveLine(reply, LineEnd::CrLf, kReplyMs);
    if (err != 0) {
      socket_.close();
      item_.forwarderConnected = false;
      continue;
    }
    // A full list drops its oldest line on the next push, which may be the one out here: then
    // the "0" is for a line no longer in the list, and the one now first has not been sent.
    if (reply == "0") queue->removeIfOldest(line->seq);
  }
  socket_.close();
  item_.forwarderConnected = false;
}

}  // namespace orv
