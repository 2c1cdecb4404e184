// GdbStub: the remote debugging protocol over one loopback connection, served while the guest is held in a hook.
#include "gdb_stub.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace tavik {

namespace {

const char kHex[] = "0123456789abcdef";

std::string hex_bytes(const uint8_t* p, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += kHex[p[i] >> 4];
    s += kHex[p[i] & 15];
  }
  return s;
}

bool parse_hex(const std::string& s, uint64_t& out) {
  if (s.empty() || s.size() > 16) return false;
  out = 0;
  for (char c : s) {
    int d = GdbStub::hex_digit(c);
    if (d < 0) return false;
    out = out << 4 | d;
  }
  return true;
}

bool decode_hex(const std::string& s, std::vector<uint8_t>& out) {
  if (s.size() % 2) return false;
  out.clear();
  for (size_t i = 0; i < s.size(); i += 2) {
    int hi = GdbStub::hex_digit(s[i]), lo = GdbStub::hex_digit(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return true;
}

// gdb's i386 register order: the 16 core registers, then the x87 stack and its control registers.
const int kCore[] = {UC_X86_REG_EAX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_EBX, UC_X86_REG_ESP, UC_X86_REG_EBP,
                     UC_X86_REG_ESI, UC_X86_REG_EDI, UC_X86_REG_EIP, UC_X86_REG_EFLAGS, UC_X86_REG_CS, UC_X86_REG_SS,
                     UC_X86_REG_DS,  UC_X86_REG_ES,  UC_X86_REG_FS,  UC_X86_REG_GS};
constexpr int kNumCore = 16;
constexpr int kNumRegs = 16 + 8 + 8;

// The emulator's layout of an x87 register: the 64-bit significand, then sign and exponent.
struct Float80 {
  uint64_t mantissa;
  uint16_t exponent;
};

}  // namespace

int GdbStub::hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

GdbConnection::~GdbConnection() { ::close(fd_); }

int GdbConnection::get() {
  unsigned char c;
  ssize_t n;
  do n = ::recv(fd_, &c, 1, 0);
  while (n < 0 && errno == EINTR);
  return n == 1 ? c : -1;
}

bool GdbConnection::receive(std::string& payload) {
  for (;;) {
    int c = get();
    if (c < 0) return false;
    if (c != '$') continue;  // acknowledgements, interrupts and garbage between packets
    payload.clear();
    bool overlong = false;
    unsigned sum = 0;
    for (;;) {
      c = get();
      if (c < 0) return false;
      if (c == '#') break;
      if (c == '$') {  // a new packet starts inside the old one: the old one is lost
        payload.clear();
        overlong = false;
        sum = 0;
        continue;
      }
      sum += static_cast<unsigned>(c);
      if (payload.size() < kMaxPacket) payload += static_cast<char>(c);
      else overlong = true;
    }
    int h = get(), l = get();
    if (h < 0 || l < 0) return false;
    int hi = GdbStub::hex_digit(static_cast<char>(h)), lo = GdbStub::hex_digit(static_cast<char>(l));
    if (hi < 0 || lo < 0 || static_cast<unsigned>(hi << 4 | lo) != (sum & 0xff) || overlong) {
      ::send(fd_, "-", 1, MSG_NOSIGNAL);
      continue;
    }
    ::send(fd_, "+", 1, MSG_NOSIGNAL);
    return true;
  }
}

void GdbConnection::send(const std::string& payload) {
  unsigned sum = 0;
  std::string out = "$";
  for (char c : payload) {
    // Bytes with a meaning in the framing are escaped.
    if (c == '$' || c == '#' || c == '}' || c == '*') {
      out += '}';
      sum += '}';
      c = static_cast<char>(c ^ 0x20);
    }
    out += c;
    sum += static_cast<unsigned char>(c);
  }
  char tail[4];
  std::snprintf(tail, sizeof tail, "#%02x", sum & 0xff);
  out += tail;
  ::send(fd_, out.data(), out.size(), MSG_NOSIGNAL);
}

bool GdbConnection::interrupted() {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  unsigned char c;
  if (::recv(fd_, &c, 1, MSG_PEEK) != 1) return false;
  if (c != 0x03) return false;
  ::recv(fd_, &c, 1, 0);
  return true;
}

GdbStub::GdbStub(GuestMemory& mem, int port) : mem_(mem) {
  if (port <= 0 || port > 65535) throw std::runtime_error("--gdb: port out of range");
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::runtime_error("--gdb: socket failed");
  int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 || ::listen(listen_fd_, 1) < 0) {
    ::close(listen_fd_);
    throw std::runtime_error("--gdb: cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                             std::strerror(errno));
  }
}

GdbStub::~GdbStub() {
  delete conn_;
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

void GdbStub::attach(uint32_t entry, bool wait) {
  int fd;
  do fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) throw std::runtime_error("--gdb: accept failed");
  conn_ = new GdbConnection(fd);
  entry_ = entry;
  stop_at_entry_ = wait;
  uc_engine* uc = mem_.uc();
  uc_hook h;
  // Only with a debugger: one code hook serves breakpoints and single steps, one write hook the watchpoints.
  if (uc_hook_add(uc, &h, UC_HOOK_CODE, reinterpret_cast<void*>(&GdbStub::on_code), this, 1, 0) != UC_ERR_OK ||
      uc_hook_add(uc, &h, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(&GdbStub::on_write), this, 1, 0) != UC_ERR_OK)
    throw std::runtime_error("--gdb: cannot install hooks");
}

std::string GdbStub::stop_reply(int signal) const {
  char b[8];
  std::snprintf(b, sizeof b, "T%02x", signal & 0xff);
  return std::string(b) + "thread:1;";
}

void GdbStub::on_code(uc_engine*, uint64_t addr, uint32_t, void* self) {
  auto* s = static_cast<GdbStub*>(self);
  if (s->detached_ || s->killed_) return;
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
  s->apply(s->serve(reply));
}

bool GdbStub::on_write(uc_engine*, uc_mem_type, uint64_t addr, int size, int64_t, void* self) {
  auto* s = static_cast<GdbStub*>(self);
  if (s->detached_) return true;
  for (const auto& [start, w] : s->watches_) {
    if (addr < uint64_t{start} + w.len && addr + static_cast<uint64_t>(size) > start) {
      // The hook runs before the store; the stop is reported at the next instruction, after it.
      s->pending_watch_ = true;
      s->watch_addr_ = start;
      break;
    }
  }
  return true;
}

void GdbStub::apply(Resume how) {
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
      return write_register(static_cast<int>(n), p.substr(eq + 1)) ? "OK" : "E01";
    }
    case 'm': return read_memory(p.substr(1));
    case 'M': return write_memory(p.substr(1));
    case 'Z': return breakpoint(p.substr(1), true);
    case 'z': return breakpoint(p.substr(1), false);
    case 'c':
      if (p.size() > 1) {
        uint64_t a;
        if (!parse_hex(p.substr(1), a)) return "E01";
        mem_.set_reg(UC_X86_REG_EIP, static_cast<uint32_t>(a));
      }
      resume = true;
      how = Resume::Continue;
      return "";
    case 's':
      resume = true;
      how = Resume::Step;
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
      if (p.rfind("qSupported", 0) == 0) return "PacketSize=3fff;qXfer:features:read+;swbreak+";
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
        std::string part = xml.substr(off, std::min<uint64_t>(len, GdbConnection::kMaxPacket / 2));
        return (off + part.size() >= xml.size() ? "l" : "m") + part;
      }
      if (p.rfind("qXfer:features:read:", 0) == 0) return "E00";
      return "";
    default: return "";
  }
}

