/* Pelkon: client library of the ORV alarm receiver.
 *
 * A monitoring program opens one channel per output channel of the receiver server with
 * orv_InitComm, polls orv_GetMsg for event records, sends commands towards modules with
 * Orv_SetMsg and ends the channel with orv_CloseComm. All exports may be called from any one
 * thread of the host; the library runs its own connection thread per channel.
 */
#ifndef ORV_PELKON_H
#define ORV_PELKON_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define PELKON_API __attribute__((visibility("default")))
#else
#define PELKON_API
#endif

/* Display name returned by Orv_GetName, and the three values it writes. */
#define PELKON_NAME "Pelkon"
#define PELKON_NAME_VALUE_1 65512
#define PELKON_NAME_VALUE_2 23
#define PELKON_NAME_VALUE_3 131
/* The value orv_GetSysMsg writes. */
#define PELKON_SYSMSG_VALUE 23

/* Year of a record whose event carries no time: the host uses its own clock. */
#define PELKON_NO_TIME 0xFFFF

/* The Windows SYSTEMTIME layout: eight 16-bit fields. */
typedef struct OrvSystemTime {
  uint16_t wYear;
  uint16_t wMonth;
  uint16_t wDayOfWeek;
  uint16_t wDay;
  uint16_t wHour;
  uint16_t wMinute;
  uint16_t wSecond;
  uint16_t wMilliseconds;
} OrvSystemTime;

/* One event as orv_GetMsg delivers it. Packed, little-endian; offsets 0-39 are fixed, `extra`
 * is a pointer (48 bytes in all on 64-bit builds). area and code are length-prefixed texts: the
 * first byte is the length, the characters follow, no terminator. */
#pragma pack(push, 1)
typedef struct OrvMessage {
  uint32_t receiver;  /* characters 2-3 of the line, decimal */
  uint16_t line;      /* line number, 16 when the account does not convert */
  uint16_t reserved1; /* never written */
  uint32_t account;   /* read as hexadecimal */
  uint8_t area[3];    /* length + at most 2 characters */
  uint8_t code[8];    /* length + at most 7 characters */
  uint8_t reserved2;  /* never written */
  OrvSystemTime time; /* wYear == PELKON_NO_TIME: no time */
  const char* extra;  /* zero-terminated, owned by the library, valid until the next call
                         on the channel; empty unless the line carries a module identifier */
} OrvMessage;
#pragma pack(pop)

#ifdef __cplusplus
#define PELKON_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define PELKON_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif
PELKON_STATIC_ASSERT(sizeof(OrvSystemTime) == 16, "SYSTEMTIME is 16 bytes");
PELKON_STATIC_ASSERT(offsetof(OrvMessage, receiver) == 0, "receiver at 0");
PELKON_STATIC_ASSERT(offsetof(OrvMessage, line) == 4, "line at 4");
PELKON_STATIC_ASSERT(offsetof(OrvMessage, reserved1) == 6, "reserved at 6");
PELKON_STATIC_ASSERT(offsetof(OrvMessage, account) == 8, "account at 8");
PELKON_STATIC_ASSERT(offsetof(OrvMessage, area) == 12, "area at 12");
PELKON_STATIC_ASSERT(offsetof(OrvMessage, code) == 15, "code at 15");
PELKON_STATIC_ASSERT(offsetof(OrvMessage, reserved2) == 23, "reserved at 23");
PELKON_STATIC_ASSERT(offsetof(OrvMessage, time) == 24, "time at 24");
PELKON_STATIC_ASSERT(offsetof(OrvMessage, extra) == 40, "extra at 40");
PELKON_STATIC_ASSERT(sizeof(OrvMessage) == 40 + sizeof(const char*), "no padding after extra");

/* One row of a channel's host list: a connection to the server while it is up. Texts are
 * zero-terminated and cut to their arrays. */
typedef struct PelkonHostRow {
  int32_t hpId;          /* "HpId": the connection's socket handle */
  char ip[64];           /* "Ip": server host */
  int32_t mCnt;          /* "MCnt": life counter, 22 after every line, falling by one per 2 s */
  char lastMessage[256]; /* "LastMessage": the last line received */
  char errorCode[128];   /* "ErrorCode": the last socket error, empty when none */
} PelkonHostRow;

/* Opens channel `channel` (low byte used; section "Ch" + channel + 1 of ./Pelkon.ini). The
 * first argument is ignored. Never fails. */
PELKON_API void* orv_InitComm(int32_t unused, int32_t channel);
/* Ends the channel: stops its threads and frees its buffers. Returns 0. */
PELKON_API int32_t orv_CloseComm(void* handle);
/* Converts the next received line into *msg. 0 when no event was delivered, otherwise the number
 * of lines still waiting (at least 1). */
PELKON_API int32_t orv_GetMsg(void* handle, OrvMessage* msg);
/* Writes PELKON_SYSMSG_VALUE to *value; returns 0. The first three arguments are ignored. */
PELKON_API int32_t orv_GetSysMsg(int32_t unused1, int32_t unused2, int32_t unused3, int32_t* value);
/* Returns PELKON_NAME and writes the three PELKON_NAME_VALUE_n through the non-null pointers. */
PELKON_API const char* Orv_GetName(int32_t* value1, int32_t* value2, int32_t* value3);
/* Queues a command ("module:command" or "line:module:command") for the server; returns 0. */
PELKON_API int32_t Orv_SetMsg(void* handle, const char* text);
/* Copies up to maxRows rows of the channel's host list into rows and the number of lines waiting
 * in its buffer into *bufferCount (when not null). Returns the number of rows in the list, which
 * may exceed maxRows. */
PELKON_API int32_t orv_GetHostList(void* handle, PelkonHostRow* rows, int32_t maxRows,
                                   int32_t* bufferCount);

#ifdef __cplusplus
}
#endif

#endif /* ORV_PELKON_H */
