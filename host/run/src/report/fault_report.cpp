// FaultReport: first line, disassembly of the faulting instruction, registers, stack words.
#include "report/fault_report.hpp"

#include <tavik/abi.h>
#include <tavik/elf/printable.hpp>

#include "report/backtrace.hpp"
#include "cpu/guest_code.hpp"
#include "cpu/image.hpp"
#include "cpu/machine.hpp"
#include "base/strf.hpp"

namespace tavik {
namespace {

std::string disassemble(const Machine& mem, uint32_t eip) {
  GuestCode code(mem, eip, 16, 1);
  if (code.bytes_read() == 0) return "unreadable";
  if (code.size() == 0) {
    std::string text = "(bad)";
    for (uint32_t i = 0; i < std::min<uint32_t>(code.bytes_read(), 4); ++i) text += strf(" %02x", code.bytes()[i]);
    return text;
  }
  std::string bytes;
  for (uint16_t i = 0; i < code[0].size; ++i) bytes += strf("%02x ", code[0].bytes[i]);
  return strf("%s%s %s", bytes.c_str(), code[0].mnemonic, code[0].op_str);
}

// How far below the stack an access still reads as an overflow of it: a large frame's first touch.
constexpr uint32_t kOverflowReach = 64 * 1024;

}  // namespace

std::string FaultReport::headline(const std::string& process, const std::string& what, uint32_t eip,
                                  const Image& image) {
  return strf("tavik: %s: %s, eip 0x%08x (%s)", elf::printable(process).c_str(), what.c_str(), eip,
              elf::printable(image.symbolise(eip)).c_str());
}

std::string FaultReport::render(const std::string& process, const FaultInfo& fault, const Image& image,
                                const Machine& mem, const Backtrace& bt, uint32_t stack_base) {
  // The process name (a guest's argv[0]) and the symbols are escaped: none can forge a line or reach the terminal
  // as a control sequence.
  std::string out = "tavik: " + elf::printable(process) + ": " + fault_words(fault.kind) + ": ";
  if (fault.kind == FaultKind::PageFault) out += strf("%s at 0x%08x, ", fault.access.c_str(), fault.addr);
  out += strf("eip 0x%08x (%s)\n", fault.eip, elf::printable(image.symbolise(fault.eip)).c_str());
  if (fault.kind == FaultKind::PageFault && fault.addr < stack_base && stack_base - fault.addr <= kOverflowReach)
    out += strf("  stack overflow? the access is %u bytes below the stack (%u KiB from 0x%08x)\n",
                stack_base - fault.addr, (TAVIK_STACK_TOP - stack_base) >> 10, stack_base);
  if (!bt.frames.empty() && !bt.where(0).empty()) out += "  source: " + bt.where(0) + "\n";
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
  return out + bt.render();
}

std::string FaultReport::render_stop(const std::string& process, Limit limit, uint32_t eip, const Image& image,
                                     const Backtrace& bt) {
  const char* what = limit == Limit::Timeout     ? "stopped by the time limit"
                     : limit == Limit::InsnLimit ? "stopped by the instruction limit"
                                                 : "stopped by a termination signal";
  std::string out = headline(process, what, eip, image);
  if (!bt.frames.empty() && !bt.where(0).empty()) out += " at " + bt.where(0);
  return out + "\n" + bt.render();
}

std::string FaultReport::render_abort(const std::string& process, uint32_t eip, const Image& image,
                                      const Backtrace& bt) {
  return headline(process, "abort called", eip, image) + "\n" + bt.render();
}

std::string FaultReport::render_assert(const std::string& process, const std::string& expression,
                                       const std::string& file, int line, const std::string& function,
                                       const Backtrace& bt) {
  return strf("tavik: %s: assertion failed: %s (%s:%d, in %s)\n", elf::printable(process).c_str(),
              elf::printable(expression).c_str(), elf::printable(file).c_str(), line,
              elf::printable(function).c_str()) +
         bt.render();
}

}  // namespace tavik
