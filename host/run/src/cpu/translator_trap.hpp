// The emulator's translator gives up on a few malformed guest instructions (far calls and jumps through a
// register, for one) by calling abort(). tavik-run is linked with that call routed to __wrap_abort
// (-Wl,--wrap=abort): during an emulation it returns to the run, which reports an invalid opcode of the guest;
// anywhere else it is the real abort.
#pragma once

#include <csetjmp>

namespace tavik {

// Where an abort inside the emulator on this thread goes; nullptr outside an emulation.
void set_translator_trap(std::jmp_buf* trap);

}  // namespace tavik
