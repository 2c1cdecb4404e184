// GdbStub's register file: gdb's i386 register order over the emulator's registers, the x87 stack relative to
// its top, and the target description gdb reads.
#include <cstring>

#include "cpu/address_space.hpp"
#include "gdb/gdb_connection.hpp"
#include "gdb/gdb_stub.hpp"

namespace tavik {
namespace {

// gdb's i386 register order: the 16 core registers, then the x87 stack and its control registers.
const int kCore[] = {UC_X86_REG_EAX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_EBX, UC_X86_REG_ESP, UC_X86_REG_EBP,
                     UC_X86_REG_ESI, UC_X86_REG_EDI, UC_X86_REG_EIP, UC_X86_REG_EFLAGS, UC_X86_REG_CS, UC_X86_REG_SS,
                     UC_X86_REG_DS,  UC_X86_REG_ES,  UC_X86_REG_FS,  UC_X86_REG_GS};

}  // namespace

std::string GdbStub::read_registers() {
  std::string s;
  for (int id : kCore) {
    uint32_t v = mem_.reg(id);
    s += hex_bytes(reinterpret_cast<uint8_t*>(&v), 4);
  }
  uint32_t fsw = mem_.reg(UC_X86_REG_FPSW);
  unsigned top = (fsw >> 11) & 7;
  for (int i = 0; i < 8; ++i) {
    // The emulator names physical x87 registers; gdb's st(i) is relative to the stack top. One it cannot read
    // shows as unavailable.
    uint8_t b[10];
    s += mem_.read_x87(static_cast<int>((top + i) & 7), b) ? hex_bytes(b, 10) : std::string(20, 'x');
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
    return write_core(kCore[n], v);
  }
  if (n < 24) {
    if (b.size() != 10) return false;
    unsigned top = (mem_.reg(UC_X86_REG_FPSW) >> 11) & 7;
    return mem_.write_x87(static_cast<int>((top + n - 16) & 7), b.data());
  }
  if (b.size() != 4) return false;
  uint32_t v;
  std::memcpy(&v, b.data(), 4);
  int id = n == 24 ? UC_X86_REG_FPCW : n == 25 ? UC_X86_REG_FPSW : n == 26 ? UC_X86_REG_FPTAG : 0;
  return id == 0 || mem_.try_set_reg(id, v);
}

// As a kernel's debugging interface allows: segment registers hold only the user selectors and eflags changes
// only in the bits a program may change itself; a value the emulator refuses is an error to gdb, not the end of
// the run.
bool GdbStub::write_core(int id, uint32_t v) {
  constexpr uint32_t kUserFlags = 0x50DD5;  // CF PF AF ZF SF TF DF OF RF AC
  if (id == UC_X86_REG_CS && v != kUserCode) return false;
  if (id == UC_X86_REG_SS && v != kUserData) return false;
  bool data_segment = id == UC_X86_REG_DS || id == UC_X86_REG_ES || id == UC_X86_REG_FS || id == UC_X86_REG_GS;
  if (data_segment && v != 0 && v != kUserData) return false;
  if (id == UC_X86_REG_EFLAGS) v = (v & kUserFlags) | (mem_.reg(UC_X86_REG_EFLAGS) & ~kUserFlags);
  return mem_.try_set_reg(id, v);
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
