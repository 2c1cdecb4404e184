// Failures of the kit itself (as opposed to the guest's): bad images and emulator errors.
#pragma once

#include <stdexcept>
#include <string>

#include <unicorn/unicorn.h>

namespace tavik {

// An image that cannot be run; the message names the failed check and its values.
struct LoadError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The emulator refused something the kit asked of it.
struct EmulatorError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Every Unicorn call goes through this: an error code is never ignored.
inline void uc_check(uc_err err, const char* what) {
  if (err != UC_ERR_OK) throw EmulatorError(std::string(what) + ": " + uc_strerror(err));
}

std::string hex32(uint32_t value);  // "0x%08x"

// printf-style formatting into a std::string.
std::string strf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tavik
