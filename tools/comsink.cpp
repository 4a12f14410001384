// orv-comsink: plays the receiver-output device on the server's serial output, over a
// pseudo-terminal, for tests, benchmarks and the demo.
//
// The server sends frames (text + DC4); the device answers each with one ACK byte, or as told
// with a NAK, nothing at all, or 255 bytes of junk. Every frame is printed ("frame: <text>") and
// a summary line ends the run. A frame that holds "@" followed by digits carries the
// CLOCK_MONOTONIC time of its push in microseconds (the benchmark's pusher puts it there); the
// device then also prints the latency from push to the frame's DC4.
//
// Exit code 0 unless the pseudo-terminal could not be made or failed.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "common/diag.h"
#include "common/unique_fd.h"
#include "tools/printable.h"
#include "tools/pty_device.h"

namespace orv {
namespace {

using orv::tool::printable;

using Clock = std::chrono::steady_clock;

constexpr char kAck = 0x06;
constexpr char kNak = 0x15;
constexpr char kDc4 = 0x14;
// The most the server may send without a DC4 before the bytes are thrown away.
constexpr size_t kMaxFrame = 64 * 1024;
constexpr size_t kGarbageBytes = 255;

struct Options {
  bool pty = false;
  long nakEvery = 0;
  bool silent = false;
  bool garbage = false;
  long count = 0;
  double seconds = 0;
  bool quiet = false;
};

int64_t monotonicUs() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// The push time a frame carries: "@" and at least one digit, the first such mark.
std::optional<int64_t> pushTimeUs(std::string_view frame) {
  for (size_t at = frame.find('@'); at != std::string_view::npos; at = frame.find('@', at + 1)) {
    int64_t v = 0;
    size_t i = at + 1;
    for (; i < frame.size() && i - at <= 18 && frame[i] >= '0' && frame[i] <= '9'; ++i)
      v = v * 10 + (frame[i] - '0');
    if (i > at + 1) return v;
  }
  return std::nullopt;
}

class Sink {
 public:
  Sink(const Options& o, int master, int stopFd) : o_(o), fd_(master), stopFd_(stopFd) {}

  // Serves frames until the count, the time limit, a signal or a failure. False on a failure.
  bool run() {
    const std::optional<Clock::time_point> end =
        o_.seconds > 0 ? std::optional(start_ + std::chrono::duration_cast<Clock::duration>(
                                                    std::chrono::duration<double>(o_.seconds)))
                       : std::nullopt;
    while (o_.count <= 0 || frames_ < o_.count) {
      int timeout = -1;
      if (end) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*end - Clock::now());
        if (left.count() <= 0) break;
        timeout = static_cast<int>(std::min<long long>(left.count(), 1000000));
      }
      pollfd p[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
      const int n = ::poll(p, 2, timeout);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return fail("waiting");
      if (p[1].revents & POLLIN) break;
      if (n == 0) continue;
      char chunk[4096];
      const ssize_t got = ::read(fd_, chunk, sizeof chunk);
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      // EIO: nobody holds the slave, which cannot happen while this tool holds it; treat as failed.
      if (got <= 0) return fail("reading");
      const int64_t arrivedUs = monotonicUs();
      if (!take(std::string_view(chunk, static_cast<size_t>(got)), arrivedUs)) return false;
    }
    return true;
  }

  void summary() {
    // The rate of the frames themselves: the wait for the first one is no part of it.
    const double seconds =
        frames_ > 1 ? std::chrono::duration<double>(lastFrame_ - firstFrame_).count() : 0.0;
    std::printf("frames %ld acked %ld seconds %.3f frames-per-second %.0f\n", frames_, acked_,
                seconds, seconds > 0 ? static_cast<double>(frames_ - 1) / seconds : 0.0);
    if (!latencyUs_.empty()) {
      std::sort(latencyUs_.begin(), latencyUs_.end());
      auto at = [&](double q) {
        return latencyUs_[std::min(
            latencyUs_.size() - 1,
            static_cast<size_t>(q * static_cast<double>(latencyUs_.size())))];
      };
      std::printf("latency-us p50 %lld p99 %lld max %lld samples %zu\n",
                  static_cast<long long>(at(0.5)), static_cast<long long>(at(0.99)),
                  static_cast<long long>(latencyUs_.back()), latencyUs_.size());
    }
    std::fflush(stdout);
  }

