// tavik-run: runs a tavik executable on the host. Options end at EXE; every word after it goes to the guest.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <charconv>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "tavik/run.hpp"
#include <tavik/abi.h>

namespace {

// A whole number in decimal, nothing else (no sign, space or suffix), no larger than most: false otherwise.
bool whole_number(const std::string& text, uint64_t most, uint64_t& out) {
  if (text.empty() || text.size() > 20) return false;
  auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), out, 10);
  return err == std::errc() && end == text.data() + text.size() && out <= most;
}

// The options that take a count: anything but a whole number in the option's range is refused by name, so that
// "-1" can never wrap into "no limit".
CLI::Validator count_up_to(uint64_t most) {
  return CLI::Validator(
      [most](const std::string& text) {
        uint64_t value;
        return whole_number(text, most, value) ? std::string() : "expected a whole number from 0 to " + std::to_string(most);
      },
      "N");
}

// An error name of the kernel's (ENOENT) as the negated number a call returns.
bool error_result(const std::string& text, int32_t& out) {
#define TAVIK_ERROR_BY_NAME(nr, name, words) \
  if (text == #name) {                      \
    out = -(nr);                            \
    return true;                            \
  }
  TAVIK_ERRORS(TAVIK_ERROR_BY_NAME)
#undef TAVIK_ERROR_BY_NAME
  return false;
}

// NAME#WHEN=RESULT. WHEN: K (the K-th call, from 1), K+ (it and every later one), K+S (K, K+S, K+2S, ...) or *
// (every one); RESULT: a number, or an error name for its negated number.
bool parse_injection(const std::string& text, tavik::Injection& out) {
  size_t hash = text.find('#');
  size_t eq = text.find('=', hash == std::string::npos ? 0 : hash);
  if (hash == std::string::npos || eq == std::string::npos || hash == 0) return false;
  try {
    std::string when = text.substr(hash + 1, eq - hash - 1);
    std::string result = text.substr(eq + 1);
    if (when.empty() || result.empty()) return false;
    out.name = text.substr(0, hash);
    if (when == "*") {
      out.nth = 0;
    } else {
      size_t plus = when.find('+');
      std::string step = plus == std::string::npos ? "" : when.substr(plus + 1);
      if (!whole_number(when.substr(0, plus), UINT64_MAX, out.nth) || out.nth == 0) return false;
      out.step = plus == std::string::npos ? 0 : 1;
      if (!step.empty() && (!whole_number(step, UINT64_MAX, out.step) || out.step == 0)) return false;
    }
    if (error_result(result, out.result)) return true;
    // A number as a call returns it: decimal or 0x hex, negative or not, within 32 bits; nothing around it.
    bool negative = result[0] == '-';
    std::string digits = result.substr(negative ? 1 : 0);
    bool hex = digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0;
    if (hex) digits = digits.substr(2);
    uint64_t magnitude = 0;
    auto [end, err] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, hex ? 16 : 10);
    if (digits.empty() || err != std::errc() || end != digits.data() + digits.size()) return false;
    if (negative ? magnitude > uint64_t{1} << 31 : magnitude > UINT32_MAX) return false;
    int64_t r = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    out.result = static_cast<int32_t>(static_cast<uint32_t>(r));
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// strace's -e: [trace=]NAME,NAME,... with call names or classes (file, desc, process); a leading ! traces every
// call but those (kept as "!NAME" words). Repeated, the lists add up.
bool parse_filter(const std::string& text, std::vector<std::string>& out) {
  const std::string prefix = "trace=";
  std::string list = text.rfind(prefix, 0) == 0 ? text.substr(prefix.size()) : text;
  if (list.find('=') != std::string::npos) return false;  // another of strace's qualifiers: not this kit's
  bool all_but = !list.empty() && list[0] == '!';
  if (all_but) list.erase(0, 1);
  for (size_t at = 0; at <= list.size();) {
    size_t comma = std::min(list.find(',', at), list.size());
    std::string word = list.substr(at, comma - at);
    if (word.empty()) return false;
    out.push_back(all_but ? "!" + word : word);
    at = comma + 1;
  }
  return !out.empty();
}

class Usage : public CLI::Formatter {
 public:
  std::string make_usage(const CLI::App*, std::string) const override {
    return "Usage: tavik-run [OPTIONS] EXE [ARGS...]\n";
  }
};

}  // namespace

