// The reports' files: opened once, written whole.
#include "report/report_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/strf.hpp"

namespace tavik {

bool write_report(const char* option, const std::string& path, const std::string& text, bool append,
                  std::string& why) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0644);
  if (fd < 0) {
    why = strf("%s %s: %s", option, path.c_str(), std::strerror(errno));
    return false;
  }
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  if (done != text.size()) why = strf("%s %s: write failed", option, path.c_str());
  return done == text.size();
}

}  // namespace tavik
