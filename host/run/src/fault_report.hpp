// FaultReport: the kernel-style report of a faulting process.
#pragma once

#include <string>

#include "tavik/run.hpp"

namespace tavik {

class Image;
class Machine;

class FaultReport {
 public:
  // The first line is stable and parsed by tools:
  //   tavik: NAME: page fault: write at 0x00000000, eip 0x0040104a (main+0x1a)
  // then the faulting instruction, the registers and the top of the stack.
  static std::string render(const std::string& process, const FaultInfo& fault, const Image& image,
                            const Machine& m);
};

}  // namespace tavik
