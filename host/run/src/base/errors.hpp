// Failures of the kit itself, as opposed to the guest's: a run that cannot be set up, and emulator errors.
#pragma once

#include <stdexcept>
#include <string>

#include <unicorn/unicorn.h>

namespace tavik {

// tavik-run cannot run this: a bad image, option or host file. The message names the failed check and its values.
struct SetupError : std::runtime_error {
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

}  // namespace tavik