std::string GdbStub::read_registers() {
  std::string s;
  for (int id : kCore) {
    uint32_t v = mem_.reg(id);
    s += hex_bytes(reinterpret_cast<uint8_t*>(&v), 4);
  }
  uc_engine* uc = mem_.uc();
  uint32_t fsw = mem_.reg(UC_X86_REG_FPSW);
  unsigned top = (fsw >> 11) & 7;
  for (int i = 0; i < 8; ++i) {
    // The emulator names physical x87 registers; gdb's st(i) is relative to the stack top.
    Float80 f{};
    uc_reg_read(uc, UC_X86_REG_FP0 + static_cast<int>((top + i) & 7), &f);
    uint8_t b[10];
    std::memcpy(b, &f.mantissa, 8);
    std::memcpy(b + 8, &f.exponent, 2);
    s += hex_bytes(b, 10);
  }
  uint32_t ctrl[8] = {mem_.reg(UC_X86_REG_FPCW) & 0xffff, fsw & 0xffff, mem_.reg(UC_X86_REG_FPTAG) & 0xffff, 0, 0,
                      0, 0, 0};
  for (uint32_t v : ctrl) s += hex_bytes(reinterpret_cast<uint8_t*>(&v), 4);
  return s;
}

bool GdbStub::write_register(int n, const std::string& hex) {
  std::vector<uint8_t> b;
  if (!decode_hex(hex, b)) return false;
  if (n < kNumCore) {
    if (b.size() != 4) return false;
    uint32_t v;
    std::memcpy(&v, b.data(), 4);
    mem_.set_reg(kCore[n], v);
    return true;
  }
  if (n < 24) {
    if (b.size() != 10) return false;
    unsigned top = (mem_.reg(UC_X86_REG_FPSW) >> 11) & 7;
    Float80 f{};
    std::memcpy(&f.mantissa, b.data(), 8);
    std::memcpy(&f.exponent, b.data() + 8, 2);
    return uc_reg_write(mem_.uc(), UC_X86_REG_FP0 + static_cast<int>((top + n - 16) & 7), &f) == UC_ERR_OK;
  }
  if (b.size() != 4) return false;
  uint32_t v;
  std::memcpy(&v, b.data(), 4);
  if (n == 24) mem_.set_reg(UC_X86_REG_FPCW, v);
  else if (n == 25) mem_.set_reg(UC_X86_REG_FPSW, v);
  else if (n == 26) mem_.set_reg(UC_X86_REG_FPTAG, v);
  return true;
}

