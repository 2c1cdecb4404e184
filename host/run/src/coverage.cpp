// Coverage: block counts from the hook; lines and functions from libdw over the image's own bytes.
#include "coverage.hpp"

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <fcntl.h>
#include <libelf.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

#include "errors.hpp"
#include "image.hpp"
#include "machine.hpp"
#include "strf.hpp"

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
  uc_hook h;
  uc_check(uc_hook_add(m_.uc(), &h, UC_HOOK_BLOCK, reinterpret_cast<void*>(&Coverage::on_block), this, 1, 0),
           "uc_hook_add(BLOCK)");
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

bool Coverage::append(const Image& image, const std::string& path, std::string& why) const {
  if (image.debug_file().empty()) return true;
  std::vector<Span> spans;
  for (const auto& [start, b] : blocks_) spans.push_back({start, b.size, b.runs});
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.start < b.start; });
  std::vector<uint8_t> bytes = image.debug_file();
  Elf* elf = elf_memory(reinterpret_cast<char*>(bytes.data()), bytes.size());
  Dwarf* dw = elf ? dwarf_begin_elf(elf, DWARF_C_READ, nullptr) : nullptr;
  std::map<std::string, SourceFile> files;
  Dwarf_Off off = 0, next;
  size_t header;
  while (dw && dwarf_nextcu(dw, off, &next, &header, nullptr, nullptr, nullptr) == 0) {
    Dwarf_Die cu;
    if (dwarf_offdie(dw, off + header, &cu)) {
      Dwarf_Lines* lines;
      size_t n = 0;
      if (dwarf_getsrclines(&cu, &lines, &n) == 0) {
        for (size_t i = 0; i < n; ++i) {
          Dwarf_Line* line = dwarf_onesrcline(lines, i);
          Dwarf_Addr addr;
          int lineno;
          bool stmt = false, end = false;
          const char* file = dwarf_linesrc(line, nullptr, nullptr);
          if (!file || dwarf_lineaddr(line, &addr) || dwarf_lineno(line, &lineno) || lineno <= 0) continue;
          dwarf_linebeginstatement(line, &stmt);
          dwarf_lineendsequence(line, &end);
          if (!stmt || end || addr > 0xFFFFFFFFu) continue;
          uint64_t& hits = files[file].lines[lineno];
          hits = std::max(hits, count_at(spans, static_cast<uint32_t>(addr)));
        }
      }
      // The functions: each subprogram with code, counted by the executions of its first instruction.
      Dwarf_Die child;
      if (dwarf_child(&cu, &child) == 0) {
        do {
          Dwarf_Addr low;
          const char* name = dwarf_diename(&child);
          const char* file = dwarf_decl_file(&child);
          int decl = 0;
          if (dwarf_tag(&child) != DW_TAG_subprogram || !name || !file || dwarf_lowpc(&child, &low) != 0) continue;
          dwarf_decl_line(&child, &decl);
          files[file].functions[name] = {decl, count_at(spans, static_cast<uint32_t>(low))};
        } while (dwarf_siblingof(&child, &child) == 0);
      }
    }
    off = next;
  }
  if (dw) dwarf_end(dw);
  if (elf) elf_end(elf);
  std::string out;
  for (const auto& [name, file] : files) {
    out += "TN:\nSF:" + name + "\n";
    size_t hit_functions = 0, hit_lines = 0;
    for (const auto& [fn, at] : file.functions) out += strf("FN:%d,%s\n", at.first, fn.c_str());
    for (const auto& [fn, at] : file.functions) {
      out += strf("FNDA:%llu,%s\n", static_cast<unsigned long long>(at.second), fn.c_str());
      hit_functions += at.second != 0;
    }
    out += strf("FNF:%zu\nFNH:%zu\n", file.functions.size(), hit_functions);
    for (const auto& [line, hits] : file.lines) {
      out += strf("DA:%d,%llu\n", line, static_cast<unsigned long long>(hits));
      hit_lines += hits != 0;
    }
    out += strf("LF:%zu\nLH:%zu\nend_of_record\n", file.lines.size(), hit_lines);
  }
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    why = strf("--coverage %s: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  bool ok = ::write(fd, out.data(), out.size()) == static_cast<ssize_t>(out.size());
  ::close(fd);
  if (!ok) why = "--coverage " + path + ": write failed";
  return ok;
}

}  // namespace tavik
