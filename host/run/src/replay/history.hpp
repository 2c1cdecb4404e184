// History: a process's system calls and counter reads, kept as they happen (--record writes them to the
// recording; a debugged run keeps them in its journal) and given back instead of being performed (--replay; a
// debugged run that went back in time and runs forward again). A replay touches nothing of the host: no file is
// opened, read or written; only the recorded output is said again on the standard streams.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kernel/call_history.hpp"
#include "replay/record_codec.hpp"

namespace tavik {

class Journal;
class ProcessRecorder;
class RecordFile;
class Recording;
struct CallRow;
struct Kernel;
struct TraceEvent;

class History : public CallHistory {
 public:
  struct Setup {
    Journal* journal = nullptr;             // a replay's or a debugged run's
    ProcessRecorder* recorder = nullptr;    // --record
    RecordFile* file = nullptr;             // --record: serials for spawned children
    const Recording* recording = nullptr;   // --replay: the children's records
    int out_fd = 1, err_fd = 2;             // the tree's standard output and error
    uint64_t memory_cap = 0;                // for a replayed child's image
    const record::End* replay_end = nullptr;  // a replay: how the recorded process ended
    uint32_t serial = 0;                    // the process's own records
  };

  History(Kernel& k, const Setup& setup) : k_(k), s_(setup) {}

  // Whether anything is kept or answered at all (a plain run: no).
  bool active() const { return s_.journal || s_.recorder; }
  // Whether the call about to be made is answered from the history instead of performed.
  bool answers() const override;
  // Answers it: the recorded stores made, the recorded result in eax, the output said and the trace line
  // written the first time. A call other than the recorded one ends the process as the kit's failure, saying
  // where the run left its recording.
  void answer(uint32_t nr, const std::array<uint32_t, 3>& a) override;
  // Before a call is performed: where its stores into the guest go to be kept (nullptr: not kept).
  Stores* before_live(uint32_t nr) override;
  // After it: the call kept.
  void after_live(const TraceEvent& ev, const CallRow* row) override;
  // What rdtsc reads: the recorded value, or live (kept).
  uint64_t tsc(uint64_t live);

 private:
  void keep(record::Call c);
  bool check(const record::Call& rc, uint32_t nr, const std::array<uint32_t, 3>& a, const CallRow* row,
             std::string& path);
  // at: the event the run left the recording at.
  void diverge(uint64_t at, const std::string& recorded, const std::string& made);
  bool stopped_here();
  void say(int fd, const std::string& bytes) const;
  void replay_child(uint32_t serial);
  std::string describe(uint32_t nr, const std::array<uint32_t, 3>& a) const;

  Kernel& k_;
  Setup s_;
  Stores stores_;
};

}  // namespace tavik
