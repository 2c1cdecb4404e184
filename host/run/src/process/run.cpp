// run_image: the in-process entry point; every failure to set the run up becomes one line and status 125.
#include <signal.h>
#include <unistd.h>

#include "cpu/image.hpp"
#include "kernel/process_end.hpp"
#include "base/errors.hpp"
#include "base/strf.hpp"
#include "process/tree.hpp"
#include "replay/recording.hpp"
#include "tavik/run.hpp"

namespace tavik {
namespace {

// A recording runs under the options it was made with where they decide how the guest executes; the others
// (trace, reports, checks, the debugger) are this run's. It may not ask for more memory than this run allows.
RunResult replay(RunOptions opt) {
  Recording recording(opt.replay.replay);
  const record::Header& h = recording.header();
  if (h.memory_cap > opt.limits.memory_cap || h.stack_size > opt.limits.stack_size)
    throw SetupError(strf("%s: recorded with %llu bytes of image memory and a stack of %u, more than this run "
                          "allows (%llu and %u)", opt.replay.replay.c_str(), static_cast<unsigned long long>(h.memory_cap),
                          h.stack_size, static_cast<unsigned long long>(opt.limits.memory_cap), opt.limits.stack_size));
  opt.limits.stack_size = recording.header().stack_size;
  opt.limits.memory_cap = recording.header().memory_cap;
  opt.tsc = recording.header().tsc;
  return Tree(opt, &recording).replay();
}

}  // namespace

RunResult run_image(const std::string& image, const std::vector<std::string>& args, const RunOptions& opt) {
  RunResult res;
  // A guest writing to a closed pipe gets -32, it does not kill the host.
  ::signal(SIGPIPE, SIG_IGN);
  try {
    validate_options(opt);
    if (!opt.replay.replay.empty()) {
      res = replay(opt);
    } else {
      // A recorded run keeps the image's bytes for its start record.
      std::vector<uint8_t> file = Image::read_file(image, opt.limits.memory_cap);
      std::vector<uint8_t> kept;
      if (!opt.replay.record.empty()) kept = file;
      std::vector<std::string> argv{opt.io.argv0.empty() ? image : opt.io.argv0};
      argv.insert(argv.end(), args.begin(), args.end());
      std::string name = process_name(argv[0]);
      ChildStart start{Image::parse(std::move(file), image, opt.limits.memory_cap), std::move(argv), std::move(name)};
      start.file = std::move(kept);
      res = Tree(opt).run(std::move(start));
    }
  } catch (const std::exception& e) {
    res = RunResult{};
    res.end = RunResult::End::NotRun;
    res.error = e.what();
    std::string line = "tavik-run: " + res.error + "\n";
    ssize_t ignored = ::write(opt.io.stderr_fd, line.data(), line.size());
    (void)ignored;
  }
  return res;
}

}  // namespace tavik
