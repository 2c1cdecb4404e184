// Dispatcher: the kernel side of int 0x80. It finds the call's row, answers an injected result or runs the
// handler, writes eax (the only register a call changes) and traces the call.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

namespace tavik {

struct CallRow;
struct Injection;
struct Kernel;
struct TraceEvent;

class CallHistory;

class Dispatcher {
 public:
  // Resolves the injections to call numbers (their names are valid). With a history, calls are kept in it, or
  // answered from it instead of performed.
  Dispatcher(Kernel& k, const std::vector<Injection>& injects, CallHistory* history = nullptr);
  // Handles the call in eax with ebx, ecx, edx and stores the result in eax.
  void dispatch();

 private:
  void record_passed_bytes(const CallRow& row, TraceEvent& ev);

  Kernel& k_;
  CallHistory* history_;
  // The injections by call number, resolved once: a call costs a few integer compares, not a name compare per
  // injection.
  struct Injected {
    uint32_t nr;
    uint64_t nth;
    uint64_t step;
    int32_t result;
  };
  std::vector<Injected> injects_;
  std::map<uint32_t, uint64_t> call_counts_;
};

}  // namespace tavik
