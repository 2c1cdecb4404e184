// kernel_error: one case per error the kernel has, by name, so that no host number reaches a guest unchecked.
#include "kernel/host_errors.hpp"

#include <tavik/abi.h>

#include <cerrno>

namespace tavik {

int32_t kernel_error(int host_errno) {
  switch (host_errno) {
#define TAVIK_HOST_ERROR(nr, name, text) \
  case name: return -TAVIK_##name;
    TAVIK_ERRORS(TAVIK_HOST_ERROR)
#undef TAVIK_HOST_ERROR
  }
  return -TAVIK_EIO;
}

int32_t neg_errno() { return kernel_error(errno); }

}  // namespace tavik
