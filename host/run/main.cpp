// tavik-run: runs a tavik executable on the host. Options end at EXE; every word after it goes to the guest.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "tavik/run.hpp"

namespace {

// NAME#K=RESULT, or NAME#*=RESULT for every call
bool parse_injection(const std::string& text, tavik::Injection& out) {
  size_t hash = text.find('#');
  size_t eq = text.find('=', hash == std::string::npos ? 0 : hash);
  if (hash == std::string::npos || eq == std::string::npos || hash == 0) return false;
  try {
    size_t used = 0;
    std::string nth = text.substr(hash + 1, eq - hash - 1);
    std::string result = text.substr(eq + 1);
    if (nth.empty() || result.empty() || nth[0] == '-') return false;
    out.name = text.substr(0, hash);
    if (nth == "*") {
      out.nth = 0;
    } else {
      out.nth = std::stoull(nth, &used, 10);
      if (used != nth.size() || out.nth == 0) return false;
    }
    long long r = std::stoll(result, &used, 0);
    if (used != result.size() || r < INT32_MIN || r > UINT32_MAX) return false;
    out.result = static_cast<int32_t>(static_cast<uint32_t>(r));
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

int main(int argc, char** argv) {
  tavik::RunOptions opt;
  opt.keep_trace = false;
  std::string stdin_file, root = ".";
  std::vector<std::string> injects;
  uint64_t tsc = 0;

  CLI::App app{"Runs a tavik executable: tavik-run [OPTIONS] EXE [ARGS...]"};
  app.prefix_command();
  app.add_option("--root", root, "Host folder the guest sees as / (default: the current folder)");
  app.add_option("--stdin", stdin_file, "File behind the guest's descriptor 0 (default: this stdin)");
  app.add_option("--argv0", opt.argv0, "The guest's argv[0] (default: EXE as given)");
  app.add_flag("--trace", opt.trace, "Trace system calls on stderr");
  app.add_option("--trace-json", opt.trace_json, "Trace system calls as JSON lines into FILE");
  app.add_option("--inject", injects,
                 "NAME#K=RESULT: the K-th NAME call returns RESULT unperformed; NAME#*=RESULT: every one")
      ->allow_extra_args(false);
  app.add_option("--write-limit", opt.write_limit, "Each write accepts at most N bytes");
  auto* tsc_opt = app.add_option("--tsc", tsc, "The time-stamp counter reads N, N+1, ...");
  app.add_option("--insn-limit", opt.insn_limit, "Stop the guest after N instructions");
  app.add_option("--timeout", opt.timeout, "Stop the guest after SECONDS of wall time")
      ->check(CLI::Validator(
          [](const std::string& text) {
            double v = 0;
            bool number = CLI::detail::lexical_cast(text, v);
            return number && std::isfinite(v) && v >= 0 ? std::string() : "SECONDS must be a number >= 0";
          },
          "SECONDS"));
  app.add_option("--file-size-limit", opt.file_size_limit, "Most bytes a file written by the guest may hold");
  app.add_option("--process-limit", opt.process_limit, "Most spawned processes not yet reaped in one tree");
  app.add_option("--gdb", opt.gdb_port, "Serve a debugger on 127.0.0.1:PORT, stopped before the first instruction")->check(CLI::Range(1, 65535));
  app.add_flag("--count-insns", opt.count_insns, "Print 'instructions: N' on stderr at the end");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return 125;
  }
  std::vector<std::string> rest = app.remaining();
  if (!rest.empty() && rest[0] == "--") rest.erase(rest.begin());
  if (rest.empty()) {
    std::cerr << "tavik-run: no executable given\n" << app.help();
    return 125;
  }
  for (const std::string& text : injects) {
    tavik::Injection inj;
    if (!parse_injection(text, inj)) {
      std::cerr << "tavik-run: --inject " << text << ": expected NAME#K=RESULT with K >= 1, or NAME#*=RESULT\n";
      return 125;
    }
    opt.injects.push_back(inj);
  }
  opt.root = root;
  if (!stdin_file.empty()) opt.stdin_file = stdin_file;
  if (*tsc_opt) opt.tsc = tsc;
  std::string image = rest[0];
  std::vector<std::string> args(rest.begin() + 1, rest.end());
  tavik::end_runs_on_termination();
  tavik::RunResult result = tavik::run_image(image, args, opt);
  return result.host_exit_code();
}
