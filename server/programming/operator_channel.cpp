#include "server/programming/operator_channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/diag.h"
#include "common/operator_wire.h"
#include "server/programming/operator_session.h"

namespace orv {

namespace {

bool fillAddress(const std::string& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

// Whether a server still answers on the socket file: then it is not ours to replace.
bool someoneListens(const sockaddr_un& address) {
  UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!probe) return false;
  return ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// One line to a client that is not served, then the connection ends. The line is short and the
// socket new, so a non-blocking send never has to wait.
void refuse(UniqueFd client, std::string_view why) {
  const std::string line = wireLine({"refused", why});
  ssize_t n = ::send(client.get(), line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  (void)n;
  ::shutdown(client.get(), SHUT_RDWR);
}

}  // namespace

OperatorChannel::OperatorChannel(std::filesystem::path socketPath, CommandConsole& console,
                                 std::string version)
    : socketPath_(std::move(socketPath)),
      console_(console),
      version_(std::move(version)),
      session_(std::make_unique<OperatorSession>(console_, stopEvent_)) {
  if (!bindSocket()) return;
  diagf("operator channel listening on %s", socketPath_.c_str());
  listenerThread_ = std::thread([this] { listenLoop(); });
}

OperatorChannel::~OperatorChannel() {
  stop();
}

// The socket is bound inside a fresh directory that only we may enter, made 0600 there, and
// then renamed into place: nobody else can ever reach it with a wider mode, and the process's
// umask (shared with every other thread) is never touched.
bool OperatorChannel::bindSocket() {
  const std::string path = socketPath_.string();
  sockaddr_un address;
  if (!fillAddress(path, address)) {
    diagf("operator channel: socket path too long (at most %zu bytes): %s",
          sizeof address.sun_path - 1, path.c_str());
    return false;
  }
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      diagf("operator channel: %s exists and is not a socket; left alone, no operator channel",
            path.c_str());
      return false;
    }
    if (someoneListens(address)) {
      diagf("operator channel: another server listens on %s; no operator channel", path.c_str());
      return false;
    }
    // A stale socket of an earlier run: the rename below replaces it.
  }

  std::filesystem::path parent = socketPath_.parent_path();
  if (parent.empty()) parent = ".";
  std::string privateDir = (parent / ".ORV_Serv.sock.XXXXXX").string();
  if (::mkdtemp(privateDir.data()) == nullptr) {
    diagf("operator channel: cannot create a directory beside %s: %s", path.c_str(),
          std::strerror(errno));
    return false;
  }
  const std::string staging = privateDir + "/s";
  sockaddr_un stagingAddress;
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  const char* step = nullptr;
  if (!fillAddress(staging, stagingAddress)) {
    errno = ENAMETOOLONG;
    step = "bind";
  } else if (!fd) {
    step = "socket";
  } else if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&stagingAddress),
                    sizeof stagingAddress) != 0) {
    step = "bind";
  } else if (::chmod(staging.c_str(), 0600) != 0) {
    step = "chmod";
  } else if (::listen(fd.get(), 4) != 0) {
    step = "listen";
  } else if (::rename(staging.c_str(), path.c_str()) != 0) {
    step = "rename";
  }
  const int error = errno;
  ::unlink(staging.c_str());  // fails harmlessly once renamed
  ::rmdir(privateDir.c_str());
  if (step) {
    diagf("operator channel: cannot listen on %s (%s: %s)", path.c_str(), step,
          std::strerror(error));
    return false;
  }
  if (::lstat(path.c_str(), &st) == 0) {
    socketDev_ = st.st_dev;
    socketIno_ = st.st_ino;
  }
  listener_ = std::move(fd);
  listening_.store(true);
  return true;
}

void OperatorChannel::listenLoop() {
  for (;;) {
    pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {stopEvent_.fd(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
      diagf("operator channel: poll failed: %s; no more operators", std::strerror(errno));
      return;
    }
    if (stopEvent_.isSet()) return;
    if (!(fds[0].revents & POLLIN)) continue;
    UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client) {
      if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED) continue;
      // Out of descriptors, say: wait a moment rather than spin.
      diagf("operator channel: accept failed: %s", std::strerror(errno));
      stopEvent_.waitMs(200);
      continue;
    }
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(client.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
        peer.uid != ::geteuid()) {
      diagf("operator channel: refused a client of uid %u (only uid %u may attach)",
            static_cast<unsigned>(peer.uid), static_cast<unsigned>(::geteuid()));
      refuse(std::move(client), "only the server's own user may attach");
      continue;
    }
    if (sessionActive_.load()) {
      refuse(std::move(client), "another operator is attached");
      continue;
    }
    startSession(std::move(client));
  }
}

void OperatorChannel::startSession(UniqueFd client) {
  if (sessionThread_.joinable()) sessionThread_.join();  // it has ended: sessionActive_ is false
  sessionActive_.store(true);
  sessionThread_ = std::thread([this, fd = client.release()] {
    session_->run(UniqueFd(fd), version_);
    sessionActive_.store(false);
  });
}

void OperatorChannel::removeSocketFile() {
  struct stat st;
  if (socketIno_ != 0 && ::lstat(socketPath_.c_str(), &st) == 0 && st.st_dev == socketDev_ &&
      st.st_ino == socketIno_) {
    ::unlink(socketPath_.c_str());
  }
}

void OperatorChannel::stop() {
  std::lock_guard guard(stopLock_);
  if (stopped_) return;
  stopped_ = true;
  stopEvent_.set();
  if (listenerThread_.joinable()) listenerThread_.join();
  // The listener has ended, so nobody else touches the session thread now.
  if (sessionThread_.joinable()) sessionThread_.join();
  if (listener_) {
    listening_.store(false);
    listener_.reset();
    removeSocketFile();
  }
}

}  // namespace orv
