// Running the target build's programs from host tests: where they are, and a run that captures what the guest
// wrote to its descriptor 1 and 2 together with the trace.
#pragma once

#include <tavik/abi.h>
#include <tavik/run.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace tavik::test {

// A guest program of tests/guests on the library, built by the target build (TAVIK_TARGET_BINARY_DIR is set by
// tests/host).
inline std::string target_program(const std::string& name) {
  return std::string(TAVIK_TARGET_BINARY_DIR) + "/tests/guests/" + name;
}

// One of the library's own target tests.
inline std::string target_test(const std::string& name) {
  return std::string(TAVIK_TARGET_BINARY_DIR) + "/tests/target/" + name;
}

// A command staged in the tavik root file system.
inline std::string root_command(const std::string& name) {
  return std::string(TAVIK_ROOT_DIR) + "/bin/" + name;
}

struct GuestRun {
  RunResult result;
  std::string out;  // guest descriptor 1
  std::string err;  // guest descriptor 2 and tavik-run's own reports
};

inline std::string slurp(std::FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string text;
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
  return text;
}

// Runs image with the given options, capturing the guest's output in temporary files.
inline GuestRun run_guest(const std::string& image, const std::vector<std::string>& args, RunOptions opt = {}) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  opt.io.stdout_fd = fileno(out);
  opt.io.stderr_fd = fileno(err);
  GuestRun run;
  run.result = run_image(image, args, opt);
  run.out = slurp(out);
  run.err = slurp(err);
  std::fclose(out);
  std::fclose(err);
  return run;
}

// A fresh empty folder for a guest's root, removed with the object.
class ScratchRoot {
 public:
  ScratchRoot() {
    std::string templ = (std::filesystem::temp_directory_path() / "tavik-test-XXXXXX").string();
    path_ = mkdtemp(templ.data());
  }
  ~ScratchRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchRoot(const ScratchRoot&) = delete;
  ScratchRoot& operator=(const ScratchRoot&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

// Options for a run in this root, reading no input.
inline RunOptions in_root(const ScratchRoot& root) {
  RunOptions opt;
  opt.io.root = root.str();
  opt.io.stdin_file = "/dev/null";
  return opt;
}

// A JSON trace's lines without their process ids and the frames of their end line (tests of those look at
// them apart).
inline std::string without_frames(std::string json) {
  for (size_t at; (at = json.find("\"pid\":")) != std::string::npos;) json.erase(at, json.find(',', at) + 1 - at);
  for (size_t at; (at = json.find(",\"frames\":[")) != std::string::npos;) {
    size_t end = json.find("]}", at);
    if (end == std::string::npos) break;
    json.erase(at, end + 1 - at);
  }
  return json;
}

inline std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// "name.c:N" for the first line of a debug guest's source (tests/guests/debug/name.c) that holds marker, the
// comment that names what a test looks for there.
inline std::string marked_line(const std::string& name, const std::string& marker) {
  std::ifstream in(std::string(TAVIK_SOURCE_DIR) + "/tests/guests/debug/" + name);
  std::string text;
  for (int n = 1; std::getline(in, text); ++n)
    if (text.find(marker) != std::string::npos) return name + ":" + std::to_string(n);
  return name + ": no " + marker;
}

}  // namespace tavik::test
