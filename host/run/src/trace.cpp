// Trace: text lines on the guest's stderr descriptor, one JSON object per line, and the in-process record.
#include "trace.hpp"

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "backtrace.hpp"
#include "errors.hpp"
#include "strf.hpp"

namespace tavik {
namespace {

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

nlohmann::ordered_json frames_json(const Backtrace& bt) {
  nlohmann::ordered_json frames = nlohmann::ordered_json::array();
  for (const Frame& f : bt.frames) {
    nlohmann::ordered_json j{{"pc", f.pc}, {"function", f.function}};
    if (!f.file.empty()) j["file"] = f.file, j["line"] = f.line;
    frames.push_back(j);
  }
  return frames;
}

void write_all(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t n = ::write(fd, s.data() + done, s.size() - done);
    if (n <= 0) return;  // a broken trace stream must not stop the guest
    done += static_cast<size_t>(n);
  }
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

Trace::Trace(int text_fd, const std::string& json_path, bool keep, std::string prefix)
    : text_fd_(text_fd), keep_(keep), prefix_(std::move(prefix)) {
  if (!json_path.empty()) {
    json_.open(json_path, std::ios::out | std::ios::trunc);
    if (!json_) throw SetupError("--trace-json " + json_path + ": cannot create the file");
  }
}

void Trace::text_line(const std::string& line) {
  if (text_fd_ >= 0) write_all(text_fd_, prefix_ + line + "\n");
}

void Trace::call(const TraceEvent& ev, const std::array<ArgKind, 3>& kinds, bool has_data) {
  if (text_fd_ >= 0) {
    std::string line = ev.name + "(";
    bool first = true;
    for (size_t i = 0; i < 3; ++i) {
      if (kinds[i] == ArgKind::NONE) continue;
      if (!first) line += ", ";
      first = false;
      uint32_t v = ev.args[i];
      switch (kinds[i]) {
        case ArgKind::INT:
        case ArgKind::FD:
        case ArgKind::WHENCE:
        case ArgKind::HANDLE: line += std::to_string(static_cast<int32_t>(v)); break;
        case ArgKind::UINT: line += std::to_string(v); break;
        case ArgKind::PTR:
        case ArgKind::OPEN_FLAGS:
        case ArgKind::MODE: line += strf("%#x", v); break;
        case ArgKind::PATH: line += ev.path ? quote_bytes(*ev.path, 256) : strf("%#x", v); break;
        case ArgKind::BYTES_OUT:
        case ArgKind::BYTES_IN:
          line += (ev.ret >= 0 && !ev.injected) || !ev.data.empty() ? quote_bytes(ev.data) : strf("%#x", v);
          break;
        case ArgKind::NONE: break;
      }
    }
    // _exit does not return: its result is shown as strace shows it.
    line += ") = " + (ev.nr == 2 && !ev.injected ? std::string("?") : std::to_string(ev.ret));
    if (ev.injected) line += " (injected)";
    text_line(line);
  }
  if (json_.is_open()) {
    nlohmann::ordered_json j;
    j["nr"] = ev.nr;
    j["name"] = ev.name;
    j["args"] = {ev.args[0], ev.args[1], ev.args[2]};
    j["ret"] = ev.ret;
    if (has_data) j["hex"] = to_hex(ev.data);
    if (ev.path) j["path"] = *ev.path;
    if (ev.injected) j["injected"] = true;
    json_ << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
  }
  if (keep_) events_.push_back(ev);
}

void Trace::end_exit(int32_t status) {
  if (text_fd_ >= 0) text_line(strf("+++ exited with %d +++", status));
  if (json_.is_open()) json_ << nlohmann::ordered_json{{"exit", status}}.dump() << '\n';
  flush();
}

void Trace::end_fault(const FaultInfo& fault, const Backtrace& bt) {
  if (json_.is_open()) {
    nlohmann::ordered_json j;
    j["fault"] = fault_name(fault.kind);
    if (fault.kind == FaultKind::PageFault) {
      j["addr"] = fault.addr;
      j["access"] = fault.access;
    }
    j["eip"] = fault.eip;
    j["frames"] = frames_json(bt);
    json_ << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
  }
  flush();
}

void Trace::end_killed(const char* why, const Backtrace* bt) {
  if (text_fd_ >= 0) text_line(std::string("+++ killed by ") + why + " +++");
  if (json_.is_open()) {
    nlohmann::ordered_json j{{"killed", why}};
    if (bt) j["frames"] = frames_json(*bt);
    json_ << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
  }
  flush();
}

void Trace::flush() {
  if (json_.is_open()) json_.flush();
}

}  // namespace tavik
