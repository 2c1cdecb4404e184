// Backtrace: where a stopped guest is, frame by frame, with source lines when the image has debug information.
// With it, the call frames come from the image's call-frame information (libdwfl's unwinder, reading the
// guest's registers and memory through the machine), inlined calls included; without it, from the frame-pointer
// chain and the symbols.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavik {

class Image;
class Machine;

struct Frame {
  uint32_t pc;
  std::string function;  // "" when no symbol holds the pc
  std::string file;      // as the debug information names it; "" without a line
  int line = 0;
  int column = 0;  // 0 when the debug information does not say
};

struct Backtrace {
  std::vector<Frame> frames;
  bool from_debug_info = false;
  bool cut = false;              // the stack holds more frames than a report shows
  bool inlined_left_out = false;  // the debug information nests too deep to find inlined calls
  bool lines_left_out = false;    // its line programs are larger than a reader is given

  // Takes the backtrace of the machine stopped at eip; at_entry: eip is a function's first instruction, whose
  // caller's return address is still on top of the stack.
  static Backtrace of(const Image& image, const Machine& m, uint32_t eip, bool at_entry = false);

  // The same in two steps, for stacks kept long and seldom shown (where a block was allocated): the pcs alone,
  // at most `most`, then their functions and lines when the report needs them.
  struct Pcs {
    std::vector<uint32_t> pcs;  // the first is where the machine is; the others are return addresses
    bool from_debug_info = false;
    bool cut = false;
  };
  static Pcs capture(const Image& image, const Machine& m, uint32_t eip, bool at_entry, size_t most);
  static Backtrace resolve(const Image& image, const Pcs& pcs);

  // "store.c:88" for frame i (the file's last component), or "" without a line.
  std::string where(size_t i) const;
  // "store.c:88:12", with the column when the debug information gives it.
  std::string where_exactly(size_t i) const;
  // The report's lines: a heading, then "#N 0x004012a3 in kv_load (store.c:88)" a frame.
  std::string render(const char* title = "backtrace") const;
};

}  // namespace tavik
