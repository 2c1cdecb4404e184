// GuestCode: reads the guest's bytes through the machine and decodes them with details.
#include "cpu/guest_code.hpp"

#include <algorithm>

#include "cpu/machine.hpp"

namespace tavik {

GuestCode::GuestCode(const Machine& m, uint32_t at, uint32_t max_bytes, size_t count) {
  len_ = m.span(at, std::min<uint32_t>(max_bytes, sizeof code_), UC_PROT_NONE);
  if (len_ == 0 || !m.peek(at, code_, len_)) {
    len_ = 0;
    return;
  }
  if (cs_open(CS_ARCH_X86, CS_MODE_32, &cs_) != CS_ERR_OK) return;
  open_ = true;
  cs_option(cs_, CS_OPT_DETAIL, CS_OPT_ON);
  count_ = cs_disasm(cs_, code_, len_, at, count, &insn_);
}

GuestCode::~GuestCode() {
  if (count_) cs_free(insn_, count_);
  if (open_) cs_close(&cs_);
}

bool GuestCode::in_group(size_t i, cs_group_type group) const { return cs_insn_group(cs_, &insn_[i], group); }

}  // namespace tavik
