// The files --coverage and --profile write their reports to.
#pragma once

#include <string>

namespace tavik {

// Writes text to path, appended (the processes of a tree add to one tracefile: one write each, so that they do
// not interleave) or replacing the file. False with why ("OPTION PATH: reason") when it cannot be written.
bool write_report(const char* option, const std::string& path, const std::string& text, bool append,
                  std::string& why);

}  // namespace tavik
