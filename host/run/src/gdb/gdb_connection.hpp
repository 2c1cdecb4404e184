// GdbConnection: the remote protocol's framing on one connected socket (checksums, acknowledgements,
// resynchronisation on garbage), and the protocol's hex encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavik {

class GdbConnection {
 public:
  explicit GdbConnection(int fd);
  ~GdbConnection();
  GdbConnection(const GdbConnection&) = delete;
  GdbConnection& operator=(const GdbConnection&) = delete;
  // The next well-formed packet's payload; false when the peer went away.
  bool receive(std::string& payload);
  void send(const std::string& payload);
  // True when the interrupt byte (0x03) waits between packets; never blocks.
  bool interrupted();
  static constexpr size_t kMaxPacket = 16384;
  // The PacketSize told to gdb: no payload either way is longer.
  static constexpr size_t kPacketSize = kMaxPacket - 1;

 private:
  int get();
  int fd_;
};

// The hex encoding of the protocol.
int hex_digit(char c);                                          // -1 for a non-digit
std::string hex_bytes(const uint8_t* p, size_t n);
bool parse_hex(const std::string& s, uint64_t& out);            // a number of at most 16 digits
bool decode_hex(const std::string& s, std::vector<uint8_t>& out);  // pairs of digits

}  // namespace tavik