std::string GdbStub::read_memory(const std::string& args) {
  auto comma = args.find(',');
  uint64_t addr, len;
  if (comma == std::string::npos || !parse_hex(args.substr(0, comma), addr) ||
      !parse_hex(args.substr(comma + 1), len))
    return "E01";
  if (len > GdbConnection::kMaxPacket / 2 || addr + len > 0x100000000ull) return "E14";
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
    if (insert) breakpoints_[a] = 0;
    else breakpoints_.erase(a);
    return "OK";
  }
  if (type == 2) {
    if (kind == 0 || kind > 4096) return "E01";
    if (insert) watches_[a] = Watch{static_cast<uint32_t>(kind), 0};
    else watches_.erase(a);
    return "OK";
  }
  return "";
}

void GdbStub::report_fault(int signal) {
  if (!conn_ || detached_ || killed_) return;
  // The guest cannot go on after a fault: serve until the debugger kills, detaches or resumes into the end.
  for (;;) {
    Resume how = serve(stop_reply(signal));
    if (how != Resume::Step) return;
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

std::string GdbStub::target_xml() {
  std::string x =
      "<?xml version=\"1.0\"?><!DOCTYPE target SYSTEM \"gdb-target.dtd\"><target><architecture>i386</architecture>"
      "<feature name=\"org.gnu.gdb.i386.core\">"
      "<flags id=\"i386_eflags\" size=\"4\"><field name=\"CF\" start=\"0\" end=\"0\"/>"
      "<field name=\"PF\" start=\"2\" end=\"2\"/><field name=\"AF\" start=\"4\" end=\"4\"/>"
      "<field name=\"ZF\" start=\"6\" end=\"6\"/><field name=\"SF\" start=\"7\" end=\"7\"/>"
      "<field name=\"TF\" start=\"8\" end=\"8\"/><field name=\"IF\" start=\"9\" end=\"9\"/>"
      "<field name=\"DF\" start=\"10\" end=\"10\"/><field name=\"OF\" start=\"11\" end=\"11\"/></flags>";
  const char* core[] = {"eax", "ecx", "edx", "ebx", "esp", "ebp", "esi", "edi"};
  for (int i = 0; i < 8; ++i) {
    x += std::string("<reg name=\"") + core[i] + "\" bitsize=\"32\" type=\"" + (i == 4 || i == 5 ? "data_ptr" : "int32") +
         "\"/>";
  }
  x += "<reg name=\"eip\" bitsize=\"32\" type=\"code_ptr\"/><reg name=\"eflags\" bitsize=\"32\" type=\"i386_eflags\"/>";
  for (const char* s : {"cs", "ss", "ds", "es", "fs", "gs"}) x += std::string("<reg name=\"") + s + "\" bitsize=\"32\" type=\"int32\"/>";
  for (int i = 0; i < 8; ++i) x += "<reg name=\"st" + std::to_string(i) + "\" bitsize=\"80\" type=\"i387_ext\"/>";
  for (const char* s : {"fctrl", "fstat", "ftag", "fiseg", "fioff", "foseg", "fooff", "fop"})
    x += std::string("<reg name=\"") + s + "\" bitsize=\"32\" type=\"int\" group=\"float\"/>";
  x += "</feature></target>";
  return x;
}

}  // namespace tavik
