// Tree: one run of a tavik program and of every process it spawns, however deep. It owns what the processes of
// the tree share (the options, the sandbox, the deadline and instruction budget with the process slots, the
// trace's destinations, the report files) and drives every process: in the host process a spawn forks, the
// parent's process gives way to its child in the same loop. run_image, the fuzz targets and the tests start their
// guests here.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kernel/process_end.hpp"
#include "tavik/run.hpp"

namespace tavik {

class FdTable;
class Image;
class Machine;
class Journal;
class RecordFile;
struct ProcessLog;
class Recording;
class ReportFiles;
class Sandbox;
class SharedCounters;
struct OpenFile;
struct TraceSinks;

class Tree {
 public:
  // The options are valid (validate_options). Throws SetupError when the root, a trace file or a report folder
  // cannot be opened.
  // With a recording, the tree replays it: no root is opened, and its processes' calls are answered from it.
  explicit Tree(RunOptions opt, const Recording* replay = nullptr);
  ~Tree();
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;

  // The open files behind the first process's 0, 1 and 2; without this, the options' stdin_file or stdin_fd,
  // stdout_fd and stderr_fd.
  Tree& stdio(std::array<std::shared_ptr<OpenFile>, 3> files);
  // Called with the first process's machine when everything is in place, before its first instruction.
  Tree& before_start(std::function<void(Machine&)> fn);

  // Runs image as the tree's first process with this argument vector under the process name, and returns how it
  // ended. A spawned child's host process never returns from here: it ends with its guest's status or signal.
  // Throws SetupError or EmulatorError when the first process cannot be set up.
  RunResult run(Image image, std::vector<std::string> argv, std::string name);
  // The same for a ChildStart (with --record: the image file's bytes in file).
  RunResult run(ChildStart start);
  // Replays the recording's first process.
  RunResult replay();

 private:
  void open_stdio(FdTable& fds) const;
  // The options of a spawned child: no debugger, no injections, no in-process record.
  void become_child(const ChildStart& start);
  int debug_port(const ChildStart& start) const;
  void check_replay_end(const ProcessLog& log, const Journal& journal, const RunResult& got) const;
  [[noreturn]] void end_child(const RunResult* result) const;

  RunOptions opt_;
  std::array<std::shared_ptr<OpenFile>, 3> stdio_;
  std::function<void(Machine&)> before_start_;
  std::unique_ptr<Sandbox> fs_;
  std::unique_ptr<SharedCounters> counters_;
  std::unique_ptr<TraceSinks> sinks_;
  std::unique_ptr<ReportFiles> reports_;
  std::unique_ptr<RecordFile> record_;  // --record
  const Recording* replay_;             // --replay
  uint32_t serial_ = 1;                 // the running process's records
  uint32_t parent_serial_ = 0;
  int gdb_port_;
  bool child_ = false;
  std::string prefix_;  // a spawned child's trace lines start with "[pid N] "
};

// Checks a run's options once, before anything starts: SetupError naming the option otherwise.
void validate_options(const RunOptions& opt);

}  // namespace tavik
