// ReportFiles: the files --coverage and --profile write. Their folders are opened when the tree starts, so a
// missing folder is told before the first instruction; each file is then opened in its folder without following
// a link, without waiting on a FIFO, and used only when it is a regular file, so that a guest whose root holds
// the folder cannot redirect, block or forge them. The disk a run's spawned processes add to its reports is
// bounded: at most kMostBytes of tracefile records and of profiles each, and kMostProfiles profile files, counted
// over the whole tree (a process past a bound writes nothing and says so); the first process always writes its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace tavik {

struct MeasureOptions;

class ReportFiles {
 public:
  static constexpr uint64_t kMostBytes = 256ull << 20;
  static constexpr uint32_t kMostProfiles = 64;

  // Throws SetupError naming the option when a report's folder cannot be opened.
  explicit ReportFiles(const MeasureOptions& measure);
  ~ReportFiles();
  ReportFiles(const ReportFiles&) = delete;
  ReportFiles& operator=(const ReportFiles&) = delete;

  bool coverage() const { return coverage_dir_ >= 0; }
  bool profile() const { return profile_dir_ >= 0; }
  // Appends a process's tracefile records (one write, so that a tree's processes do not interleave); false with
  // why ("--coverage PATH: reason") when it cannot.
  bool append_coverage(const std::string& text, std::string& why) const;
  // Writes a process's profile, replacing the file: FILE for the tree's first process, FILE.PID for a spawned one.
  bool write_profile(const std::string& text, std::string& why) const;

 private:
  // Takes n bytes (and a file, for a profile) from the tree's allowance: false when it would go past a bound.
  bool take(uint64_t n, bool profile, std::string& why) const;

  struct Written {  // in a shared page: every process of the tree counts against the same bounds
    std::atomic<uint64_t> coverage_bytes, profile_bytes;
    std::atomic<uint32_t> profiles;
  };
  Written* written_ = nullptr;
  std::string coverage_path_, coverage_leaf_, profile_path_, profile_leaf_;
  int coverage_dir_ = -1, profile_dir_ = -1;
  int root_pid_;
};

}  // namespace tavik
