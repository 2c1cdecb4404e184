// Journal: one process's system calls and counter reads in the order it made them. A replay answers from the
// recorded ones; a debugged run keeps its own, so that going back in time and running forward again re-executes
// the calls without performing them twice (their output is said, their trace line written, only the first time).
#pragma once

#include <cstdint>
#include <deque>

#include "replay/record_codec.hpp"

namespace tavik {

class Recording;
struct ProcessLog;

class Journal {
 public:
  // A debugged run's own: empty, events appended as the guest makes them.
  Journal() = default;
  // A recorded process's.
  Journal(const Recording& rec, const ProcessLog& log) : rec_(&rec), log_(&log) {}

  bool replaying() const { return log_ != nullptr; }
  uint64_t position() const { return pos_; }
  void seek(uint64_t pos) { pos_ = pos; }
  // Whether an event is known at the position (else: a replay has run past its recording, a debugged run makes
  // its next call for real).
  bool known() const;
  record::Tag tag() const;
  // The event at the position, which it passes; fresh: the first time the run got here.
  record::Call call(bool& fresh);
  uint64_t tsc(bool& fresh);
  // A debugged run's new event, at the end.
  void append(record::Call c);
  void append_tsc(uint64_t value);
  // The debugger changed the program: a debugged run's events after the position are no longer its future (a
  // recording's stay: a replay that leaves them says so).
  void drop_future();
  // Events before pos will not be gone back to (a debugged run's history was cut): their memory goes.
  void forget_before(uint64_t pos);
  // Bytes the kept events hold (a debugged run's history is bounded by them too).
  uint64_t bytes() const { return bytes_; }

 private:
  struct Event {
    record::Tag tag;
    record::Call call;
    uint64_t tsc = 0;
  };
  void take(bool& fresh);
  static uint64_t size_of(const Event& e);

  const Recording* rec_ = nullptr;
  const ProcessLog* log_ = nullptr;
  std::deque<Event> live_;
  uint64_t base_ = 0;      // the position of live_'s first event
  uint64_t pos_ = 0;
  uint64_t frontier_ = 0;  // the first position never taken
  uint64_t bytes_ = 0;
};

}  // namespace tavik
