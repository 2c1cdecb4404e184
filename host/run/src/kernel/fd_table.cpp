// FdTable: lowest-free allocation, duplicates sharing one open file, closing by reference count.
#include "kernel/fd_table.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <string>

#include <tavik/abi.h>

#include <unistd.h>

namespace tavik {

bool OpenFile::regular() const {
  if (regular_ < 0) {
    struct stat st;
    regular_ = ::fstat(host_fd, &st) == 0 && S_ISREG(st.st_mode);
  }
  return regular_ == 1;
}

int OpenFile::nonblocking_twin() const {
  if (twin_ != -2) return twin_;
  twin_ = -1;
  struct stat st;
  if (::fstat(host_fd, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode))) return twin_;
  if (!writable()) return twin_;
  std::string path = "/proc/self/fd/" + std::to_string(host_fd);
  twin_ = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  return twin_;
}

int OpenFile::access_mode() const {
  if (mode_ < 0) {
    int flags = ::fcntl(host_fd, F_GETFL);
    mode_ = flags < 0 ? O_RDWR : flags & O_ACCMODE;  // unknown: the call itself reports what fails
  }
  return mode_;
}

OpenFile::~OpenFile() {
  if (owned && host_fd >= 0) ::close(host_fd);
  if (twin_ >= 0) ::close(twin_);
}

std::shared_ptr<OpenFile> FdTable::get(int fd) const {
  if (fd < 0 || static_cast<size_t>(fd) >= slots_.size()) return nullptr;
  return slots_[static_cast<size_t>(fd)];
}

int FdTable::add(std::shared_ptr<OpenFile> file, int lowest) {
  for (int fd = lowest; fd < kMax; ++fd) {
    if (static_cast<size_t>(fd) >= slots_.size()) slots_.resize(static_cast<size_t>(fd) + 1);
    if (!slots_[static_cast<size_t>(fd)]) {
      slots_[static_cast<size_t>(fd)] = std::move(file);
      return fd;
    }
  }
  return -TAVIK_EMFILE;
}

int FdTable::put(int fd, std::shared_ptr<OpenFile> file) {
  if (fd < 0 || fd >= kMax) return -TAVIK_EBADF;
  if (static_cast<size_t>(fd) >= slots_.size()) slots_.resize(static_cast<size_t>(fd) + 1);
  slots_[static_cast<size_t>(fd)] = std::move(file);
  return fd;
}

int FdTable::close(int fd) {
  if (!get(fd)) return -TAVIK_EBADF;
  slots_[static_cast<size_t>(fd)].reset();
  return 0;
}

void FdTable::drop_above_stdio() {
  if (slots_.size() > 3) slots_.resize(3);
}

}  // namespace tavik
