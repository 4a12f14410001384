#include "common/socket_error.h"

#include <cerrno>
#include <cstdio>

namespace orv {

int socketErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return 0;
    case EINTR:
      return kWsaInterrupted;
    case EBADF:
      return kWsaBadHandle;
    case EACCES:
    case EPERM:
      return kWsaAccess;
    case EINVAL:
      return kWsaInvalid;
    case EMFILE:
    case ENFILE:
      return kWsaTooManyFiles;
    case EAGAIN:
      return kWsaWouldBlock;
    case EADDRINUSE:
      return kWsaAddressInUse;
    case EADDRNOTAVAIL:
      return kWsaAddressNotAvailable;
    case ENETDOWN:
      return kWsaNetworkDown;
    case ENETUNREACH:
      return kWsaNetworkUnreachable;
    case ECONNABORTED:
      return kWsaConnAborted;
    case ECONNRESET:
    case EPIPE:
      return kWsaConnReset;
    case ENOBUFS:
    case ENOMEM:
      return kWsaNoBuffers;
    case ENOTCONN:
      return kWsaNotConnected;
    case ETIMEDOUT:
      return kWsaTimedOut;
    case ECONNREFUSED:
      return kWsaConnRefused;
    case EHOSTUNREACH:
      return kWsaHostUnreachable;
    default:
      return 10000 + err;
  }
}

std::string describeSocketError(int code) {
  const char* text;
  switch (code) {
    case 0:
      text = "no error";
      break;
    case kWsaInterrupted:
      text = "interrupted";
      break;
    case kWsaBadHandle:
      text = "bad socket";
      break;
    case kWsaAccess:
      text = "permission denied";
      break;
    case kWsaInvalid:
      text = "invalid argument";
      break;
    case kWsaTooManyFiles:
      text = "too many open files";
      break;
    case kWsaWouldBlock:
      text = "would block";
      break;
    case kWsaAddressInUse:
      text = "address already in use";
      break;
    case kWsaAddressNotAvailable:
      text = "address not available";
      break;
    case kWsaNetworkDown:
      text = "network down";
      break;
    case kWsaNetworkUnreachable:
      text = "network unreachable";
      break;
    case kWsaConnAborted:
      text = "connection aborted";
      break;
    case kWsaConnReset:
      text = "connection closed or reset";
      break;
    case kWsaNoBuffers:
      text = "no buffer space";
      break;
    case kWsaNotConnected:
      text = "not connected";
      break;
    case kWsaTimedOut:
      text = "timed out";
      break;
    case kWsaConnRefused:
      text = "connection refused";
      break;
    case kWsaHostUnreachable:
      text = "host unreachable";
      break;
    case kWsaHostNotFound:
      text = "host not found";
      break;
    case kErrLineTooLong:
      text = "line too long";
      break;
    default:
      text = "socket error";
      break;
  }
  char buf[96];
  std::snprintf(buf, sizeof buf, "%s (%d)", text, code);
  return buf;
}

}  // namespace orv
