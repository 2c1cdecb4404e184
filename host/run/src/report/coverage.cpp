// Coverage: block counts from the hook; lines and functions from the image's line table.
#include "report/coverage.hpp"

#include <tavik/elf/printable.hpp>

#include <algorithm>
#include <map>
#include <vector>

#include "cpu/image.hpp"
#include "report/line_table.hpp"
#include "cpu/machine.hpp"
#include "base/strf.hpp"

namespace tavik {
namespace {

// A translated block spans at most a few pages: blocks that could hold an address start this close below it.
constexpr uint32_t kLongestBlock = 3 * 4096;

struct SourceFile {
  std::map<int, uint64_t> lines;                        // line -> executions
  std::map<std::string, std::pair<int, uint64_t>> functions;  // name -> (line, calls)
};

}  // namespace

void Coverage::install() {
  m_.on_every_block(&Coverage::on_block, this);
}

void Coverage::on_block(uc_engine*, uint64_t addr, uint32_t size, void* self) {
  Block& b = static_cast<Coverage*>(self)->blocks_[static_cast<uint32_t>(addr)];
  b.size = std::max(b.size, size);
  ++b.runs;
}

uint64_t Coverage::count_at(const std::vector<Span>& spans, uint32_t addr) {
  uint64_t runs = 0;
  auto it = std::upper_bound(spans.begin(), spans.end(), addr, [](uint32_t a, const Span& s) { return a < s.start; });
  while (it != spans.begin()) {
    --it;
    if (addr - it->start >= kLongestBlock) break;
    if (addr - it->start < it->size) runs += it->runs;
  }
  return runs;
}

std::string Coverage::render(const Image& image) const {
  if (!image.debug_info()) return "";
  std::vector<Span> spans;
  for (const auto& [start, b] : blocks_.records()) spans.push_back({start, b.size, b.runs});
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.start < b.start; });
  LineTable table(image);
  std::map<std::string, SourceFile> files;
  for (const LineRow& row : table.rows()) {
    if (!row.statement || row.end_sequence || row.line <= 0) continue;
    uint64_t& hits = files[table.files()[row.file]].lines[row.line];
    hits = std::max(hits, count_at(spans, row.addr));
  }
  // The functions: each subprogram with code, counted by the executions of its first instruction.
  for (const DwarfFunction& fn : table.functions())
    files[table.files()[fn.file]].functions[table.names()[fn.name]] = {fn.line, count_at(spans, fn.low)};
  std::string out;
  for (const auto& [name, file] : files) {
    // Names are the image's: escaped, so that none can end a record and forge another.
    out += "TN:\nSF:" + elf::printable(name) + "\n";
    size_t hit_functions = 0, hit_lines = 0;
    for (const auto& [fn, at] : file.functions) out += strf("FN:%d,%s\n", at.first, elf::printable(fn).c_str());
    for (const auto& [fn, at] : file.functions) {
      out += strf("FNDA:%llu,%s\n", static_cast<unsigned long long>(at.second), elf::printable(fn).c_str());
      hit_functions += at.second != 0;
    }
    out += strf("FNF:%zu\nFNH:%zu\n", file.functions.size(), hit_functions);
    for (const auto& [line, hits] : file.lines) {
      out += strf("DA:%d,%llu\n", line, static_cast<unsigned long long>(hits));
      hit_lines += hits != 0;
    }
    out += strf("LF:%zu\nLH:%zu\nend_of_record\n", file.lines.size(), hit_lines);
  }
  return out;
}

}  // namespace tavik
