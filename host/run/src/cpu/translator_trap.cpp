// The abort() of the linked code, routed here: back to the running emulation's trap, or the real abort.
#include "cpu/translator_trap.hpp"

extern "C" [[noreturn]] void __real_abort();
extern "C" [[noreturn]] void __wrap_abort();

namespace tavik {
namespace {

thread_local std::jmp_buf* g_trap = nullptr;

}  // namespace

void set_translator_trap(std::jmp_buf* trap) { g_trap = trap; }

}  // namespace tavik

extern "C" void __wrap_abort() {
  std::jmp_buf* trap = tavik::g_trap;
  if (trap == nullptr) __real_abort();
  // Only the translator's C frames lie between the trap and here; the engine is not entered again.
  tavik::g_trap = nullptr;
  std::longjmp(*trap, 1);
}
