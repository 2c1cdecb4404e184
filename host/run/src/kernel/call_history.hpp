// CallHistory: what the dispatcher asks of a history of calls (a recording, a replay, a debugged run's journal):
// whether it answers the call about to be made instead of the handler, the answer, and keeping a call made.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tavik {

struct CallRow;
struct TraceEvent;

class CallHistory {
 public:
  using Stores = std::vector<std::pair<uint32_t, std::string>>;  // (guest address, bytes) a call stored
  virtual ~CallHistory() = default;
  virtual bool answers() const = 0;
  // Answers the call with these arguments: its stores, eax, its output and its trace line.
  virtual void answer(uint32_t nr, const std::array<uint32_t, 3>& a) = 0;
  // Before a call is performed: where its stores into the guest go (nullptr: nothing is kept).
  virtual Stores* before_live(uint32_t nr) = 0;
  // After it: the call is kept.
  virtual void after_live(const TraceEvent& ev, const CallRow* row) = 0;
};

}  // namespace tavik
