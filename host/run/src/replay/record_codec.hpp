// The recording's records and their bytes. A recording is the magic and format version, then chunks: each a
// header (magic, the process's serial, the payload's length, its CRC-32) and whole records, so that every process
// of a tree appends its own chunks to one file with one write each. Numbers are little-endian; strings and byte
// blocks are a 32-bit length and the bytes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tavik/run.hpp"

namespace tavik {

// A recording that cannot be read: damaged, truncated, foreign, or of another format.
struct RecordingError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

namespace record {

constexpr char kMagic[8] = {'T', 'A', 'V', 'I', 'K', 'R', 'E', 'C'};
constexpr uint32_t kVersion = 1;
constexpr uint32_t kChunkMagic = 0x434b5654;  // "TVKC"
constexpr size_t kChunkHeader = 16;
constexpr size_t kFileHeader = sizeof kMagic + 4;
constexpr uint32_t kTreeSerial = 0;  // the header record's chunks
constexpr uint32_t kRootSerial = 1;  // the tree's first process

enum class Tag : uint8_t { Header = 'H', Start = 'S', Call = 'C', Tsc = 'T', End = 'E' };

// What the run was started with that decides how its guests execute.
struct Header {
  uint32_t stack_size = 0;
  uint64_t memory_cap = 0;
  std::optional<uint64_t> tsc;
};

// A process's start: who it is and the image it runs.
struct Start {
  uint32_t serial = 0, parent = 0;
  int32_t pid = 0;  // the host process id its parent's spawn returned (the tree's first: tavik-run's own)
  std::string label, name;
  std::vector<std::string> argv;
  std::string_view image;  // the image file's bytes (a decoded start's point into the recording)
};

// Bytes a call stored into the guest: at the value of argument register `base` (0..2) plus offset, or at offset
// itself (base 3), so that a replay under other heap addresses (--memcheck) stores them into the same buffer.
struct GuestWrite {
  uint8_t base = 3;
  uint32_t offset = 0;
  std::string bytes;
};

// One system call: what was asked (for telling a divergence), what it answered, and what it did that the guest
// or the user saw.
struct Call {
  uint32_t nr = 0;
  std::array<uint32_t, 3> args{};
  int32_t ret = 0;
  uint32_t path_crc = 0;    // CRC-32 of the path a PATH argument named; 0 without
  uint32_t child = 0;       // a spawn: the child's serial
  uint8_t out_fd = 0;       // a write to the tree's standard output (1) or error (2): the bytes it wrote
  std::string out;
  std::vector<GuestWrite> writes;
};

// What one rdtsc or rdtscp read from the host's counter (a run without --tsc).
struct Tsc {
  uint64_t value = 0;
};

// How a process ended.
struct End {
  RunResult::End how = RunResult::End::Exit;
  int32_t status = 0;
  bool counted = false;  // insns is the instructions the process ran (a run that counted them)
  uint64_t insns = 0;
  FaultInfo fault;
  Limit limit = Limit::Timeout;
};

void encode(std::string& out, const Header& h);
void encode(std::string& out, const Start& s);
void encode(std::string& out, const Call& c);
void encode(std::string& out, const Tsc& t);
void encode(std::string& out, const End& e);

// Reads records from a byte range; every length is checked against it (RecordingError otherwise).
class Decoder {
 public:
  explicit Decoder(std::string_view bytes) : rest_(bytes) {}
  bool done() const { return rest_.empty(); }
  size_t left() const { return rest_.size(); }
  Tag tag();
  Header header();
  Start start();
  Call call();
  Tsc tsc() { return {u64()}; }
  End end();
  // Skips the record whose tag was just read.
  void skip(Tag tag);

 private:
  uint8_t u8();
  uint32_t u32();
  uint64_t u64();
  std::string_view bytes(size_t n);
  std::string str() { return std::string(view()); }
  std::string_view view() { return bytes(u32()); }

  std::string_view rest_;
};

uint32_t crc(std::string_view bytes);
// A little-endian 32-bit number at `at` (the chunk headers, the records' numbers).
uint32_t load32(const char* at);
void store32(char* at, uint32_t v);

}  // namespace record
}  // namespace tavik
