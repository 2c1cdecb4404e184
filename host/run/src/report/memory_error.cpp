// MemoryError: the text of a --memcheck report and of its summary, and of an address sanitizer's report.
#include "report/memory_error.hpp"

#include <algorithm>

#include <tavik/elf/printable.hpp>

#include "base/strf.hpp"
#include "report/fault_report.hpp"

namespace tavik {
namespace {

std::string plural(uint64_t n, const char* one, const char* many) {
  return strf("%llu %s", static_cast<unsigned long long>(n), n == 1 ? one : many);
}

}  // namespace

std::string render_memory_error(const std::string& process, const MemoryError& e, const Image& image) {
  std::string what = e.size ? strf("%s of %s at 0x%08x", e.what.c_str(), plural(e.size, "byte", "bytes").c_str(), e.addr)
                            : strf("%s of 0x%08x", e.what.c_str(), e.addr);
  std::string out = FaultReport::headline(process, what, e.eip, image) + "\n";
  out += strf("  address 0x%08x is %s\n", e.addr, e.where.c_str());
  if (!e.at.frames.empty() && !e.at.where(0).empty()) out += "  source: " + e.at.where(0) + "\n";
  out += e.at.render();
  if (e.freed) out += e.freed->render("freed");
  if (e.allocated) out += e.allocated->render("allocated");
  return out;
}

std::string render_address_error(const std::string& process, const MemoryError& e, const Image& image) {
  std::string what = e.headline.empty() ? strf("%s on address 0x%08x", e.what.c_str(), e.addr) : e.headline;
  std::string out = FaultReport::headline(process, "AddressSanitizer: " + what, e.eip, image) + "\n";
  if (!e.access.empty()) out += strf("  %s of size %u at 0x%08x\n", e.access.c_str(), e.size, e.addr);
  out += e.at.render();
  // Where the address lies: each line indented as the report's.
  for (size_t at = 0; at < e.where.size();) {
    size_t end = std::min(e.where.find('\n', at), e.where.size());
    out += "  " + e.where.substr(at, end - at) + "\n";
    at = end + 1;
  }
  if (e.freed) out += e.freed->render("freed");
  if (e.allocated) out += e.allocated->render(e.freed ? "previously allocated" : "allocated");
  out += "  SUMMARY: AddressSanitizer: " + e.what;
  if (!e.at.frames.empty()) {
    if (!e.at.where(0).empty()) out += " " + e.at.where_exactly(0);
    if (!e.at.frames[0].function.empty()) out += " in " + elf::printable(e.at.frames[0].function);
  }
  return out + "\n";
}

std::string render_memcheck_summary(const std::string& process, const MemcheckSummary& s) {
  std::string out = strf("tavik: %s: memcheck: %s", elf::printable(process).c_str(),
                         plural(s.errors, "error", "errors").c_str());
  if (s.errors) out += strf(" at %s", plural(s.sites, "site", "sites").c_str());
  if (!s.heap_checked) return out + "; the image has no library heap: only the stack was checked\n";
  out += strf("; heap: %s (%llu bytes), %s (%llu bytes); in use at exit: %s (%llu bytes)\n",
              plural(s.allocs, "allocation", "allocations").c_str(), static_cast<unsigned long long>(s.bytes),
              plural(s.frees, "free", "frees").c_str(), static_cast<unsigned long long>(s.freed_bytes),
              plural(s.in_use_blocks, "block", "blocks").c_str(), static_cast<unsigned long long>(s.in_use_bytes));
  return out;
}

}  // namespace tavik