int main(int argc, char** argv) {
  tavik::RunOptions opt;
  opt.trace.keep = false;
  std::string stdin_file, root = ".";
  std::vector<std::string> injects;
  uint64_t tsc = 0;

  std::vector<std::string> filters;
  CLI::App app{"Runs a tavik executable: tavik-run [OPTIONS] EXE [ARGS...]"};
  app.formatter(std::make_shared<Usage>());
  app.prefix_command();
  app.set_version_flag("--version", "tavik-run " TAVIK_RUN_VERSION);
  app.add_option("--root", root, "Host folder the guest sees as / (default: the current folder)");
  app.add_option("--stdin", stdin_file, "File behind the guest's descriptor 0 (default: this stdin)");
  app.add_option("--argv0", opt.io.argv0, "The guest's argv[0] (default: EXE as given)");
  app.add_flag("--trace", opt.trace.text, "Trace system calls on stderr");
  app.add_option("-o,--trace-file", opt.trace.file, "Trace system calls into FILE instead");
  app.add_option("-s,--string-limit", opt.trace.string_limit, "Show at most N bytes of a buffer (default 32)")
      ->check(count_up_to(UINT32_MAX));
  app.add_option("-e", filters,
                 "[trace=][!]NAME,...: trace only these calls or classes (file, desc, process), or all but them")
      ->allow_extra_args(false);
  app.add_flag("-T,--time", opt.trace.time, "Show the time spent in each call");
  app.add_flag("-c,--summary", opt.trace.summary, "Print a table of calls, errors and time at the end");
  app.add_option("--trace-json", opt.trace.json, "Trace system calls as JSON lines into FILE");
  app.add_option("--coverage", opt.measure.coverage_file, "Append an lcov tracefile of the executed source lines to FILE");
  app.add_option("--profile", opt.measure.profile_file,
                 "Write a callgrind profile to FILE (instructions per function and line, calls with their cost); "
                 "a spawned process writes FILE.PID");
  app.add_option("--inject", injects,
                 "NAME#WHEN=RESULT: the calls of NAME at WHEN (K, K+, K+S or *) return RESULT (a number or an "
                 "error name) unperformed")
      ->allow_extra_args(false);
  app.add_option("--write-limit", opt.limits.write_limit, "Each write accepts at most N bytes")
      ->check(count_up_to(UINT32_MAX));
  auto* tsc_opt = app.add_option("--tsc", tsc, "The time-stamp counter reads N, N+1, ...")->check(count_up_to(UINT64_MAX));
  app.add_option("--insn-limit", opt.limits.insn_limit, "Stop the guest after N instructions")
      ->check(count_up_to(UINT64_MAX));
  app.add_option("--timeout", opt.limits.timeout, "Stop the guest after SECONDS of wall time");
  app.add_option("--file-size-limit", opt.limits.file_size_limit, "Most bytes a file written by the guest may hold")
      ->check(count_up_to(UINT64_MAX));
  app.add_option("--process-limit", opt.limits.process_limit, "Most spawned processes not yet reaped in one tree")
      ->check(count_up_to(UINT32_MAX));
  app.add_option("--gdb", opt.gdb_port, "Serve a debugger on 127.0.0.1:PORT, stopped before the first instruction")->check(CLI::Range(1, 65535));
  app.add_flag("--count-insns", opt.measure.count_insns, "Print 'instructions: N' on stderr at the end");
  app.add_flag("--memcheck", opt.check.memcheck,
               "Report accesses outside live heap blocks or below the stack pointer, and bad frees");
  app.add_option("--record", opt.replay.record,
                 "Write everything the run takes from outside (calls' results, bytes read, images) into FILE");
  app.add_option("--replay", opt.replay.replay,
                 "Run the recording in FILE again, touching no file of the host (EXE and ARGS come from it)");
  int32_t replay_pid = 0;
  auto* replay_pid_opt = app.add_option("--replay-pid", replay_pid, "With --replay and --gdb: debug the process of this recorded pid");
  uint64_t history_mib = opt.replay.history_memory >> 20;
  app.add_option("--history-memory", history_mib,
                 "MiB of checkpoints and kept calls that let gdb go back in time (default 256)")
      ->check(count_up_to(1u << 20));
  int error_exitcode = 0;
  auto* exitcode_opt = app.add_option("--error-exitcode", error_exitcode,
                                      "With --memcheck: a process that found an error exits with status N")
                           ->check(CLI::Range(1, 255));
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return 125;
  }
  std::vector<std::string> rest = app.remaining();
  bool dashes = !rest.empty() && rest[0] == "--";
  if (dashes) rest.erase(rest.begin());
  if (replay_pid_opt->count()) opt.replay.replay_pid = replay_pid;
  opt.replay.history_memory = history_mib << 20;
  if (!opt.replay.replay.empty() && !rest.empty()) {
    std::cerr << "tavik-run: --replay runs the recorded executable; no EXE may follow\n";
    return 125;
  }
  if (rest.empty() && !opt.replay.replay.empty()) rest.push_back("");
  if (rest.empty()) {
    std::cerr << "tavik-run: no executable given\n" << app.help();
    return 125;
  }
  // Options end at EXE; a word before it that looks like an option is one this program does not have.
  if (!dashes && rest[0].size() > 1 && rest[0][0] == '-') {
    std::cerr << "tavik-run: unknown option '" << rest[0] << "' (an executable whose name starts with '-' follows "
              << "'--')\nRun with --help for more information.\n";
    return 125;
  }
  for (const std::string& filter : filters) {
    if (parse_filter(filter, opt.trace.calls)) continue;
    std::cerr << "tavik-run: -e " << filter << ": expected [trace=][!]NAME,... (call names or file, desc, process)\n";
    return 125;
  }
  if (!opt.trace.calls.empty() || opt.trace.time || app.count("-s")) opt.trace.text = true;
  if (exitcode_opt->count()) opt.check.error_exitcode = error_exitcode;
  for (const std::string& text : injects) {
    tavik::Injection inj;
    if (!parse_injection(text, inj)) {
      // A word where the result goes is a misspelled error name: it is named.
      std::string result = text.substr(text.find('=') == std::string::npos ? text.size() : text.find('=') + 1);
      if (!result.empty() && std::isalpha(static_cast<unsigned char>(result[0]))) {
        std::cerr << "tavik-run: --inject " << text << ": '" << result
                  << "' is no error name of the kernel (ENOENT, EIO, EAGAIN, ...)\n";
        return 125;
      }
      std::cerr << "tavik-run: --inject " << text
                << ": expected NAME#WHEN=RESULT, WHEN K, K+, K+S (K, S >= 1) or *, RESULT a number or an error name\n";
      return 125;
    }
    opt.injects.push_back(inj);
  }
  opt.io.root = root;
  if (!stdin_file.empty()) opt.io.stdin_file = stdin_file;
  if (*tsc_opt) opt.tsc = tsc;
  std::string image = rest[0];
  std::vector<std::string> args(rest.begin() + 1, rest.end());
  tavik::end_runs_on_termination();
  tavik::RunResult result = tavik::run_image(image, args, opt);
  // A faulting guest ends tavik-run as the fault would end a native process: shells say "Segmentation fault",
  // test runners "SegFault", and $? is still 128 + the signal.
  if (result.end == tavik::RunResult::End::Fault) {
    std::fflush(nullptr);
    tavik::end_by_signal(tavik::fault_signal(result.fault.kind));
  }
  return result.host_exit_code();
}
