// GdbStub: the remote debugging protocol over one loopback connection, served while the guest is held in a hook.
#include "gdb/gdb_stub.hpp"

#include "base/errors.hpp"
#include "base/strf.hpp"
#include "cpu/address_space.hpp"
#include "gdb/gdb_connection.hpp"
#include "replay/timeline.hpp"
#include "kernel/termination.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <vector>

namespace tavik {

GdbStub::GdbStub(Machine& mem, int port) : mem_(mem) {
  if (port <= 0 || port > 65535) throw SetupError("--gdb: port out of range");
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw SetupError(std::string("--gdb: socket failed: ") + std::strerror(errno));
  int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 || ::listen(listen_fd_, 1) < 0) {
    ::close(listen_fd_);
    throw SetupError("--gdb: cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno));
  }
}

GdbStub::~GdbStub() {
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

bool GdbStub::attach(uint32_t entry) {
  int fd;
  // SIGINT, SIGTERM and SIGHUP end the wait as they end a run.
  do fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
  while (fd < 0 && errno == EINTR && !termination_requested());
  if (fd < 0 && errno == EINTR) return false;
  if (fd < 0) throw SetupError(std::string("--gdb: accept failed: ") + std::strerror(errno));
  conn_ = std::make_unique<GdbConnection>(fd);
  entry_ = entry;
  stop_at_entry_ = true;
  // Only with a debugger: one code hook serves breakpoints and single steps, one write hook the watchpoints.
  mem_.on_every_instruction(&GdbStub::on_code, this);
  mem_.on_store(&GdbStub::on_write, this);
  return true;
}

std::string GdbStub::stop_reply(int signal) const {
  char b[8];
  std::snprintf(b, sizeof b, "T%02x", signal & 0xff);
  return std::string(b) + "thread:1;";
}

void GdbStub::on_code(uc_engine*, uint64_t addr, uint32_t, void* self) {
  auto* s = static_cast<GdbStub*>(self);
  if (s->detached_ || s->killed_) return;
  if (s->resume_pending_ && addr == s->resume_at_) {
    s->resume_pending_ = false;
    return;
  }
  // The kit's own way into the image is no part of the program's history.
  if (addr == kTrampoline) return;
  uint64_t position = s->pos_++;
  if (s->travel_ != Travel::None) {
    s->travelling(position, static_cast<uint32_t>(addr));
    return;
  }
  if (s->timeline_) s->timeline_->pass(position);
  std::string reply;
  if (s->pending_watch_) {
    char b[40];
    std::snprintf(b, sizeof b, "T05watch:%x;thread:1;", s->watch_addr_);
    reply = b;
    s->pending_watch_ = false;
  } else if (s->stop_at_entry_ && addr == s->entry_) {
    s->stop_at_entry_ = false;
    reply = s->stop_reply(5);
  } else if (s->stepping_) {
    reply = s->stop_reply(5);
  } else if (s->breakpoints_.count(static_cast<uint32_t>(addr))) {
    reply = s->stop_reply(5) + "swbreak:;";
  } else if ((++s->polls_ & 0xfff) == 0 && s->conn_->interrupted()) {  // Ctrl-C, looked for now and then
    reply = s->stop_reply(2);
  } else {
    return;
  }
  s->stepping_ = false;
  s->stop(position, reply);
}

void GdbStub::stop(uint64_t position, const std::string& reply) {
  current_ = position;
  apply(serve(reply));
}

// At a reverse command, the machine is at current_: it is put back at a checkpoint before, and runs forward
// silently from there. False when there is no past to go to: the debugger hears so at once.
bool GdbStub::go_back(Resume how) {
  stepping_ = false;
  pending_watch_ = false;
  if (!timeline_ || current_ <= timeline_->first()) return false;
  if (how == Resume::ReverseStep) {
    seek(current_ - 1, stop_reply(5));
    return true;
  }
  travel_ = Travel::Scan;
  target_ = current_;
  hit_found_ = false;
  scan_from_ = pos_ = timeline_->restore(current_, true);
  return true;
}

void GdbStub::seek(uint64_t position, const std::string& reply) {
  travel_ = Travel::Seek;
  target_ = position;
  travel_reply_ = reply;
  pos_ = timeline_->restore(position);
}

void GdbStub::travelling(uint64_t position, uint32_t addr) {
  // Ctrl-C stops a long way back where it has got to.
  if ((++polls_ & 0xfff) == 0 && conn_->interrupted()) {
    travel_ = Travel::None;
    stop(position, stop_reply(2));
    return;
  }
  if (travel_ == Travel::Seek) {
    if (position < target_) return;
    travel_ = Travel::None;
    stop(position, travel_reply_);
    return;
  }
  if (position < target_) {
    if (breakpoints_.count(addr)) {
      hit_found_ = true;
      hit_ = position;
      hit_reply_ = stop_reply(5) + "swbreak:;";
    }
    return;
  }
  // The stretch from scan_from_ up to target_ is scanned: its last stop, or the stretch before it, or the start
  // of the history.
  if (hit_found_) {
    seek(hit_, hit_reply_);
  } else if (scan_from_ <= timeline_->first()) {
    seek(scan_from_, "T05replaylog:begin;thread:1;");
  } else {
    target_ = scan_from_;
    scan_from_ = pos_ = timeline_->restore(scan_from_, true);
  }
}

bool GdbStub::on_write(uc_engine*, uc_mem_type, uint64_t addr, int size, int64_t, void* self) {
  auto* s = static_cast<GdbStub*>(self);
  if (s->timeline_) s->timeline_->written(static_cast<uint32_t>(addr), static_cast<uint32_t>(size));
  if (s->detached_ || s->travel_ == Travel::Seek) return true;
  for (const auto& [start, len] : s->watches_) {
    if (addr < uint64_t{start} + len && addr + static_cast<uint64_t>(size) > start) {
      if (s->travel_ == Travel::Scan) {
        // Going back, a watchpoint stops before the store that changed it: gdb sees the value it had.
        if (s->pos_ - 1 < s->target_) {
          s->hit_found_ = true;
          s->hit_ = s->pos_ - 1;
          s->hit_reply_ = strf("T05watch:%x;thread:1;", start);
        }
        break;
      }
      // The hook runs before the store; the stop is reported at the next instruction, after it.
      s->pending_watch_ = true;
      s->watch_addr_ = start;
      break;
    }
  }
  return true;
}

void GdbStub::apply(Resume how) {
  if (state_written_ && timeline_) timeline_->forget();
  state_written_ = false;
  while (how == Resume::ReverseStep || how == Resume::ReverseContinue) {
    if (go_back(how)) return;
    how = serve("T05replaylog:begin;thread:1;");
    if (state_written_ && timeline_) timeline_->forget();
    state_written_ = false;
  }
  if (how == Resume::Step) stepping_ = true;
  if (how == Resume::Kill) {
    killed_ = true;
    mem_.stop();
  }
  if (how == Resume::Detach) detached_ = true;
}

GdbStub::Resume GdbStub::serve(const std::string& reply) {
  // A stop is reported when the debugger resumed the guest; the first one waits for its '?'.
  last_reply_ = reply;
  if (resumed_) conn_->send(reply);
  resumed_ = false;
  std::string p;
  for (;;) {
    if (!conn_->receive(p)) return Resume::Kill;  // the debugger went away
    bool resume = false;
    Resume how = Resume::Continue;
    std::string answer = handle(p, resume, how);
    if (resume) {
      resumed_ = true;
      return how;
    }
    conn_->send(answer);
    if (how == Resume::Kill || how == Resume::Detach) return how;
  }
}

std::string GdbStub::handle(const std::string& p, bool& resume, Resume& how) {
  if (p.empty()) return "";
  switch (p[0]) {
    case '?': return last_reply_;
    case 'g': return read_registers();
    case 'G': {
      std::vector<uint8_t> b;
      if (!decode_hex(p.substr(1), b) || b.size() < kNumCore * 4) return "E01";
      state_written_ = true;
      for (int i = 0; i < kNumCore; ++i) write_register(i, p.substr(1 + i * 8, 8));
      return "OK";
    }
    case 'p': {
      uint64_t n;
      if (!parse_hex(p.substr(1), n) || n >= kNumRegs) return "E01";
      std::string all = read_registers();
      size_t off = n < 16 ? n * 8 : n < 24 ? 128 + (n - 16) * 20 : 288 + (n - 24) * 8;
      size_t len = n >= 16 && n < 24 ? 20 : 8;
      return all.substr(off, len);
    }
    case 'P': {
      auto eq = p.find('=');
      uint64_t n;
      if (eq == std::string::npos || !parse_hex(p.substr(1, eq - 1), n) || n >= kNumRegs) return "E01";
      state_written_ = true;
      return write_register(static_cast<int>(n), p.substr(eq + 1)) ? "OK" : "E01";
    }
    case 'm': return read_memory(p.substr(1));
    case 'M':
      state_written_ = true;
      return write_memory(p.substr(1));
    case 'Z': return breakpoint(p.substr(1), true);
    case 'z': return breakpoint(p.substr(1), false);
    case 'c':
      if (p.size() > 1) {
        uint64_t a;
        if (!parse_hex(p.substr(1), a)) return "E01";
        mem_.set_reg(UC_X86_REG_EIP, static_cast<uint32_t>(a));
        state_written_ = true;
      }
      resume = true;
      how = Resume::Continue;
      return "";
    case 's':
      resume = true;
      how = Resume::Step;
      return "";
    case 'b':
      // bs, bc: a step or a continue backwards, when this process can go back.
      if (!timeline_ || (p != "bs" && p != "bc")) return "";
      resume = true;
      how = p == "bs" ? Resume::ReverseStep : Resume::ReverseContinue;
      return "";
    case 'k':
      how = Resume::Kill;
      resume = true;
      return "";
    case 'D':
      how = Resume::Detach;
      return "OK";
    case 'H': return "OK";
    case 'T': return "OK";
    case 'v':
      if (p == "vCont?") return "vCont;c;C;s;S";
      if (p.rfind("vCont;", 0) == 0) {
        // One thread: the first action decides.
        char a = p.size() > 6 ? p[6] : 0;
        if (a == 'c' || a == 'C') { resume = true; how = Resume::Continue; return ""; }
        if (a == 's' || a == 'S') { resume = true; how = Resume::Step; return ""; }
        return "E01";
      }
      if (p.rfind("vKill", 0) == 0) { how = Resume::Kill; return "OK"; }
      return "";
    case 'q':
      if (p.rfind("qSupported", 0) == 0)
        return strf("PacketSize=%zx;qXfer:features:read+;swbreak+%s", GdbConnection::kPacketSize,
                    timeline_ ? ";ReverseStep+;ReverseContinue+" : "");
      if (p == "qAttached") return "1";
      if (p == "qC") return "QC1";
      if (p == "qfThreadInfo") return "m1";
      if (p == "qsThreadInfo") return "l";
      if (p == "qOffsets") return "Text=0;Data=0;Bss=0";
      if (p.rfind("qXfer:features:read:target.xml:", 0) == 0) {
        std::string range = p.substr(31);
        auto comma = range.find(',');
        uint64_t off, len;
        if (comma == std::string::npos || !parse_hex(range.substr(0, comma), off) ||
            !parse_hex(range.substr(comma + 1), len))
          return "E01";
        std::string xml = target_xml();
        if (off >= xml.size()) return "l";
        std::string part = xml.substr(off, std::min<uint64_t>(len, GdbConnection::kPacketSize - 1));
        return (off + part.size() >= xml.size() ? "l" : "m") + part;
      }
      if (p.rfind("qXfer:features:read:", 0) == 0) return "E00";
      return "";
    default: return "";
  }
}


std::string GdbStub::read_memory(const std::string& args) {
  auto comma = args.find(',');
  uint64_t addr, len;
  if (comma == std::string::npos || !parse_hex(args.substr(0, comma), addr) ||
      !parse_hex(args.substr(comma + 1), len))
    return "E01";
  if (addr + len > 0x100000000ull) return "E14";
  // An answer fits the packet size gdb was told: a longer read answers its first part, as the protocol allows.
  len = std::min<uint64_t>(len, GdbConnection::kPacketSize / 2);
  std::vector<uint8_t> buf(len);
  // The debugger reads what is mapped, code included; breakpoints leave memory untouched.
  if (len && (mem_.span(static_cast<uint32_t>(addr), static_cast<uint32_t>(len), UC_PROT_NONE) != len ||
              !mem_.peek(static_cast<uint32_t>(addr), buf.data(), static_cast<uint32_t>(len))))
    return "E14";
  return hex_bytes(buf.data(), buf.size());
}

std::string GdbStub::write_memory(const std::string& args) {
  auto comma = args.find(','), colon = args.find(':');
  uint64_t addr, len;
  std::vector<uint8_t> data;
  if (comma == std::string::npos || colon == std::string::npos || colon < comma ||
      !parse_hex(args.substr(0, comma), addr) || !parse_hex(args.substr(comma + 1, colon - comma - 1), len) ||
      !decode_hex(args.substr(colon + 1), data) || data.size() != len)
    return "E01";
  if (addr + len > 0x100000000ull) return "E14";
  if (len == 0) return "OK";
  if (mem_.span(static_cast<uint32_t>(addr), static_cast<uint32_t>(len), UC_PROT_NONE) != len) return "E14";
  // A debugger may patch code too: write whatever the page permissions.
  mem_.poke(static_cast<uint32_t>(addr), data.data(), data.size());
  return "OK";
}

std::string GdbStub::breakpoint(const std::string& args, bool insert) {
  auto c1 = args.find(',');
  if (c1 == std::string::npos) return "E01";
  auto c2 = args.find(',', c1 + 1);
  uint64_t type, addr, kind;
  if (c2 == std::string::npos || !parse_hex(args.substr(0, c1), type) ||
      !parse_hex(args.substr(c1 + 1, c2 - c1 - 1), addr) || !parse_hex(args.substr(c2 + 1, args.find(';', c2) - c2 - 1), kind) ||
      addr > 0xffffffffull)
    return "E01";
  uint32_t a = static_cast<uint32_t>(addr);
  if (type == 0) {
    if (insert) breakpoints_.insert(a);
    else breakpoints_.erase(a);
    return "OK";
  }
  if (type == 2) {
    if (kind == 0 || kind > 4096) return "E01";
    if (insert) watches_[a] = static_cast<uint32_t>(kind);
    else watches_.erase(a);
    return "OK";
  }
  return "";
}

bool GdbStub::stop_at_unfetchable(uint32_t addr) {
  if (!conn_ || detached_ || killed_ || !breakpoints_.count(addr)) return false;
  stepping_ = false;
  apply(serve(stop_reply(5) + "swbreak:;"));
  // The guest goes on from the eip the debugger left: that instruction has not run, and no stop is due before it.
  resume_pending_ = true;
  resume_at_ = mem_.reg(UC_X86_REG_EIP);
  return !killed_ && !detached_;
}

void GdbStub::stop_here(int signal) {
  if (!conn_ || detached_ || killed_) return;
  stepping_ = false;
  apply(serve(stop_reply(signal)));
}

bool GdbStub::report_fault(int signal, bool executed) {
  if (!conn_ || detached_ || killed_) return false;
  // The faulting instruction had its position when it began; a fetch that failed never had one.
  current_ = executed && pos_ ? pos_ - 1 : pos_;
  // The guest cannot go on after a fault: serve until the debugger kills, detaches, resumes into the end, or
  // goes back in time.
  std::string reply = stop_reply(signal);
  for (;;) {
    Resume how = serve(reply);
    if (state_written_ && timeline_) timeline_->forget();
    state_written_ = false;
    reply = stop_reply(signal);
    if (how == Resume::ReverseStep || how == Resume::ReverseContinue) {
      if (go_back(how)) return true;
      reply = "T05replaylog:begin;thread:1;";
      continue;
    }
    if (how == Resume::Step) continue;
    apply(how);
    return false;
  }
}

void GdbStub::report_exit(int status) {
  if (!conn_ || detached_ || killed_) return;
  char b[8];
  std::snprintf(b, sizeof b, "W%02x", status & 0xff);
  if (resumed_) conn_->send(b);
  // A debugger that asks after the end hears of it too.
  last_reply_ = b;
  std::string p;
  while (!resumed_ && conn_->receive(p)) {
    bool resume = false;
    Resume how = Resume::Continue;
    if (!p.empty() && (p[0] == '?' || p[0] == 'k' || p[0] == 'D')) {
      if (p[0] == '?') conn_->send(b);
      if (p[0] == 'D') conn_->send("OK");
      if (p[0] != '?') return;
      continue;
    }
    std::string answer = handle(p, resume, how);
    conn_->send(resume ? std::string(b) : answer);
  }
}


}  // namespace tavik
