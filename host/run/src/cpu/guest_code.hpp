// GuestCode: instructions decoded from guest memory (the one place that drives the disassembler).
#pragma once
#include <capstone/capstone.h>

#include <cstddef>
#include <cstdint>

namespace tavik {

class Machine;

class GuestCode {
 public:
  // Decodes up to `count` instructions (0: all) from at most `max_bytes` readable bytes at `at`.
  GuestCode(const Machine& m, uint32_t at, uint32_t max_bytes, size_t count);
  ~GuestCode();
  GuestCode(const GuestCode&) = delete;
  GuestCode& operator=(const GuestCode&) = delete;

  size_t size() const { return count_; }
  const cs_insn& operator[](size_t i) const { return insn_[i]; }
  bool in_group(size_t i, cs_group_type group) const;
  uint32_t bytes_read() const { return len_; }
  const uint8_t* bytes() const { return code_; }

 private:
  uint8_t code_[4096];
  uint32_t len_ = 0;
  csh cs_ = 0;
  bool open_ = false;
  cs_insn* insn_ = nullptr;
  size_t count_ = 0;
};

}  // namespace tavik
