// FaultReport: first line, disassembly of the faulting instruction, registers, stack words.
#include "fault_report.hpp"

#include <capstone/capstone.h>

#include "image.hpp"
#include "machine.hpp"
#include "strf.hpp"

namespace tavik {
namespace {

std::string disassemble(const Machine& mem, uint32_t eip) {
  uint8_t code[16];
  uint32_t len = mem.span(eip, sizeof code, UC_PROT_NONE);
  if (len == 0 || !mem.peek(eip, code, len)) return "unreadable";
  csh handle;
  if (cs_open(CS_ARCH_X86, CS_MODE_32, &handle) != CS_ERR_OK) return "unreadable (no disassembler)";
  cs_insn* insn = nullptr;
  size_t count = cs_disasm(handle, code, len, eip, 1, &insn);
  std::string text;
  if (count == 0) {
    text = "(bad)";
    for (uint32_t i = 0; i < std::min<uint32_t>(len, 4); ++i) text += strf(" %02x", code[i]);
  } else {
    std::string bytes;
    for (uint16_t i = 0; i < insn[0].size; ++i) bytes += strf("%02x ", insn[0].bytes[i]);
    text = strf("%s%s %s", bytes.c_str(), insn[0].mnemonic, insn[0].op_str);
    cs_free(insn, count);
  }
  cs_close(&handle);
  return text;
}

}  // namespace

std::string FaultReport::render(const std::string& process, const FaultInfo& fault, const Image& image,
                                const Machine& mem) {
  std::string out = "tavik: " + process + ": " + fault_words(fault.kind) + ": ";
  if (fault.kind == FaultKind::PageFault) out += strf("%s at 0x%08x, ", fault.access.c_str(), fault.addr);
  out += strf("eip 0x%08x (%s)\n", fault.eip, image.symbolise(fault.eip).c_str());
  out += "  code:   " + disassemble(mem, fault.eip) + "\n";
  static const std::pair<const char*, int> regs[] = {
      {"eax", UC_X86_REG_EAX}, {"ebx", UC_X86_REG_EBX}, {"ecx", UC_X86_REG_ECX}, {"edx", UC_X86_REG_EDX},
      {"esi", UC_X86_REG_ESI}, {"edi", UC_X86_REG_EDI}, {"esp", UC_X86_REG_ESP}, {"ebp", UC_X86_REG_EBP},
      {"eip", UC_X86_REG_EIP}, {"eflags", UC_X86_REG_EFLAGS}};
  int i = 0;
  for (const auto& [name, id] : regs) {
    uint32_t v = name == std::string("eip") ? fault.eip : mem.reg(id);
    out += strf("  %-6s %08x", name, v);
    if (++i % 4 == 0) out += "\n";
  }
  if (i % 4 != 0) out += "\n";
  uint32_t esp = mem.reg(UC_X86_REG_ESP);
  out += "  stack:";
  for (uint32_t k = 0; k < 8; ++k) {
    uint32_t word;
    if (mem.read_bytes(esp + 4 * k, &word, 4) != 0) {
      if (k == 0) out += " unreadable";
      break;
    }
    out += strf(" %08x", word);
  }
  out += "\n";
  return out;
}

}  // namespace tavik
