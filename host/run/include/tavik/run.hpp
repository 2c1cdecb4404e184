// tavik-run's in-process interface: load a tavik image, run it to its end, and describe how it ended.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavik {

// --inject NAME#K=RESULT: the K-th call (counted from 1) of the system call NAME returns RESULT unperformed;
// NAME#*=RESULT (nth 0): every call of NAME does.
// The nth call of name (from 1; 0: every one) returns result unperformed; with step, so do the calls nth + step,
// nth + 2 step, ... (strace's when=K+S; K+ is a step of 1).
struct Injection {
  std::string name;
  uint64_t nth;
  int32_t result;
  uint64_t step = 0;
};

// The options of a run, by concern; run_image validates them once, and each part of the kit gets its own.

// Where the guest's files and standard streams are.
struct IoOptions {
  std::string root = ".";                  // the host folder the guest sees as "/"
  std::optional<std::string> stdin_file;   // host file behind guest descriptor 0; default stdin_fd
  int stdin_fd = 0, stdout_fd = 1, stderr_fd = 2;  // host descriptors behind guest 0, 1, 2
  std::string argv0;                       // empty: the image path as given
};

// What the trace shows and where.
struct TraceOptions {
  bool text = false;                       // text trace (strace-like) to the stderr descriptor
  std::string file;                        // the text trace into this file instead (implies text)
  std::string json;                        // JSON-lines trace file; empty: none
  uint32_t string_limit = 32;              // bytes of a buffer a text line shows (paths: 8 times as many)
  std::vector<std::string> calls;          // only these calls or classes (file, desc, process), "!NAME": all but
                                           // these; empty: all
  bool time = false;                       // text lines end with the time spent in the call: <0.000012>
  bool summary = false;                    // a table of calls, errors and time per call at each process's end
  bool keep = true;                        // fill RunResult::trace (the command line turns it off)
};

// How much of the host a tree of processes may use.
struct LimitOptions {
  uint32_t write_limit = 0;                // most bytes one write accepts; 0 = no limit
  uint64_t insn_limit = 0;                 // instructions of the whole tree; 0 = none
  double timeout = 0;                      // seconds of wall time for the whole tree; 0 = none
  uint64_t file_size_limit = 1ull << 30;   // most bytes a file written by the guest may hold; writes beyond: -27
  uint32_t process_limit = 64;             // most spawned processes not yet reaped in one tree; spawns beyond: -11
  uint32_t stack_size = 1 << 20;
  uint64_t memory_cap = 256ull << 20;      // most bytes of image segments
};

// What is measured of each process.
struct MeasureOptions {
  bool count_insns = false;                // print "instructions: N" on the stderr descriptor at the end
  std::string coverage_file;               // append an lcov tracefile of the executed lines to this file
  std::string profile_file;                // write a callgrind profile to this file (a spawned process: FILE.PID)
};

// What is checked of each process.
struct CheckOptions {
  bool memcheck = false;                   // report accesses outside live heap blocks and below the stack pointer
  std::optional<int> error_exitcode;       // with memcheck: a process that found an error exits with this status
};

// Recording a run, running a recording again, and going back in time under a debugger.
struct ReplayOptions {
  std::string record;                      // write everything the run took from outside into this file
  std::string replay;                      // run this recording again instead of an image; the root is not used
  std::optional<int32_t> replay_pid;       // with gdb_port: debug the replayed process of this recorded pid
  uint64_t history_memory = 256ull << 20;  // a debugged run's checkpoints and kept calls, at most
};

struct RunOptions {
  IoOptions io;
  TraceOptions trace;
  LimitOptions limits;
  MeasureOptions measure;
  CheckOptions check;
  ReplayOptions replay;
  std::vector<Injection> injects;          // the first process's calls only
  std::optional<uint64_t> tsc;             // rdtsc reads N, N+1, ...
  int gdb_port = 0;                        // serve a debugger on 127.0.0.1:PORT, stopped before the first
                                           // instruction, for the first process; 0 = none
};

struct TraceEvent {
  uint32_t nr;
  std::string name;
  std::array<uint32_t, 3> args;            // ebx, ecx, edx
  int32_t ret;
  std::string data;                        // bytes passed (write, writefile, stream_write) or delivered (read)
  std::optional<std::string> path;
  std::vector<std::string> argv;           // the argument vector a spawn read
  bool injected = false;
};

// The faults that end a process. Each kind has one row (fault_kinds.cpp): its JSON name, the words of the report,
// the signal a parent or debugger sees and tavik-run's exit status.
enum class FaultKind { PageFault, GeneralProtection, InvalidOpcode, DivideError, Breakpoint };
const char* fault_name(FaultKind kind);    // "page_fault", ... (the JSON trace, the in-process record)
const char* fault_words(FaultKind kind);   // "page fault", ... (the report's first line)
int fault_signal(FaultKind kind);          // SIGSEGV, SIGILL, SIGFPE, SIGTRAP
const char* fault_signal_name(FaultKind kind);  // "SIGSEGV", ... (the trace's last line)
int fault_exit_code(FaultKind kind);       // 128 + the signal

// What stopped a guest that neither exited nor faulted: its name is the JSON trace's ("insn_limit", ...).
enum class Limit { InsnLimit, Timeout, Debugger, Terminated };
const char* limit_name(Limit limit);

struct FaultInfo {
  FaultKind kind = FaultKind::GeneralProtection;
  uint32_t eip = 0;
  uint32_t addr = 0;
  std::string access;                      // page faults only: "read", "write" or "exec"
};

struct RunResult {
  // NotRun: tavik-run could not run the image (a bad image, option or file); error says why.
  enum class End { Exit, Fault, Killed, NotRun } end = End::NotRun;
  int32_t status = 0;                      // guest exit status, full 32 bits
  FaultInfo fault;
  Limit killed = Limit::Timeout;           // when end is Killed
  std::string error;                       // when end is NotRun
  std::vector<TraceEvent> trace;
  uint64_t instructions = 0;               // when counted
  // status & 0xff; a fault's exit code (139 page or protection fault, 132 invalid opcode, 136 divide error,
  // 133 breakpoint); 137 stopped by a limit; 125 tavik-run's own failure.
  int host_exit_code() const;
};

// Runs an image (a host path) with args as the guest's argv[1..]; argv[0] is opt.io.argv0 or the image path.
// With opt.replay.replay, runs that recording again instead (image and args unused).
RunResult run_image(const std::string& image, const std::vector<std::string>& args, const RunOptions& opt);

// For a program that is all one run (tavik-run itself): SIGTERM, SIGINT and SIGHUP end the running guest as
// killed (Limit::Terminated), after it has ended its children, instead of ending the program on the spot.
void end_runs_on_termination();

// Ends this host process by sig, as a fault ends a native process, without a core file (a faulting guest's end).
void end_by_signal(int sig);

}  // namespace tavik
