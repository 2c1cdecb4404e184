// LineTable: an image's DWARF line table and functions, read once with libdw, for the reports that map executed
// addresses to source lines (coverage, profiles).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavik {

class Image;

struct LineRow {
  uint32_t addr;
  uint32_t file;       // index into files()
  int line;
  bool statement;      // a recommended breakpoint: where a source line's code begins
  bool end_sequence;   // the first address after a sequence: no line holds it
};

struct DwarfFunction {
  uint32_t name;       // index into names()
  uint32_t file;       // where it is declared: index into files()
  int line;
  uint32_t low;        // its first instruction
};

class LineTable {
 public:
  // Empty without debug information. Compile units that share one line program add it once, and each file or
  // function name is held once however many entries give it, so a file cannot make the table larger than its
  // own line programs, entries and distinct names.
  explicit LineTable(const Image& image);

  const std::vector<std::string>& files() const { return files_; }
  const std::vector<LineRow>& rows() const { return rows_; }  // by address
  const std::vector<DwarfFunction>& functions() const { return functions_; }
  const std::vector<std::string>& names() const { return names_; }
  // The row whose range holds addr, or nullptr.
  const LineRow* at(uint32_t addr) const;

 private:
  std::vector<std::string> files_;
  std::vector<LineRow> rows_;
  std::vector<DwarfFunction> functions_;
  std::vector<std::string> names_;
};

}  // namespace tavik
