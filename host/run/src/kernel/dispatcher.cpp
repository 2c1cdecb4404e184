// Dispatcher: one table row per call; injection counts only the calls an injection names.
#include "kernel/dispatcher.hpp"

#include <algorithm>
#include <chrono>

#include "kernel/kernel.hpp"
#include "cpu/machine.hpp"
#include "base/strf.hpp"
#include "base/calls.hpp"
#include "kernel/syscall_table.hpp"
#include "kernel/call_history.hpp"
#include "report/trace.hpp"

namespace tavik {

Dispatcher::Dispatcher(Kernel& k, const std::vector<Injection>& injects, CallHistory* history)
    : k_(k), history_(history) {
  for (const Injection& inj : injects)
    if (std::optional<uint32_t> nr = call_number(inj.name)) injects_.push_back({*nr, inj.nth, inj.step, inj.result});
}

// The bytes a write-like call was given, for the trace of a call that failed or was injected before it took
// them: what the guest passed, as far as it is readable, up to the trace's cap.
void Dispatcher::record_passed_bytes(const CallRow& row, TraceEvent& ev) {
  for (size_t i = 0; i + 1 < 3; ++i) {
    if (row.kinds[i] != ArgKind::BYTES_OUT) continue;
    uint32_t len = std::min<uint32_t>(std::min<uint32_t>(ev.args[i + 1], kMaxCount), kTraceDataCap);
    uint32_t readable = len ? k_.m.span(ev.args[i], len, UC_PROT_READ) : 0;
    ev.data.resize(readable);
    if (readable && k_.m.read_bytes(ev.args[i], ev.data.data(), readable) != 0) ev.data.clear();
  }
}

void Dispatcher::dispatch() {
  Machine& m = k_.m;
  uint32_t nr = m.reg(UC_X86_REG_EAX);
  std::array<uint32_t, 3> a{m.reg(UC_X86_REG_EBX), m.reg(UC_X86_REG_ECX), m.reg(UC_X86_REG_EDX)};
  if (history_ && history_->answers()) {
    history_->answer(nr, a);
    return;
  }
  const CallRow* row = find_call(nr);
  TraceEvent ev{nr, row ? row->name : strf("syscall_%u", nr), a, 0, {}, std::nullopt, {}, false};
  Call call(a, ev, k_.trace.shows_data());
  // Only calls an injection names are counted, so that a guest trying every call number grows nothing.
  uint64_t count = 0;
  for (const Injected& inj : injects_) {
    if (inj.nr != nr) continue;
    if (count == 0) count = ++call_counts_[nr];
    bool in_range = inj.step != 0 && count > inj.nth && (count - inj.nth) % inj.step == 0;
    if (inj.nth == 0 || inj.nth == count || in_range) {
      ev.injected = true;
      ev.ret = inj.result;
    }
  }
  if (ev.injected) {
    std::string path;
    if (row && row->kinds[0] == ArgKind::PATH) k_.path_arg(call, path);
  }
  uint64_t ns = 0;
  CallHistory::Stores* stores = history_ ? history_->before_live(nr) : nullptr;
  m.log_stores(stores);
  if (!ev.injected) {
    auto start = k_.trace.timed() ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
    Handler handler = handler_of(nr);
    ev.ret = handler ? handler(k_, call) : -TAVIK_ENOSYS;
    if (k_.trace.timed())
      ns = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now() - start).count());
  }
  m.log_stores(nullptr);
  if (k_.spawn.in_child) return;  // a freshly forked child: its guest never sees this call return
  if (stores) history_->after_live(ev, row);
  if (row && k_.trace.shows_data() && ev.data.empty() && (ev.ret < 0 || ev.injected)) record_passed_bytes(*row, ev);
  m.set_reg(UC_X86_REG_EAX, static_cast<uint32_t>(ev.ret));
  k_.trace.call(ev, row, ns);
}

}  // namespace tavik
