// CheckerContext: what a checker of the running guest (--memcheck, the reports of -fsanitize=undefined code) works
// with: the machine, the image, the process's end and trace, and where its reports go.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <string>

#include "cpu/machine.hpp"

namespace tavik {

class Image;
class ProcessEnd;
class Trace;

struct CheckerContext {
  Machine& m;
  const Image& image;
  ProcessEnd& end;
  Trace& trace;
  std::string name;  // the process's, for the reports' first lines
  int stderr_fd;

  // The guest's word at addr, or 0 where it cannot be read: the data a checker reads was passed by the program,
  // which may have corrupted it.
  uint32_t word(uint32_t addr) const {
    uint32_t v = 0;
    m.read_bytes(addr, &v, 4);
    return v;
  }

  void say(const std::string& text) const {
    ssize_t ignored = ::write(stderr_fd, text.data(), text.size());
    (void)ignored;
  }
};

}  // namespace tavik
