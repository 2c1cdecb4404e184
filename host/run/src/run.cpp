// run_image: the in-process entry point, and the host exit codes.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "elf_image.hpp"
#include "errors.hpp"
#include "fd_table.hpp"
#include "limits.hpp"
#include "process.hpp"
#include "sandbox.hpp"
#include "syscalls.hpp"
#include "tavik/run.hpp"
#include "trace.hpp"

namespace tavik {

int RunResult::host_exit_code() const {
  switch (end) {
    case End::Exit: return status & 0xff;
    case End::Fault:
      if (fault.kind == "invalid_opcode") return 132;
      if (fault.kind == "divide_error") return 136;
      if (fault.kind == "breakpoint") return 133;
      return 139;
    case End::Killed: return 137;
    case End::LoadError: return 125;
  }
  return 125;
}

RunResult run_image(const std::string& image, const std::vector<std::string>& args, const RunOptions& opt) {
  RunResult res;
  // A guest writing to a closed pipe gets -32, it does not kill the host.
  ::signal(SIGPIPE, SIG_IGN);
  try {
    for (const Injection& inj : opt.injects) {
      if (!Syscalls::number_of(inj.name))
        throw LoadError("--inject: unknown system call '" + inj.name + "'");
    }
    ElfImage elf = ElfImage::load_file(image, opt.memory_cap);
    Sandbox sandbox(opt.root);
    ProcessTree tree;
    FdTable fds;
    if (opt.stdin_file) {
      int fd = ::open(opt.stdin_file->c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) throw LoadError("--stdin " + *opt.stdin_file + ": " + std::strerror(errno));
      fds.put(0, std::make_shared<OpenFile>(fd, true));
    } else {
      fds.put(0, std::make_shared<OpenFile>(opt.stdin_fd, false));
    }
    fds.put(1, std::make_shared<OpenFile>(opt.stdout_fd, false));
    fds.put(2, std::make_shared<OpenFile>(opt.stderr_fd, false));
    Trace trace(opt.trace ? opt.stderr_fd : -1, opt.trace_json, opt.keep_trace, "");
    std::vector<std::string> argv{opt.argv0.empty() ? image : opt.argv0};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string name = argv[0].substr(argv[0].rfind('/') == std::string::npos ? 0 : argv[0].rfind('/') + 1);
    Process process(elf, std::move(argv), name, opt, sandbox, fds, trace);
    res = process.run();
    res.trace = std::move(trace.events());
  } catch (const std::exception& e) {
    res = RunResult{};
    res.end = RunResult::End::LoadError;
    res.error = e.what();
    std::string line = "tavik-run: " + res.error + "\n";
    ssize_t ignored = ::write(opt.stderr_fd, line.data(), line.size());
    (void)ignored;
  }
  return res;
}

}  // namespace tavik
