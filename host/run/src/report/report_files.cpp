// ReportFiles: folders opened first; each file opened in its folder, regular files only, written whole.
#include "report/report_files.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "base/errors.hpp"
#include "base/strf.hpp"
#include "tavik/run.hpp"

namespace tavik {
namespace {

// The folder of path, opened to find files in: -1 (no report asked for) or a descriptor; throws SetupError.
int open_folder(const char* option, const std::string& path, std::string& leaf) {
  if (path.empty()) return -1;
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  leaf = slash == std::string::npos ? path : path.substr(slash + 1);
  if (leaf.empty() || leaf == "." || leaf == "..") throw SetupError(strf("%s %s: not a file name", option, path.c_str()));
  int fd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw SetupError(strf("%s %s: %s", option, path.c_str(), std::strerror(errno)));
  return fd;
}

bool write_in(int dir, const std::string& leaf, const char* option, const std::string& shown,
              const std::string& text, bool append, std::string& why) {
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (append ? O_APPEND : 0);
  int fd = ::openat(dir, leaf.c_str(), flags, 0644);
  struct stat st;
  if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    ::close(fd);
    fd = -1;
    errno = EINVAL;
  }
  if (fd < 0) {
    why = strf("%s %s: %s", option, shown.c_str(),
               errno == ELOOP ? "is a symbolic link" : errno == EINVAL || errno == ENXIO ? "not a regular file"
                                                                                         : std::strerror(errno));
    return false;
  }
  // A replaced profile is cut only once it is known to be a regular file of ours.
  if (!append && ::ftruncate(fd, 0) != 0) {
    why = strf("%s %s: %s", option, shown.c_str(), std::strerror(errno));
    ::close(fd);
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
  if (done != text.size()) why = strf("%s %s: write failed", option, shown.c_str());
  return done == text.size();
}

}  // namespace

ReportFiles::ReportFiles(const MeasureOptions& measure) : root_pid_(::getpid()) {
  void* page = ::mmap(nullptr, sizeof(Written), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) throw EmulatorError("cannot map the report counters");
  written_ = new (page) Written{{0}, {0}, {0}};
  coverage_path_ = measure.coverage_file;
  profile_path_ = measure.profile_file;
  coverage_dir_ = open_folder("--coverage", coverage_path_, coverage_leaf_);
  try {
    profile_dir_ = open_folder("--profile", profile_path_, profile_leaf_);
  } catch (...) {
    if (coverage_dir_ >= 0) ::close(coverage_dir_);
    ::munmap(written_, sizeof(Written));
    throw;
  }
}

ReportFiles::~ReportFiles() {
  ::munmap(written_, sizeof(Written));
  if (coverage_dir_ >= 0) ::close(coverage_dir_);
  if (profile_dir_ >= 0) ::close(profile_dir_);
}

bool ReportFiles::take(uint64_t n, bool profile, std::string& why) const {
  // The first process's report is always written: the bounds are on what spawned processes add.
  if (::getpid() == root_pid_) return true;
  if (profile && written_->profiles.fetch_add(1) >= kMostProfiles) {
    why = strf("--profile %s: this run's spawned processes wrote %u profiles already; this one's is left out", profile_path_.c_str(),
               kMostProfiles);
    return false;
  }
  std::atomic<uint64_t>& bytes = profile ? written_->profile_bytes : written_->coverage_bytes;
  if (bytes.fetch_add(n) + n <= kMostBytes) return true;
  why = strf("%s %s: this run's spawned processes wrote %llu MiB of reports already; this one's is left out", profile ? "--profile" : "--coverage",
             (profile ? profile_path_ : coverage_path_).c_str(), static_cast<unsigned long long>(kMostBytes >> 20));
  return false;
}

bool ReportFiles::append_coverage(const std::string& text, std::string& why) const {
  if (!take(text.size(), false, why)) return false;
  return write_in(coverage_dir_, coverage_leaf_, "--coverage", coverage_path_, text, true, why);
}

bool ReportFiles::write_profile(const std::string& text, std::string& why) const {
  int pid = ::getpid();
  if (!take(text.size(), true, why)) return false;
  std::string suffix = pid == root_pid_ ? "" : strf(".%d", pid);
  return write_in(profile_dir_, profile_leaf_ + suffix, "--profile", profile_path_ + suffix, text, false, why);
}

}  // namespace tavik
