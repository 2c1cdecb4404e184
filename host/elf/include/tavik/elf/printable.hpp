// printable: a name an image or a guest chose (a symbol, a source file, a function, argv[0]) as a terminal, a
// tracefile or a profile may show it: every byte outside printable ASCII as \xNN, so that no name can end a
// line, forge one, or send escape sequences to a terminal. Idempotent.
#pragma once

#include <string>
#include <string_view>

namespace tavik::elf {

std::string printable(std::string_view text);

}  // namespace tavik::elf
