// Sandbox: the guest's file system view. The root folder is "/", paths resolve against the guest's cwd, and
// every lookup goes through the kernel's in-root resolution so that "..", absolute and relative symlinks all
// stay inside the root.
#pragma once

#include <string>

namespace tavik {

class Sandbox {
 public:
  explicit Sandbox(const std::string& host_root);  // throws SetupError when the root cannot be opened
  Sandbox() = default;  // no root at all (a replay): every lookup fails
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::string& cwd() const { return cwd_; }

  // Host descriptor for the guest path (open(2) flags; O_CLOEXEC added), or -errno.
  int open(const std::string& path, int flags, int mode = 0) const;
  // O_PATH descriptor of the folder holding the path's last component, which goes to leaf; or -errno.
  // The leaf is "" for "/", and may be "." or "..": callers refuse those for create and remove. A path ending
  // in '/' names a folder: for a call that makes or removes a file (`file`) it is -EISDIR when the leaf is a
  // folder and -ENOTDIR otherwise.
  int open_parent(const std::string& path, std::string& leaf, bool file = false) const;
  // Changes the guest cwd: 0 or -errno.
  int chdir(const std::string& path);
  // Guest path of an open host descriptor inside the root, or "" when it cannot be told.
  std::string guest_path_of(int host_fd) const;

 private:
  std::string join(const std::string& path) const;
  std::string climb_to_root(int host_fd) const;
  int resolve(const std::string& path, int flags, int mode) const;

  std::string host_root_;  // canonical host path of the root
  int root_fd_ = -1;
  std::string cwd_ = "/";
};

}  // namespace tavik
