#pragma once

#include <sanitizer/common_interface_defs.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

// A broken invariant is a finding: libFuzzer keeps the input that led to it. The text goes
// through the sanitizer's report channel, which stays open when the fuzzer closes the targets'
// stderr (their diagnostic lines would flood the log).
#define FUZZ_CHECK(cond)                                                                   \
  do {                                                                                     \
    if (!(cond)) {                                                                         \
      char what_[512];                                                                     \
      std::snprintf(what_, sizeof what_, "fuzz check failed: %s (%s:%d)", #cond, __FILE__, \
                    __LINE__);                                                             \
      __sanitizer_report_error_summary(what_);                                             \
      std::abort();                                                                        \
    }                                                                                      \
  } while (0)

namespace orv::fuzz {

inline std::string_view bytesOf(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace orv::fuzz
