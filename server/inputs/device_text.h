#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server/programming/image_blocks.h"

// The texts of a GSM receiver device line: what its messages become before they are queued, and
// the configuration records that travel between the device and the console's image.

namespace orv {

// Transfers of the device's configuration image cover the addresses below this only.
inline constexpr uint32_t kDeviceTransferEnd = 0x1FEF;

// "VX2810mk V1.02" CR LF: what the server says once when a device is attached.
inline constexpr std::string_view kDeviceStartText = "VX2810mk V1.02\r\n";
// Messages this short are logged but are not events.
inline constexpr size_t kShortestEvent = 16;

// The [M] C template made ready for use: "$" becomes the byte 0xFF (the account), "#" and the
// digit after it become the byte of that digit's value (a character of the event), the rest
// stays as it is.
std::string compileDeviceTemplate(std::string_view text);

// An event message ("1" + receiver line with its account in characters 11-14) rebuilt by a
// compiled template: 0xFF gives the account, byte n (1-9) the message's character 15 + n (a space
// past its end), "s" a space, anything else itself. A message longer than 20 characters keeps its
// 14 characters from position 21 at the end.
std::string convertDeviceMessage(std::string_view message, std::string_view compiled);

// The status line the line sends when its device falls silent ("A  05") or is heard again
// ("R  06"); the line digit goes in as it is and is set again when the line is dispatched.
std::string deviceStatusLine(uint8_t lineDigit, bool back);

// The caller's telephone number in a "U" message: the text after its first 9 characters, cut
// before the first "F" (the padding).
std::string deviceCallerNumber(std::string_view message);

// What goes to the output channels for a device line: the line with its line digit in character
// 4 and, for a "1" line whose account is 0, the replacement account in characters 11-14 (four
// upper-case hex digits). `account` is what the filters see: the account as the device sent it;
// none for lines that do not begin with "1" or whose account is not hexadecimal.
struct DeviceOutput {
  std::string line;
  std::optional<uint32_t> account;
};
DeviceOutput deviceOutputLine(std::string line, uint8_t lineDigit, uint16_t replacementAccount);

// One "#4" message of a configuration download, the part after "#4". A record that begins with
// ":" counts towards the device's "C/n" whatever it holds; a data record that reads whole stores
// its bytes up to kDeviceTransferEnd. Returns whether the record counts.
struct DownloadRecord {
  bool counts = false;
  bool stored = false;   // a data record whose bytes went into the image
  bool damaged = false;  // a record that begins with ":" but does not read whole
};
DownloadRecord storeDownloadRecord(std::string_view record, DeviceImage& image);

// The data records of an upload: 16 bytes from every address below kDeviceTransferEnd in steps of
// 16, leaving out blocks that are all 0xFF or all 0x00; each without its line end.
std::vector<std::string> uploadRecords(const DeviceImage& image);

}  // namespace orv
