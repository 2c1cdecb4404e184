// RunBuilder: assembles a run in one place: the options, the sandbox, the process tree, the descriptor table, the
// trace and the process. run_image, a spawned child and the fuzz targets all start their guests through it.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tavik/run.hpp"

namespace tavik {

class FdTable;
class Image;
class Machine;
class ProcessTree;
class Sandbox;
struct OpenFile;
struct TraceSinks;

class RunBuilder {
 public:
  explicit RunBuilder(RunOptions opt);
  ~RunBuilder();

  // The open files behind the guest's 0, 1 and 2. Without this or child_of: the options' stdin_file or stdin_fd,
  // stdout_fd and stderr_fd.
  RunBuilder& stdio(std::array<std::shared_ptr<OpenFile>, 3> files);
  // A spawned child: its parent's sandbox, descriptor table (already arranged for it), process tree and trace
  // sinks; its text trace lines start with prefix.
  RunBuilder& child_of(Sandbox& fs, FdTable& fds, ProcessTree& tree, const TraceSinks& sinks, std::string prefix);

  // Called with the machine when everything is in place, before the first instruction (extra hooks).
  RunBuilder& before_start(std::function<void(Machine&)> fn);

  // Runs image with this argument vector under the process name; throws SetupError or EmulatorError when the
  // run cannot be set up.
  RunResult run(Image& image, std::vector<std::string> argv, const std::string& name);

 private:
  RunOptions opt_;
  std::array<std::shared_ptr<OpenFile>, 3> stdio_;
  std::function<void(Machine&)> before_start_;
  Sandbox* fs_ = nullptr;
  FdTable* fds_ = nullptr;
  ProcessTree* tree_ = nullptr;
  const TraceSinks* sinks_ = nullptr;
  std::string prefix_;
};

// The name a process goes by in reports: the last component of its argv[0].
std::string process_name(const std::string& argv0);

}  // namespace tavik
