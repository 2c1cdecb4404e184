// CheckerContext: what a checker of the running guest (--memcheck, the reports of -fsanitize=undefined code) works
// with: the machine, the image, the process's end and trace, and where its reports go.
#pragma once

#include <unistd.h>

#include <string>

namespace tavik {

class Image;
class Machine;
class ProcessEnd;
class Trace;

struct CheckerContext {
  Machine& m;
  const Image& image;
  ProcessEnd& end;
  Trace& trace;
  std::string name;  // the process's, for the reports' first lines
  int stderr_fd;

  void say(const std::string& text) const {
    ssize_t ignored = ::write(stderr_fd, text.data(), text.size());
    (void)ignored;
  }
};

}  // namespace tavik
