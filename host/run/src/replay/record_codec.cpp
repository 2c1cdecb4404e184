// Records to bytes and back; the decoder trusts no length.
#include "replay/record_codec.hpp"

#include <zlib.h>

#include <cstring>

namespace tavik::record {
namespace {

void put8(std::string& out, uint8_t v) { out.push_back(static_cast<char>(v)); }

void put32(std::string& out, uint32_t v) {
  char b[4];
  store32(b, v);
  out.append(b, 4);
}

void put64(std::string& out, uint64_t v) {
  put32(out, static_cast<uint32_t>(v));
  put32(out, static_cast<uint32_t>(v >> 32));
}

void put_str(std::string& out, std::string_view s) {
  put32(out, static_cast<uint32_t>(s.size()));
  out.append(s);
}

}  // namespace

uint32_t load32(const char* at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<uint8_t>(at[i])) << (8 * i);
  return v;
}

void store32(char* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<char>(v >> (8 * i));
}

uint32_t crc(std::string_view bytes) {
  uLong c = crc32(0L, Z_NULL, 0);
  // zlib takes a 32-bit length: long payloads go in pieces.
  for (size_t at = 0; at < bytes.size();) {
    size_t n = std::min<size_t>(bytes.size() - at, 1u << 30);
    c = crc32(c, reinterpret_cast<const Bytef*>(bytes.data() + at), static_cast<uInt>(n));
    at += n;
  }
  return static_cast<uint32_t>(c);
}

void encode(std::string& out, const Header& h) {
  put8(out, static_cast<uint8_t>(Tag::Header));
  put32(out, h.stack_size);
  put64(out, h.memory_cap);
  put8(out, h.tsc ? 1 : 0);
  put64(out, h.tsc.value_or(0));
}

void encode(std::string& out, const Start& s) {
  put8(out, static_cast<uint8_t>(Tag::Start));
  put32(out, s.serial);
  put32(out, s.parent);
  put32(out, static_cast<uint32_t>(s.pid));
  put_str(out, s.label);
  put_str(out, s.name);
  put32(out, static_cast<uint32_t>(s.argv.size()));
  for (const std::string& a : s.argv) put_str(out, a);
  put_str(out, s.image);
}

void encode(std::string& out, const Call& c) {
  put8(out, static_cast<uint8_t>(Tag::Call));
  put32(out, c.nr);
  for (uint32_t a : c.args) put32(out, a);
  put32(out, static_cast<uint32_t>(c.ret));
  put32(out, c.path_crc);
  put32(out, c.child);
  put8(out, c.out_fd);
  put_str(out, c.out);
  put32(out, static_cast<uint32_t>(c.writes.size()));
  for (const GuestWrite& w : c.writes) {
    put8(out, w.base);
    put32(out, w.offset);
    put_str(out, w.bytes);
  }
}

void encode(std::string& out, const Tsc& t) {
  put8(out, static_cast<uint8_t>(Tag::Tsc));
  put64(out, t.value);
}

void encode(std::string& out, const End& e) {
  put8(out, static_cast<uint8_t>(Tag::End));
  put8(out, static_cast<uint8_t>(e.how));
  put32(out, static_cast<uint32_t>(e.status));
  put8(out, e.counted ? 1 : 0);
  put64(out, e.insns);
  put8(out, static_cast<uint8_t>(e.fault.kind));
  put32(out, e.fault.eip);
  put32(out, e.fault.addr);
  put_str(out, e.fault.access);
  put8(out, static_cast<uint8_t>(e.limit));
}

std::string_view Decoder::bytes(size_t n) {
  if (n > rest_.size()) throw RecordingError("a record runs past its chunk");
  std::string_view part = rest_.substr(0, n);
  rest_.remove_prefix(n);
  return part;
}

uint8_t Decoder::u8() { return static_cast<uint8_t>(bytes(1)[0]); }

uint32_t Decoder::u32() { return load32(bytes(4).data()); }

uint64_t Decoder::u64() {
  uint64_t low = u32();
  return low | static_cast<uint64_t>(u32()) << 32;
}

Tag Decoder::tag() {
  uint8_t t = u8();
  switch (static_cast<Tag>(t)) {
    case Tag::Header:
    case Tag::Start:
    case Tag::Call:
    case Tag::Tsc:
    case Tag::End: return static_cast<Tag>(t);
  }
  throw RecordingError("unknown record kind " + std::to_string(t));
}

Header Decoder::header() {
  Header h;
  h.stack_size = u32();
  h.memory_cap = u64();
  bool has_tsc = u8() != 0;
  uint64_t tsc = u64();
  if (has_tsc) h.tsc = tsc;
  return h;
}

Start Decoder::start() {
  Start s;
  s.serial = u32();
  s.parent = u32();
  s.pid = static_cast<int32_t>(u32());
  s.label = str();
  s.name = str();
  uint32_t argc = u32();
  // Each argument takes at least its length's four bytes: a count larger than the chunk is damage.
  if (argc > left() / 4) throw RecordingError("an argument count runs past its chunk");
  for (uint32_t i = 0; i < argc; ++i) s.argv.push_back(str());
  s.image = view();
  return s;
}

Call Decoder::call() {
  Call c;
  c.nr = u32();
  for (uint32_t& a : c.args) a = u32();
  c.ret = static_cast<int32_t>(u32());
  c.path_crc = u32();
  c.child = u32();
  c.out_fd = u8();
  c.out = str();
  uint32_t n = u32();
  if (n > left() / 9) throw RecordingError("a count of stores runs past its chunk");
  for (uint32_t i = 0; i < n; ++i) {
    GuestWrite w;
    w.base = u8();
    w.offset = u32();
    w.bytes = str();
    if (w.base > 3) throw RecordingError("a store relative to no argument");
    c.writes.push_back(std::move(w));
  }
  if (c.out_fd > 2) throw RecordingError("output to a stream other than 1 or 2");
  return c;
}

End Decoder::end() {
  End e;
  uint8_t how = u8();
  if (how > static_cast<uint8_t>(RunResult::End::Killed)) throw RecordingError("an unknown way to end");
  e.how = static_cast<RunResult::End>(how);
  e.status = static_cast<int32_t>(u32());
  e.counted = u8() != 0;
  e.insns = u64();
  uint8_t kind = u8();
  if (kind > static_cast<uint8_t>(FaultKind::Breakpoint)) throw RecordingError("an unknown fault");
  e.fault.kind = static_cast<FaultKind>(kind);
  e.fault.eip = u32();
  e.fault.addr = u32();
  e.fault.access = str();
  uint8_t limit = u8();
  if (limit > static_cast<uint8_t>(Limit::Terminated)) throw RecordingError("an unknown limit");
  e.limit = static_cast<Limit>(limit);
  return e;
}

void Decoder::skip(Tag tag) {
  switch (tag) {
    case Tag::Header: header(); return;
    case Tag::End: end(); return;
    case Tag::Tsc: u64(); return;
    case Tag::Start:
      u32(), u32(), u32();
      bytes(u32()), bytes(u32());
      for (uint32_t argc = u32(), i = 0; i < argc; ++i) bytes(u32());
      bytes(u32());
      return;
    case Tag::Call:
      bytes(4 * 7 + 1);
      bytes(u32());
      for (uint32_t n = u32(), i = 0; i < n; ++i) {
        bytes(5);
        bytes(u32());
      }
      return;
  }
}

}  // namespace tavik::record