 private:
  bool fail(const char* what) {
    diagf("orv-comsink: %s failed: %s", what, std::strerror(errno));
    return false;
  }

  bool take(std::string_view data, int64_t arrivedUs) {
    while (!data.empty()) {
      const size_t dc4 = data.find(kDc4);
      if (dc4 == std::string_view::npos) {
        if (!skipping_) buffer_.append(data);
        if (buffer_.size() > kMaxFrame) {
          diagf("orv-comsink: more than %zu bytes without a DC4; dropped them", kMaxFrame);
          buffer_.clear();
          skipping_ = true;
        }
        return true;
      }
      if (skipping_) {
        skipping_ = false;  // the tail of the oversized frame ends here; it is no frame
      } else {
        buffer_.append(data.substr(0, dc4));
        if (!frame(buffer_, arrivedUs)) return false;
        if (o_.count > 0 && frames_ >= o_.count) return true;
      }
      buffer_.clear();
      data.remove_prefix(dc4 + 1);
    }
    return true;
  }

  bool frame(const std::string& text, int64_t arrivedUs) {
    if (frames_++ == 0) firstFrame_ = Clock::now();
    lastFrame_ = Clock::now();
    if (const std::optional<int64_t> pushed = pushTimeUs(text))
      latencyUs_.push_back(arrivedUs - *pushed);
    if (!o_.quiet) std::printf("frame: %s\n", printable(text).c_str());
    if (o_.silent) return true;
    if (o_.garbage) {
      std::string junk(kGarbageBytes, '\0');
      for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>('A' + i % 26);
      return send(junk);
    }
    if (o_.nakEvery > 0 && frames_ % o_.nakEvery == 0) return send(std::string(1, kNak));
    ++acked_;
    return send(std::string(1, kAck));
  }

  bool send(std::string_view bytes) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n > 0) {
        bytes.remove_prefix(static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) return fail("answering");
      // The server does not read: its input queue is full. Waiting is bounded.
      if (Clock::now() >= deadline) {
        diag("orv-comsink: the server does not read; answer dropped");
        return true;
      }
      pollfd p[2] = {{fd_, POLLOUT, 0}, {stopFd_, POLLIN, 0}};
      if (::poll(p, 2, 100) > 0 && (p[1].revents & POLLIN)) return true;
    }
    return true;
  }

  const Options& o_;
  int fd_;
  int stopFd_;
  Clock::time_point start_ = Clock::now();
  std::string buffer_;
  bool skipping_ = false;
  Clock::time_point firstFrame_{};
  Clock::time_point lastFrame_{};
  long frames_ = 0;
  long acked_ = 0;
  std::vector<int64_t> latencyUs_;
};

}  // namespace
}  // namespace orv

int main(int argc, char** argv) {
  using namespace orv;
  Options o;
  CLI::App app{
      "orv-comsink: plays the receiver-output device on the server's serial output.\n"
      "Reads frames (text + DC4), answers each with ACK (or as told), prints each frame and a\n"
      "summary line (its seconds run from the first frame to the last). Frames holding "
      "\"@<CLOCK_MONOTONIC microseconds of the push>\" also give\n"
      "a latency line (latency-us p50 .. p99 .. max .. samples ..)."};
  app.option_defaults()->always_capture_default();
  app.add_flag("--pty", o.pty,
               "create a pseudo-terminal, print its path (pty: /dev/pts/N) and serve it")
      ->required();
  auto* nak = app.add_option("--nak-every", o.nakEvery, "answer every Nth frame with NAK")
                  ->check(CLI::PositiveNumber);
  auto* silent = app.add_flag("--silent", o.silent, "never answer");
  auto* garbage = app.add_flag("--garbage", o.garbage, "answer each frame with 255 bytes of junk");
  nak->excludes(silent)->excludes(garbage);
  silent->excludes(garbage);
  app.add_option("--count", o.count, "stop after N frames (0 = no limit)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--seconds", o.seconds, "stop after S seconds (0 = no limit)")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--quiet", o.quiet, "print only the pty line and the summary");
  CLI11_PARSE(app, argc, argv);

  UniqueFd stopFd = tool::takeStopSignals();

  UniqueFd master, slave;
  if (!tool::openPtyDevice("orv-comsink", master, slave)) return 1;
  Sink sink(o, master.get(), stopFd.get());
  const bool ok = sink.run();
  tool::awaitPtyDrained(slave.get(), stopFd.get(), 2000);
  sink.summary();
  return ok ? 0 : 1;
}
