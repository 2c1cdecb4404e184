// RunBuilder: what a run owns is made here, what a child shares is borrowed from its parent.
#include "process/run_builder.hpp"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "base/errors.hpp"
#include "kernel/fd_table.hpp"
#include "cpu/image.hpp"
#include "process/process.hpp"
#include "kernel/process_tree.hpp"
#include "kernel/sandbox.hpp"
#include "report/trace.hpp"

namespace tavik {

RunBuilder::RunBuilder(RunOptions opt) : opt_(std::move(opt)) {}
RunBuilder::~RunBuilder() = default;

RunBuilder& RunBuilder::stdio(std::array<std::shared_ptr<OpenFile>, 3> files) {
  stdio_ = std::move(files);
  return *this;
}

RunBuilder& RunBuilder::before_start(std::function<void(Machine&)> fn) {
  before_start_ = std::move(fn);
  return *this;
}

RunBuilder& RunBuilder::child_of(Sandbox& fs, FdTable& fds, ProcessTree& tree, const TraceSinks& sinks,
                                  std::string prefix) {
  sinks_ = &sinks;
  fs_ = &fs;
  fds_ = &fds;
  tree_ = &tree;
  prefix_ = std::move(prefix);
  return *this;
}

RunResult RunBuilder::run(Image& image, std::vector<std::string> argv, const std::string& name) {
  std::unique_ptr<Sandbox> own_fs;
  std::unique_ptr<ProcessTree> own_tree;
  std::unique_ptr<FdTable> own_fds;
  if (!fs_) {
    own_fs = std::make_unique<Sandbox>(opt_.root);
    own_tree = std::make_unique<ProcessTree>(opt_);
    own_fds = std::make_unique<FdTable>();
    if (stdio_[0]) {
      for (int fd = 0; fd < 3; ++fd) own_fds->put(fd, stdio_[fd]);
    } else if (opt_.stdin_file) {
      int fd = ::open(opt_.stdin_file->c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) throw SetupError("--stdin " + *opt_.stdin_file + ": " + std::strerror(errno));
      own_fds->put(0, std::make_shared<OpenFile>(fd, true));
    } else {
      own_fds->put(0, std::make_shared<OpenFile>(opt_.stdin_fd, false));
    }
    if (!stdio_[0]) {
      own_fds->put(1, std::make_shared<OpenFile>(opt_.stdout_fd, false));
      own_fds->put(2, std::make_shared<OpenFile>(opt_.stderr_fd, false));
    }
  }
  Sandbox& fs = fs_ ? *fs_ : *own_fs;
  FdTable& fds = fds_ ? *fds_ : *own_fds;
  ProcessTree& tree = tree_ ? *tree_ : *own_tree;
  std::unique_ptr<TraceSinks> own_sinks;
  if (!sinks_) own_sinks = std::make_unique<TraceSinks>(opt_);
  Trace trace(sinks_ ? *sinks_ : *own_sinks, opt_, opt_.keep_trace, prefix_);
  Process process(image, std::move(argv), name, opt_, fs, fds, tree, trace);
  RunResult result = process.run(before_start_);
  result.trace = std::move(trace.events());
  return result;
}

std::string process_name(const std::string& argv0) {
  size_t slash = argv0.rfind('/');
  return slash == std::string::npos ? argv0 : argv0.substr(slash + 1);
}

}  // namespace tavik
