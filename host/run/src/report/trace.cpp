// Trace: text lines, JSON lines (one write each, so that a tree's processes interleave whole lines), the
// in-process record, and the summary table.
#include "report/trace.hpp"

#include <fcntl.h>
#include <tavik/abi.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <nlohmann/json.hpp>

#include "report/backtrace.hpp"
#include "report/memory_error.hpp"
#include "base/errors.hpp"
#include "base/strf.hpp"
#include "report/trace_format.hpp"

namespace tavik {
namespace {

// Unknown call numbers each get a summary row up to this many; the rest share one.
constexpr size_t kMostUnknown = 64;

std::string to_hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

void write_all(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t n = ::write(fd, s.data() + done, s.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a broken trace stream must not stop the guest
    done += static_cast<size_t>(n);
  }
}

nlohmann::ordered_json frames_json(const Backtrace& bt) {
  nlohmann::ordered_json frames = nlohmann::ordered_json::array();
  for (const Frame& f : bt.frames) {
    nlohmann::ordered_json j{{"pc", f.pc}, {"function", f.function}};
    if (!f.file.empty()) j["file"] = f.file, j["line"] = f.line;
    frames.push_back(j);
  }
  return frames;
}

std::string dump(const nlohmann::ordered_json& j) {
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

int create(const std::string& path, const char* option) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) throw SetupError(strf("%s %s: %s", option, path.c_str(), std::strerror(errno)));
  return fd;
}

}  // namespace

std::string quote_bytes(const std::string& bytes, size_t limit) {
  std::string out = "\"";
  size_t shown = std::min(bytes.size(), limit);
  for (size_t i = 0; i < shown; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c >= 0x20 && c < 0x7f) out.push_back(static_cast<char>(c));
        else out += strf("\\x%02x", c);
    }
  }
  out += "\"";
  if (bytes.size() > shown) out += "...";
  return out;
}

TraceSinks::TraceSinks(const TraceOptions& opt, int stderr_fd) {
  if (!opt.file.empty()) {
    text_fd = create(opt.file, "--trace-file");
    own_text_ = true;
  } else if (opt.text) {
    text_fd = stderr_fd;
  }
  summary_fd = opt.summary ? (text_fd >= 0 ? text_fd : stderr_fd) : -1;
  if (!opt.json.empty()) json_fd = create(opt.json, "--trace-json");
}

TraceSinks::~TraceSinks() {
  if (own_text_) ::close(text_fd);
  if (json_fd >= 0) ::close(json_fd);
}

Trace::Trace(const TraceSinks& sinks, const TraceOptions& opt, std::string prefix, int pid)
    : sinks_(sinks),
      opt_(opt),
      timed_(opt.time || opt.summary),
      shows_data_(sinks.text_fd >= 0 || sinks.json_fd >= 0 || opt.keep),
      pid_(pid ? pid : static_cast<int>(::getpid())),
      prefix_(std::move(prefix)) {}

// An argument vector as strace shows one: ["a", "b"], each string quoted and cut as a buffer is.
std::string Trace::strings_of(const std::vector<std::string>& argv) const {
  constexpr size_t kMostShown = 32;
  std::string out = "[";
  for (size_t i = 0; i < argv.size() && i < kMostShown; ++i)
    out += (i ? ", " : "") + quote_bytes(argv[i], opt_.string_limit);
  return out + (argv.size() > kMostShown ? ", ...]" : "]");
}

// Shown when some word names it (or no word names what to show), and no "!" word names it.
bool Trace::shown(const CallRow* row) const {
  bool named = false, any_named = false;
  for (const std::string& word : opt_.calls) {
    bool all_but = word[0] == '!';
    bool in = row && call_in_class(*row, all_but ? word.substr(1) : word);
    if (all_but && in) return false;
    any_named |= !all_but;
    named |= !all_but && in;
  }
  return named || !any_named;
}

