// FaultReport: the kernel-style report of a faulting process.
#pragma once

#include <string>

#include "tavik/run.hpp"

namespace tavik {

struct Backtrace;
class Image;
class Machine;

class FaultReport {
 public:
  // The first line is stable and parsed by tools:
  //   tavik: NAME: page fault: write at 0x00000000, eip 0x0040104a (main+0x1a)
  // then the source line when the image has one, the faulting instruction, the registers, the top of the
  // stack and the backtrace.
  // stack_base: the lowest address of the stack, for telling a fault just below it (a stack overflow).
  static std::string render(const std::string& process, const FaultInfo& fault, const Image& image,
                            const Machine& m, const Backtrace& bt, uint32_t stack_base);
  // "tavik: NAME: WHAT, eip 0x... (symbol+0x..)": the first line of a stop or a checker's report, names escaped.
  static std::string headline(const std::string& process, const std::string& what, uint32_t eip, const Image& image);
  // The one line of a run stopped by a limit, and the same backtrace.
  static std::string render_stop(const std::string& process, Limit limit, uint32_t eip, const Image& image,
                                 const Backtrace& bt);
  // The line of a program that called the library's abort (which ends it with status 1 and no word of its own),
  // and the backtrace of the call.
  static std::string render_abort(const std::string& process, uint32_t eip, const Image& image, const Backtrace& bt);
  // The line of a failed assert (assert.h): the expression, where it is, and the backtrace of the failure.
  static std::string render_assert(const std::string& process, const std::string& expression, const std::string& file,
                                   int line, const std::string& function, const Backtrace& bt);
};

}  // namespace tavik
