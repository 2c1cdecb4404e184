// UndefinedBehaviour: the reports of code built with -fsanitize=undefined. The compiler's checks call the SDK's
// runtime (__ubsan_handle_*), whose functions do nothing; the kit stops at each one's first instruction, reads the
// source location, types and operands the compiler passed, and writes the report in the sanitizer's words
//   tavik: NAME: ub.c:9:12: runtime error: signed integer overflow: 2147483647 + 1 cannot be represented in type 'int'
// with the backtrace, once per source location. The program goes on, as with the sanitizer's default; the
// _abort forms (-fno-sanitize-recover) and the two that cannot go on end the process with status 1.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include <unicorn/unicorn.h>

#include "process/checker_context.hpp"

namespace tavik {


class UndefinedBehaviour {
 public:
  explicit UndefinedBehaviour(CheckerContext ctx);
  // Hooks every handler the image links; nothing when it links none.
  void install();

  // Distinct locations reported in full; more are counted.
  static constexpr size_t kMostSites = 1000;

 private:
  static void on_handler(uc_engine* uc, uint64_t addr, uint32_t size, void* self);
  // The report's message for the handler at addr, from its arguments; "" for an address that is no handler.
  std::string message(const std::string& handler, uint32_t data, uint32_t a, uint32_t b) const;
  // An operand of the type described at type: as the sanitizer prints it (decimal, or hex past 64 bits).
  std::string value(uint32_t type, uint32_t handle) const;
  std::string type_name(uint32_t type) const;

  CheckerContext ctx_;
  std::set<uint32_t> sites_;  // the compiler's static data of each reported check
};

}  // namespace tavik
