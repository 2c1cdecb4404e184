// ProcessEnd: how the process in an emulator ends, decided once by whichever event comes first (an exit call, a
// fault, a limit, a spawn that turns this host process into the child) and then fixed. Every decision stops the
// emulation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cpu/image.hpp"
#include "cpu/machine.hpp"
#include "tavik/run.hpp"

namespace tavik {

// What a process needs to start: handed from the spawn call to the tree's loop in the forked host process.
struct ChildStart {
  ChildStart(Image image, std::vector<std::string> argv, std::string name)
      : image(std::move(image)), argv(std::move(argv)), name(std::move(name)) {}
  Image image;
  std::vector<std::string> argv;
  std::string name;            // process_name of its argv[0]
  uint32_t serial = 0;         // --record, --replay: the process's records
  int32_t pid = 0;             // --replay: the host process id it had when recorded
  std::vector<uint8_t> file;   // --record: the image file's bytes
};

// The name a process goes by in reports: the last component of its argv[0].
std::string process_name(const std::string& argv0);

class ProcessEnd {
 public:
  enum class State { Running, Exited, Faulted, Killed, Child };

  explicit ProcessEnd(Machine& m) : m_(m) {}

  State state() const { return state_; }
  bool running() const { return state_ == State::Running; }
  int32_t status() const { return status_; }
  const FaultInfo& fault() const { return fault_; }
  Limit limit() const { return limit_; }

  void exit(int32_t status);
  void fault(FaultKind kind, uint32_t eip, uint32_t addr = 0, const std::string& access = "");
  void kill(Limit limit);
  // A debugger took the process back in time, before its fault: it runs again.
  void undo_fault();
  // A freshly forked host process: this emulation stops for good; the run loop then starts the child.
  void become_child(ChildStart start);
  ChildStart take_child() { return std::move(*child_); }

  // Nothing may unwind through the emulator: a host failure inside a hook ends the run as the kit's own.
  template <class F>
  void guarded(F&& body) {
    try {
      body();
    } catch (const std::exception& e) {
      fail(e.what());
    }
  }
  // The kit itself failed (the run then ends as tavik-run's own failure, whatever was decided before).
  void fail(const std::string& why);
  const std::string& host_error() const { return host_error_; }

 private:
  bool decide(State state);

  Machine& m_;
  State state_ = State::Running;
  int32_t status_ = 0;
  FaultInfo fault_;
  Limit limit_ = Limit::Timeout;
  std::optional<ChildStart> child_;
  std::string host_error_;
};

}  // namespace tavik
