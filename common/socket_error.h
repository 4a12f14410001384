#pragma once

#include <string>

namespace orv {

// Socket error codes are the Windows Sockets numbers of the same condition: peers, logs and the
// status columns show them ("Le=10060"), so they are kept whatever the platform says.
inline constexpr int kWsaInterrupted = 10004;
inline constexpr int kWsaBadHandle = 10009;
inline constexpr int kWsaAccess = 10013;
inline constexpr int kWsaInvalid = 10022;
inline constexpr int kWsaTooManyFiles = 10024;
inline constexpr int kWsaWouldBlock = 10035;
inline constexpr int kWsaAddressInUse = 10048;
inline constexpr int kWsaAddressNotAvailable = 10049;
inline constexpr int kWsaNetworkDown = 10050;
inline constexpr int kWsaNetworkUnreachable = 10051;
inline constexpr int kWsaConnAborted = 10053;
inline constexpr int kWsaConnReset = 10054;  // also a peer's orderly close
inline constexpr int kWsaNoBuffers = 10055;
inline constexpr int kWsaNotConnected = 10057;
inline constexpr int kWsaTimedOut = 10060;  // a receive time-out; not an error for the callers
inline constexpr int kWsaConnRefused = 10061;
inline constexpr int kWsaHostUnreachable = 10065;
inline constexpr int kWsaHostNotFound = 11001;

// Our own code: a peer sent more than a line may hold without a terminator.
inline constexpr int kErrLineTooLong = 20001;

// Maps an errno value to its Windows Sockets number; an errno without one becomes 10000 + errno.
int socketErrorFromErrno(int err);

// A short English text for a code, for diagnostics ("connection reset (10054)").
std::string describeSocketError(int code);

}  // namespace orv
