// Host errors as the guest sees them: the kernel's negated error numbers (tavik/abi.h's list), whatever number
// the host used.
#pragma once

#include <cstdint>

namespace tavik {

// The kernel's negated error number for a host error number (EIO for one the kernel does not have).
int32_t kernel_error(int host_errno);
// kernel_error(errno): the result of the host call that just failed.
int32_t neg_errno();

}  // namespace tavik
