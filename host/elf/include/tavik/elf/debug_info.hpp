// DebugInfo: one session over an image's DWARF (libdw and libdwfl over the file's own bytes), opened once per
// image and shared by everything that maps addresses to source: line tables, source lines, inlined calls, and
// the call-frame unwinder. The unwinder reads the stopped program's registers and memory through the caller.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

typedef struct Dwarf Dwarf;

namespace tavik::elf {

// An inlined call around an address: the inlined function and the line of the call in the frame around it.
struct InlinedCall {
  std::string function;  // "?" when the debug information does not name it
  int call_line = 0;     // 0 when not given
};

// A pc the unwinder found; `call`: a return address (its line is the one before it).
struct UnwoundPc {
  uint32_t pc;
  bool call;
};

class DebugInfo {
 public:
  // bytes: the whole image. An image whose DWARF cannot be read gives a DebugInfo that finds nothing.
  DebugInfo(std::vector<uint8_t> bytes, const std::string& label);
  ~DebugInfo();
  DebugInfo(const DebugInfo&) = delete;
  DebugInfo& operator=(const DebugInfo&) = delete;

  // libdw's view of the image, for reading line programs and functions; nullptr without one.
  Dwarf* dwarf() const;
  // Whether the line program of the compile unit whose entry lies at cu_offset of .debug_info may be read
  // (libdw keeps every row and joins every file name to its folder): judged once per program from its own bytes,
  // each charged to the session's budget of kMostLineBytes of programs (at most one row per byte) and
  // kMostPathBytes of joined names. A program that does not fit or cannot be walked is left out, and
  // lines_left_out() says so; read a unit's lines or declaration files only after asking.
  bool lines_affordable(uint64_t cu_offset) const;
  bool lines_left_out() const;
  static constexpr uint64_t kMostLineBytes = 1u << 20;
  static constexpr uint64_t kMostPathBytes = 8u << 20;
  // The source file and line holding addr (and its column, when asked and known; else 0).
  bool line_at(uint32_t addr, std::string& file, int& line, int* column = nullptr) const;
  // The inlined calls whose code holds addr, innermost first. A compile unit whose entries nest deeper than
  // kDeepestScopes gives none (libdw walks scopes recursively): nests_too_deep() then says so.
  std::vector<InlinedCall> inlined_at(uint32_t addr) const;
  bool nests_too_deep() const;
  static constexpr size_t kDeepestScopes = 1024;

  // DWARF's i386 numbering: eax ecx edx ebx esp ebp esi edi, then the return address column (eip).
  using Registers = std::array<uint32_t, 9>;
  using ReadWord = std::function<bool(uint32_t addr, uint32_t& word)>;
  // The pcs of the call frames from the registers on, innermost first, at most `most`, by the image's
  // call-frame information; empty when there is none.
  std::vector<UnwoundPc> unwind(const Registers& regs, const ReadWord& read, size_t most);

  struct Session;  // libdwfl's state; public so that its callbacks can name it

 private:
  std::unique_ptr<Session> s_;
};

}  // namespace tavik::elf
