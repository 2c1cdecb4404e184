// FdTable: the guest's descriptors, each naming an open host file shared by its duplicates.
#pragma once

#include <fcntl.h>

#include <array>
#include <memory>
#include <vector>

namespace tavik {

struct OpenFile {
  OpenFile(int fd, bool own) : host_fd(fd), owned(own) {}
  ~OpenFile();
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  int host_fd;
  bool owned;             // the host descriptors behind the standard streams are borrowed, never closed
  bool nonblock = false;  // reads and writes answer -11 instead of waiting
  // Whether the host file is a regular one (what an open description is never changes): asked once, not at each
  // write of a program that writes line by line.
  bool regular() const;
  // For a pipe, a FIFO or a character device: a descriptor of its own on the same file that never blocks (the
  // one the guest uses may be shared with others, whose flags are not the kit's to change), or -1. A write tries
  // it first and waits only when it says the write would block: one host call per write, not two.
  int nonblocking_twin() const;
  // Whether the host descriptor is open for reading, for writing (a pipe's other end is not: a call on it fails at
  // once instead of waiting for readiness that never comes).
  bool readable() const { return access_mode() != O_WRONLY; }
  bool writable() const { return access_mode() != O_RDONLY; }

 private:
  int access_mode() const;
  mutable int regular_ = -1;
  mutable int twin_ = -2;  // -2: not asked yet
  mutable int mode_ = -1;
};

class FdTable {
 public:
  static constexpr int kMax = 1024;

  std::shared_ptr<OpenFile> get(int fd) const;
  // Lowest free descriptor >= lowest, or -EMFILE when the table is full.
  int add(std::shared_ptr<OpenFile> file, int lowest = 3);
  // Puts file at fd, closing what was there: fd, or -EBADF when fd is out of range.
  int put(int fd, std::shared_ptr<OpenFile> file);
  int close(int fd);  // 0 or -EBADF
  // Keeps only descriptors 0..2 (a spawned child that does not inherit the rest).
  void drop_above_stdio();

 private:
  std::vector<std::shared_ptr<OpenFile>> slots_;
};

}  // namespace tavik
