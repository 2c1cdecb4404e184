// run_image: the in-process entry point; every failure to set the run up becomes one line and status 125.
#include <signal.h>
#include <unistd.h>

#include "cpu/image.hpp"
#include "kernel/process_end.hpp"
#include "process/tree.hpp"
#include "tavik/run.hpp"

namespace tavik {

RunResult run_image(const std::string& image, const std::vector<std::string>& args, const RunOptions& opt) {
  RunResult res;
  // A guest writing to a closed pipe gets -32, it does not kill the host.
  ::signal(SIGPIPE, SIG_IGN);
  try {
    validate_options(opt);
    Image loaded = Image::load_file(image, opt.limits.memory_cap);
    std::vector<std::string> argv{opt.io.argv0.empty() ? image : opt.io.argv0};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string name = process_name(argv[0]);
    res = Tree(opt).run(std::move(loaded), std::move(argv), std::move(name));
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
