// Dispatcher: one table row per call; injection counts only the calls an injection names.
#include "dispatcher.hpp"

#include "kernel.hpp"
#include "machine.hpp"
#include "strf.hpp"
#include "syscall_table.hpp"
#include "trace.hpp"

namespace tavik {

Dispatcher::Dispatcher(Kernel& k) : k_(k) {
  for (const Injection& inj : k.opt.injects)
    if (std::optional<uint32_t> nr = call_number(inj.name)) injects_.push_back({*nr, inj.nth, inj.result});
}

void Dispatcher::dispatch() {
  Machine& m = k_.m;
  uint32_t nr = m.reg(UC_X86_REG_EAX);
  std::array<uint32_t, 3> a{m.reg(UC_X86_REG_EBX), m.reg(UC_X86_REG_ECX), m.reg(UC_X86_REG_EDX)};
  const CallRow* row = find_call(nr);
  TraceEvent ev{nr, row ? row->name : strf("syscall_%u", nr), a, 0, {}, std::nullopt, false};
  Call call{a, ev};
  // Only calls an injection names are counted, so that a guest trying every call number grows nothing.
  uint64_t count = 0;
  for (const Injected& inj : injects_) {
    if (inj.nr != nr) continue;
    if (count == 0) count = ++call_counts_[nr];
    if (inj.nth == 0 || inj.nth == count) {
      ev.injected = true;
      ev.ret = inj.result;
    }
  }
  if (ev.injected) {
    std::string path;
    if (row && row->kinds[0] == ArgKind::PATH) k_.path_arg(call, path);
  } else {
    ev.ret = row ? row->handler(k_, call) : -TAVIK_ENOSYS;
  }
  if (k_.spawn.in_child) return;  // a freshly forked child: its guest never sees this call return
  m.set_reg(UC_X86_REG_EAX, static_cast<uint32_t>(ev.ret));
  k_.trace.call(ev, row ? row->kinds : kUnknownCallKinds, row && row->moves_data());
}

}  // namespace tavik
