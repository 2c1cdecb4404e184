// How the trace shows a call's arguments and results in the system's own terms: error names and texts, open
// flags, whence and modes, and the classes a trace filter names.
#pragma once

#include <cstdint>
#include <string>

#include "base/calls.hpp"

namespace tavik {

// "ENOENT" and "No such file or directory" for 2; nullptr for a number the kernel never returns.
const char* error_name(int32_t number);
const char* error_text(int32_t number);

// An argument of this kind, decoded: "O_WRONLY|O_CREAT", "SEEK_END", "0644"; "" when the kind has no decoding.
std::string decode_arg(ArgKind kind, uint32_t value);

// Whether a call falls in a trace filter's word: its own name, or a class ("file": takes a path, "desc": takes
// a descriptor, "process": _exit, spawn and waitpid), with or without strace's leading '%'.
bool call_in_class(const CallRow& row, const std::string& word);
// Whether word names a call or a class at all.
bool is_call_or_class(const std::string& word);

}  // namespace tavik
