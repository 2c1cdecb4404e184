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

// How often each instruction ran: the executions of the blocks that hold it, as sums of what starts at or below
// an address less what ends there, so that a look-up costs a search however many blocks overlap.
class Executions {
 public:
  void add(uint64_t start, uint64_t end, uint64_t runs) {
    starts_.push_back({start, runs});
    ends_.push_back({end, runs});
  }
  void sum_up() {
    running_sums(starts_);
    running_sums(ends_);
  }
  uint64_t at(uint64_t addr) const { return upto(starts_, addr) - upto(ends_, addr); }

 private:
  using Points = std::vector<std::pair<uint64_t, uint64_t>>;  // address, then runs (summed up to it)
  static void running_sums(Points& p) {
    std::sort(p.begin(), p.end());
    for (size_t i = 1; i < p.size(); ++i) p[i].second += p[i - 1].second;
  }
  static uint64_t upto(const Points& p, uint64_t addr) {
    auto it = std::upper_bound(p.begin(), p.end(), addr, [](uint64_t a, const auto& x) { return a < x.first; });
    return it == p.begin() ? 0 : std::prev(it)->second;
  }
  Points starts_, ends_;
};

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

std::string Coverage::render(const Image& image) const {
  if (!image.debug_info()) return "";
  Executions ran;
  for (const auto& [start, b] : blocks_.records()) ran.add(start, uint64_t{start} + b.size, b.runs);
  ran.sum_up();
  LineTable table(image);
  std::map<std::string, SourceFile> files;
  for (const LineRow& row : table.rows()) {
    if (!row.statement || row.end_sequence || row.line <= 0) continue;
    uint64_t& hits = files[table.files()[row.file]].lines[row.line];
    hits = std::max(hits, ran.at(row.addr));
  }
  // The functions: each subprogram with code, counted by the executions of its first instruction.
  for (const DwarfFunction& fn : table.functions())
    files[table.files()[fn.file]].functions[table.names()[fn.name]] = {fn.line, ran.at(fn.low)};
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
