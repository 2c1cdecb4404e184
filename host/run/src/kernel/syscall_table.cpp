// The handler table, built from tavik/calls.def.
#include "kernel/syscall_table.hpp"

#include "kernel/kernel.hpp"

namespace tavik {

Handler handler_of(uint32_t nr) {
  switch (nr) {
#define TAVIK_CALL(nr, name, a, b, c, result) \
  case nr: return &sys_##name;
#include <tavik/calls.def>
#undef TAVIK_CALL
  }
  return nullptr;
}

}  // namespace tavik
