// run_image: the in-process entry point; every failure to set the run up becomes one line and status 125.
#include <signal.h>
#include <unistd.h>

#include "base/errors.hpp"
#include "cpu/image.hpp"
#include "process/run_builder.hpp"
#include "base/calls.hpp"
#include "report/trace_format.hpp"
#include "tavik/run.hpp"

namespace tavik {

RunResult run_image(const std::string& image, const std::vector<std::string>& args, const RunOptions& opt) {
  RunResult res;
  // A guest writing to a closed pipe gets -32, it does not kill the host.
  ::signal(SIGPIPE, SIG_IGN);
  try {
    for (const Injection& inj : opt.injects) {
      if (!call_number(inj.name)) throw SetupError("--inject: unknown system call '" + inj.name + "'");
    }
    for (const std::string& word : opt.trace_calls)
      if (!is_call_or_class(word)) throw SetupError("-e trace: unknown system call or class '" + word + "'");
    Image loaded = Image::load_file(image, opt.memory_cap);
    std::vector<std::string> argv{opt.argv0.empty() ? image : opt.argv0};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string name = process_name(argv[0]);
    res = RunBuilder(opt).run(loaded, std::move(argv), name);
  } catch (const std::exception& e) {
    res = RunResult{};
    res.end = RunResult::End::NotRun;
    res.error = e.what();
    std::string line = "tavik-run: " + res.error + "\n";
    ssize_t ignored = ::write(opt.stderr_fd, line.data(), line.size());
    (void)ignored;
  }
  return res;
}

}  // namespace tavik
