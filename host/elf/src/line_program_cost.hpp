// What reading one DWARF line program costs a reader that keeps every row and joins every file name to its
// folder, found from the program's own bytes before any reader is given it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace tavik::elf {

struct LineProgramCost {
  bool readable = false;    // false: malformed, or in a form this walk does not know; read none of it
  uint64_t bytes = 0;       // the whole unit, header included: a bound on its rows (each takes an opcode byte)
  uint64_t path_bytes = 0;  // the file names joined to their folders, those the program defines included
};

// The sections the program's strings may lie in; spans may be empty.
struct LineSections {
  std::span<const uint8_t> line, line_str, str;
};

// The program at `offset` of .debug_line; comp_dir is the unit's folder, folder 0 of programs before version 5.
LineProgramCost line_program_cost(const LineSections& sections, uint64_t offset, std::string_view comp_dir);

}  // namespace tavik::elf
