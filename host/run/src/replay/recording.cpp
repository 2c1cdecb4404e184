// RecordFile appends chunks; Recording maps a file and indexes each process's records, trusting nothing in it.
#include "replay/recording.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/errors.hpp"
#include "base/strf.hpp"

namespace tavik {
namespace {

bool write_all(int fd, const char* data, size_t n) {
  while (n) {
    ssize_t w = ::write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

RecordFile::RecordFile(const std::string& path, const record::Header& header, uint64_t size_limit)
    : path_(path), limit_(size_limit) {
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  leaf_ = slash == std::string::npos ? path : path.substr(slash + 1);
  if (leaf_.empty() || leaf_ == "." || leaf_ == "..") throw SetupError("--record " + path + ": not a file name");
  dir_fd_ = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd_ < 0) throw SetupError(strf("--record %s: %s", path.c_str(), std::strerror(errno)));
  fd_ = ::openat(dir_fd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
  unnamed_ = fd_ >= 0;
  if (fd_ >= 0) ::fcntl(fd_, F_SETFL, O_APPEND);
  if (fd_ < 0) fd_ = ::openat(dir_fd_, leaf_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || ::ftruncate(fd_, 0) != 0) {
    std::string why = fd_ < 0 ? std::strerror(errno) : "not a regular file that can be written";
    if (fd_ >= 0) ::close(fd_);
    ::close(dir_fd_);
    throw SetupError(strf("--record %s: %s", path.c_str(), why.c_str()));
  }
  void* page = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) {
    ::close(fd_);
    ::close(dir_fd_);
    throw SetupError("--record: no shared page for the tree's serials");
  }
  shared_ = new (page) Shared{record::kRootSerial, 0};
  std::string head(record::kMagic, sizeof record::kMagic);
  head.resize(record::kFileHeader);
  record::store32(head.data() + sizeof record::kMagic, record::kVersion);
  std::string payload;
  record::encode(payload, header);
  if (!write_all(fd_, head.data(), head.size()) || !append(record::kTreeSerial, payload, -1)) {
    ::close(fd_);
    ::close(dir_fd_);
    ::munmap(shared_, sizeof(Shared));
    throw SetupError(strf("--record %s: %s", path.c_str(), std::strerror(errno)));
  }
}

// Linked under a temporary name, then renamed over the target: the old recording, if any, is replaced whole.
void RecordFile::publish(int err_fd) {
  if (!unnamed_) return;
  unnamed_ = false;
  std::string temp = strf(".%s.tavik-%d", leaf_.c_str(), static_cast<int>(::getpid()));
  std::string self = strf("/proc/self/fd/%d", fd_);
  ::unlinkat(dir_fd_, temp.c_str(), 0);
  if (::linkat(AT_FDCWD, self.c_str(), dir_fd_, temp.c_str(), AT_SYMLINK_FOLLOW) == 0 &&
      ::renameat(dir_fd_, temp.c_str(), dir_fd_, leaf_.c_str()) == 0)
    return;
  std::string line = strf("tavik-run: --record %s: %s\n", path_.c_str(), std::strerror(errno));
  ::unlinkat(dir_fd_, temp.c_str(), 0);
  ssize_t ignored = ::write(err_fd, line.data(), line.size());
  (void)ignored;
}

RecordFile::~RecordFile() {
  if (fd_ >= 0) ::close(fd_);
  if (dir_fd_ >= 0) ::close(dir_fd_);
  if (shared_) ::munmap(shared_, sizeof(Shared));
}

uint32_t RecordFile::next_serial() { return __atomic_add_fetch(&shared_->serial, 1, __ATOMIC_RELAXED); }

bool RecordFile::append(uint32_t serial, std::string_view payload, int err_fd) {
  if (__atomic_load_n(&shared_->failed, __ATOMIC_RELAXED)) return false;
  std::string chunk(record::kChunkHeader, '\0');
  record::store32(chunk.data(), record::kChunkMagic);
  record::store32(chunk.data() + 4, serial);
  record::store32(chunk.data() + 8, static_cast<uint32_t>(payload.size()));
  record::store32(chunk.data() + 12, record::crc(payload));
  chunk.append(payload);
  // The size is looked at before each chunk: a guest that writes without end fills the recording only up to the
  // limit. One write per chunk: with O_APPEND, the tree's processes never interleave within one.
  off_t size = ::lseek(fd_, 0, SEEK_END);
  std::string why;
  if (payload.size() > UINT32_MAX || size < 0 || static_cast<uint64_t>(size) + chunk.size() > limit_)
    why = "the recording reached its size limit (--file-size-limit)";
  else if (!write_all(fd_, chunk.data(), chunk.size()))
    why = std::strerror(errno);
  if (why.empty()) return true;
  if (__atomic_exchange_n(&shared_->failed, 1, __ATOMIC_RELAXED) == 0 && err_fd >= 0) {
    std::string line = strf("tavik-run: --record %s: %s; the recording is incomplete\n", path_.c_str(), why.c_str());
    ssize_t ignored = ::write(err_fd, line.data(), line.size());
    (void)ignored;
  }
  return false;
}

void ProcessRecorder::flush() {
  if (buf_.empty()) return;
  file_.append(serial_, buf_, err_fd_);
  buf_.clear();
}

Recording::Recording(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw RecordingError(strf("%s: %s", path.c_str(), std::strerror(errno)));
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw RecordingError(path + ": not a regular file");
  }
  size_ = static_cast<size_t>(st.st_size);
  if (size_ < record::kFileHeader || size_ > (size_t{1} << 46)) {
    ::close(fd);
    throw RecordingError(path + ": not a tavik recording (too short)");
  }
  void* map = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
  ::close(fd);
  if (map == MAP_FAILED) throw RecordingError(strf("%s: cannot map: %s", path.c_str(), std::strerror(errno)));
  data_ = static_cast<const char*>(map);
  try {
    if (std::memcmp(data_, record::kMagic, sizeof record::kMagic) != 0)
      throw RecordingError("not a tavik recording");
    uint32_t version = record::load32(data_ + sizeof record::kMagic);
    if (version != record::kVersion)
      throw RecordingError(strf("a recording of format %u; this tavik-run reads format %u", version, record::kVersion));
    for (size_t at = record::kFileHeader; at < size_;) {
      if (size_ - at < record::kChunkHeader) throw RecordingError(strf("truncated at byte %zu", at));
      if (record::load32(data_ + at) != record::kChunkMagic) throw RecordingError(strf("damaged at byte %zu", at));
      uint32_t serial = record::load32(data_ + at + 4), len = record::load32(data_ + at + 8);
      if (len > size_ - at - record::kChunkHeader) throw RecordingError(strf("truncated at byte %zu", at));
      std::string_view payload(data_ + at + record::kChunkHeader, len);
      if (record::crc(payload) != record::load32(data_ + at + 12))
        throw RecordingError(strf("damaged at byte %zu (checksum)", at));
      try {
        index(serial, payload, at + record::kChunkHeader);
      } catch (const RecordingError& e) {
        throw RecordingError(strf("damaged at byte %zu: %s", at, e.what()));
      }
      at += record::kChunkHeader + len;
    }
    if (!has_header_) throw RecordingError("no header record");
    auto root = processes_.find(record::kRootSerial);
    if (root == processes_.end()) throw RecordingError("incomplete: the run was cut short before its first records");
    if (!root->second.end) throw RecordingError("incomplete: the run was cut short before its first process ended");
  } catch (const RecordingError& e) {
    ::munmap(const_cast<char*>(data_), size_);
    throw RecordingError(path + ": " + e.what());
  }
}

Recording::~Recording() { ::munmap(const_cast<char*>(data_), size_); }

void Recording::index(uint32_t serial, std::string_view payload, uint64_t offset) {
  record::Decoder d(payload);
  while (!d.done()) {
    uint64_t at = offset + (payload.size() - d.left());
    record::Tag tag = d.tag();
    if (serial == record::kTreeSerial) {
      if (tag != record::Tag::Header || has_header_) throw RecordingError("a second header");
      header_ = d.header();
      has_header_ = true;
      continue;
    }
    auto it = processes_.find(serial);
    if (tag == record::Tag::Start) {
      if (it != processes_.end()) throw RecordingError(strf("process %u starts twice", serial));
      record::Start start = d.start();
      if (start.serial != serial) throw RecordingError("a start under another serial");
      processes_[serial].start = std::move(start);
      continue;
    }
    if (it == processes_.end()) throw RecordingError(strf("process %u has records before its start", serial));
    ProcessLog& log = it->second;
    if (log.end) throw RecordingError(strf("process %u has records after its end", serial));
    if (tag == record::Tag::End) {
      log.end = d.end();
      continue;
    }
    if (tag != record::Tag::Call && tag != record::Tag::Tsc) throw RecordingError("a header inside a process");
    d.skip(tag);
    uint64_t after = offset + (payload.size() - d.left());
    log.events.push_back({at, static_cast<uint32_t>(after - at)});
  }
}

const ProcessLog* Recording::process(uint32_t serial) const {
  auto it = processes_.find(serial);
  return it == processes_.end() ? nullptr : &it->second;
}

const ProcessLog* Recording::process_with_pid(int32_t pid) const {
  for (const auto& [serial, log] : processes_)
    if (log.start.pid == pid) return &log;
  return nullptr;
}

record::Decoder Recording::at(const RecordSpan& span) const {
  return record::Decoder(std::string_view(data_ + span.offset, span.size));
}

}  // namespace tavik