std::string Trace::text_of(const TraceEvent& ev, const CallRow* row, uint64_t ns) const {
  const std::array<ArgKind, 3>& kinds = row ? row->kinds : kUnknownCallKinds;
  std::string line = ev.name + "(";
  const char* sep = "";
  for (size_t i = 0; i < 3; ++i) {
    if (kinds[i] == ArgKind::NONE) continue;
    line += sep;
    sep = ", ";
    uint32_t v = ev.args[i];
    std::string decoded = decode_arg(kinds[i], v);
    switch (kinds[i]) {
      case ArgKind::INT:
      case ArgKind::FD:
      case ArgKind::HANDLE: line += std::to_string(static_cast<int32_t>(v)); break;
      case ArgKind::UINT: line += std::to_string(v); break;
      case ArgKind::PTR: line += strf("%#x", v); break;
      case ArgKind::ARGV: line += ev.argv.empty() && ev.args[2] != 0 ? strf("%#x", v) : strings_of(ev.argv); break;
      case ArgKind::OPEN_FLAGS:
      case ArgKind::MODE:
      case ArgKind::WHENCE: line += decoded; break;
      case ArgKind::PATH: line += ev.path ? quote_bytes(*ev.path, 8 * opt_.string_limit) : strf("%#x", v); break;
      case ArgKind::BYTES_OUT:
      case ArgKind::BYTES_IN:
        // Bytes a call took are shown even when it failed, as the guest passed them; a read that failed
        // delivered nothing and shows its buffer's address.
        line += kinds[i] == ArgKind::BYTES_OUT || (ev.ret >= 0 && !ev.injected) || !ev.data.empty()
                    ? quote_bytes(ev.data, opt_.string_limit)
                    : strf("%#x", v);
        break;
      case ArgKind::NONE: break;
    }
  }
  // _exit does not return: its result is shown as strace shows it.
  line += ") = ";
  if (ev.nr == TAVIK_NR__exit && !ev.injected) line += "?";
  else if (ev.ret < 0 && error_name(-ev.ret)) line += strf("-1 %s (%s)", error_name(-ev.ret), error_text(-ev.ret));
  else line += std::to_string(ev.ret);
  if (ev.injected) line += " (injected)";
  if (opt_.time) line += strf(" <%.6f>", static_cast<double>(ns) / 1e9);
  return line;
}

void Trace::text_line(const std::string& line) const {
  if (sinks_.text_fd >= 0) write_all(sinks_.text_fd, prefix_ + line + "\n");
}

void Trace::json_line(const std::string& line) const {
  if (sinks_.json_fd >= 0) write_all(sinks_.json_fd, line);
}

void Trace::call(const TraceEvent& ev, const CallRow* row, uint64_t ns) {
  if (opt_.summary) count(ev, ns);
  if (opt_.keep) events_.push_back(ev);
  if (!shown(row)) return;
  if (sinks_.text_fd >= 0) text_line(text_of(ev, row, ns));
  if (sinks_.json_fd < 0) return;
  nlohmann::ordered_json j;
  j["pid"] = pid_;
  j["nr"] = ev.nr;
  j["name"] = ev.name;
  // Only the arguments the call takes: the other registers hold whatever the guest left there.
  nlohmann::ordered_json args = nlohmann::ordered_json::array();
  const std::array<ArgKind, 3>& kinds = row ? row->kinds : kUnknownCallKinds;
  for (size_t i = 0; i < 3; ++i)
    if (kinds[i] != ArgKind::NONE) args.push_back(ev.args[i]);
  j["args"] = args;
  j["ret"] = ev.ret;
  if (ev.ret < 0 && error_name(-ev.ret) && ev.nr != TAVIK_NR__exit) j["error"] = error_name(-ev.ret);
  if (row && row->moves_data()) j["hex"] = to_hex(ev.data);
  if (ev.path) j["path"] = *ev.path;
  if (!ev.argv.empty()) j["argv"] = ev.argv;
  if (ev.injected) j["injected"] = true;
  json_line(dump(j));
}

void Trace::count(const TraceEvent& ev, uint64_t ns) {
  std::string name = ev.name;
  if (!find_call(ev.nr) && !counts_.count(name) && unknown_rows_ >= kMostUnknown) name = "syscall_other";
  if (!find_call(ev.nr) && !counts_.count(name)) ++unknown_rows_;
  Counts& c = counts_[name];
  ++c.calls;
  if (ev.ret < 0 && ev.nr != TAVIK_NR__exit) ++c.errors;
  c.ns += ns;
}

