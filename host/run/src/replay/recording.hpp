// RecordFile: the file --record writes, shared by every process of the tree (each appends whole chunks with one
// write, so that processes running side by side never interleave). It has no name while the run goes on (a file
// of the folder's file system that is linked in at the end, over the old one), so that a guest whose root holds
// the folder can neither read nor forge it; where the file system has no such files, it is the named file. Recording: a recorded file read back for
// --replay, checked whole before anything runs: every chunk's magic, length and checksum, every record's shape,
// and that the tree's first process ended.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "replay/record_codec.hpp"

namespace tavik {

class RecordFile {
 public:
  // Creates the file (where it must be named: a regular one, never through a link, never waiting on a FIFO) and
  // writes the header; throws SetupError. The recording stops growing at size_limit bytes.
  RecordFile(const std::string& path, const record::Header& header, uint64_t size_limit);
  // The tree's first process, at its end: the file takes its name (said on err_fd when it cannot).
  void publish(int err_fd);
  ~RecordFile();
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // Appends a chunk of serial's records; false when the file cannot take it (full, over the limit, failed): the
  // recording is then incomplete, said once on err_fd, and nothing more is written to it by any process.
  bool append(uint32_t serial, std::string_view payload, int err_fd);
  // A serial for a process about to be spawned, unique in the tree.
  uint32_t next_serial();

 private:
  struct Shared {  // in a page forked children share
    uint32_t serial;
    uint32_t failed;
  };
  std::string path_, leaf_;
  int fd_ = -1;
  int dir_fd_ = -1;
  bool unnamed_ = false;
  uint64_t limit_;
  Shared* shared_ = nullptr;
};

// A process's records on their way to the file: whole records, a chunk at a time.
class ProcessRecorder {
 public:
  ProcessRecorder(RecordFile& file, uint32_t serial, int err_fd) : file_(file), serial_(serial), err_fd_(err_fd) {}
  ~ProcessRecorder() { flush(); }
  ProcessRecorder(const ProcessRecorder&) = delete;
  ProcessRecorder& operator=(const ProcessRecorder&) = delete;

  template <class Record>
  void add(const Record& r) {
    record::encode(buf_, r);
    if (buf_.size() >= kChunk) flush();
  }
  void flush();
  // In a host process a spawn has just forked: what is buffered is the parent's to write.
  void abandon() { buf_.clear(); }
  uint32_t serial() const { return serial_; }

 private:
  static constexpr size_t kChunk = 64 * 1024;
  RecordFile& file_;
  uint32_t serial_;
  int err_fd_;
  std::string buf_;
};

// Where one record lies in the recording.
struct RecordSpan {
  uint64_t offset;
  uint32_t size;
};

// A recorded process: its start, its calls and counter reads in order, and its end (when it ended at all).
struct ProcessLog {
  record::Start start;
  std::vector<RecordSpan> events;
  std::optional<record::End> end;
};

class Recording {
 public:
  // Maps and checks the file: RecordingError with the reason ("not a tavik recording", "damaged at byte N", ...).
  explicit Recording(const std::string& path);
  ~Recording();
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;

  const record::Header& header() const { return header_; }
  const ProcessLog& root() const { return processes_.at(record::kRootSerial); }
  const ProcessLog* process(uint32_t serial) const;
  const ProcessLog* process_with_pid(int32_t pid) const;
  size_t process_count() const { return processes_.size(); }
  // The record at span (its tag already known from indexing).
  record::Decoder at(const RecordSpan& span) const;

 private:
  void index(uint32_t serial, std::string_view payload, uint64_t offset);

  const char* data_ = nullptr;
  size_t size_ = 0;
  record::Header header_;
  bool has_header_ = false;
  std::map<uint32_t, ProcessLog> processes_;
};

}  // namespace tavik