void Trace::write_summary() const {
  if (sinks_.summary_fd < 0) return;
  uint64_t total_ns = 0, total_calls = 0, total_errors = 0;
  for (const auto& [name, c] : counts_) total_ns += c.ns, total_calls += c.calls, total_errors += c.errors;
  std::string out = prefix_ + "% time     seconds  usecs/call     calls    errors syscall\n";
  const std::string rule = prefix_ + "------ ----------- ----------- --------- --------- ----------------\n";
  out += rule;
  std::vector<std::pair<std::string, Counts>> rows(counts_.begin(), counts_.end());
  std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.second.ns > b.second.ns; });
  for (const auto& [name, c] : rows) {
    double share = total_ns ? 100.0 * static_cast<double>(c.ns) / static_cast<double>(total_ns) : 0;
    out += prefix_ + strf("%6.2f %11.6f %11llu %9llu ", share, static_cast<double>(c.ns) / 1e9,
                          static_cast<unsigned long long>(c.ns / 1000 / c.calls),
                          static_cast<unsigned long long>(c.calls));
    out += (c.errors ? strf("%9llu", static_cast<unsigned long long>(c.errors)) : std::string(9, ' ')) + " " + name +
           "\n";
  }
  out += rule;
  out += prefix_ + strf("100.00 %11.6f %11s %9llu %9llu total\n", static_cast<double>(total_ns) / 1e9, "",
                        static_cast<unsigned long long>(total_calls), static_cast<unsigned long long>(total_errors));
  write_all(sinks_.summary_fd, out);
}

void Trace::end_exit(int32_t status) {
  write_summary();
  text_line(strf("+++ exited with %d +++", status));
  json_line(dump(nlohmann::ordered_json{{"pid", pid_}, {"exit", status}}));
}

void Trace::end_fault(const FaultInfo& fault, const Backtrace& bt) {
  write_summary();
  text_line(strf("+++ killed by %s +++", fault_signal_name(fault.kind)));
  if (sinks_.json_fd < 0) return;
  nlohmann::ordered_json j;
  j["pid"] = pid_;
  j["fault"] = fault_name(fault.kind);
  if (fault.kind == FaultKind::PageFault) {
    j["addr"] = fault.addr;
    j["access"] = fault.access;
  }
  j["eip"] = fault.eip;
  j["frames"] = frames_json(bt);
  json_line(dump(j));
}

void Trace::end_killed(const char* why, const Backtrace* bt) {
  write_summary();
  text_line(strf("+++ killed by SIGKILL (%s) +++", why));
  if (sinks_.json_fd < 0) return;
  nlohmann::ordered_json j{{"pid", pid_}, {"killed", why}};
  if (bt) j["frames"] = frames_json(*bt);
  json_line(dump(j));
}

void Trace::memory_error(const MemoryError& e) {
  if (sinks_.json_fd < 0) return;
  nlohmann::ordered_json j{{"pid", pid_}, {e.access.empty() && e.headline.empty() ? "memcheck" : "asan", e.what}};
  if (!e.access.empty()) j["access"] = e.access;
  if (e.size) j["size"] = e.size;
  j["addr"] = e.addr;
  j["eip"] = e.eip;
  j["where"] = e.where;
  j["frames"] = frames_json(e.at);
  if (e.freed) j["freed"] = frames_json(*e.freed);
  if (e.allocated) j["allocated"] = frames_json(*e.allocated);
  json_line(dump(j));
}

void Trace::memcheck_summary(const MemcheckSummary& s) {
  if (sinks_.json_fd < 0) return;
  nlohmann::ordered_json j{{"pid", pid_},
                           {"memcheck_summary",
                            {{"errors", s.errors},
                             {"sites", s.sites},
                             {"heap_checked", s.heap_checked},
                             {"allocations", s.allocs},
                             {"allocated_bytes", s.bytes},
                             {"frees", s.frees},
                             {"freed_bytes", s.freed_bytes},
                             {"in_use_blocks", s.in_use_blocks},
                             {"in_use_bytes", s.in_use_bytes}}}};
  json_line(dump(j));
}

void Trace::runtime_error(const std::string& where, const std::string& what, const Backtrace& bt) {
  if (sinks_.json_fd < 0) return;
  nlohmann::ordered_json j{{"pid", pid_}, {"runtime_error", what}, {"where", where}};
  j["frames"] = frames_json(bt);
  json_line(dump(j));
}

}  // namespace tavik
