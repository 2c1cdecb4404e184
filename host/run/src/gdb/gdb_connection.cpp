// GdbConnection: packets in and out, and the protocol's hex encoding.
#include "gdb/gdb_connection.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace tavik {
namespace {

const char kHex[] = "0123456789abcdef";

}  // namespace

// The acknowledgement and the reply go as two small writes: without this, the second waits for the debugger's
// delayed acknowledgement of the first, and every step costs tens of milliseconds.
GdbConnection::GdbConnection(int fd) : fd_(fd) {
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string hex_bytes(const uint8_t* p, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += kHex[p[i] >> 4];
    s += kHex[p[i] & 15];
  }
  return s;
}

bool parse_hex(const std::string& s, uint64_t& out) {
  if (s.empty() || s.size() > 16) return false;
  out = 0;
  for (char c : s) {
    int d = hex_digit(c);
    if (d < 0) return false;
    out = out << 4 | d;
  }
  return true;
}

bool decode_hex(const std::string& s, std::vector<uint8_t>& out) {
  if (s.size() % 2) return false;
  out.clear();
  for (size_t i = 0; i < s.size(); i += 2) {
    int hi = hex_digit(s[i]), lo = hex_digit(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return true;
}


GdbConnection::~GdbConnection() { ::close(fd_); }

int GdbConnection::get() {
  unsigned char c;
  ssize_t n;
  do n = ::recv(fd_, &c, 1, 0);
  while (n < 0 && errno == EINTR);
  return n == 1 ? c : -1;
}

bool GdbConnection::receive(std::string& payload) {
  for (;;) {
    int c = get();
    if (c < 0) return false;
    if (c != '$') continue;  // acknowledgements, interrupts and garbage between packets
    payload.clear();
    bool overlong = false;
    unsigned sum = 0;
    for (;;) {
      c = get();
      if (c < 0) return false;
      if (c == '#') break;
      if (c == '$') {  // a new packet starts inside the old one: the old one is lost
        payload.clear();
        overlong = false;
        sum = 0;
        continue;
      }
      sum += static_cast<unsigned>(c);
      if (payload.size() < kMaxPacket) payload += static_cast<char>(c);
      else overlong = true;
    }
    int h = get(), l = get();
    if (h < 0 || l < 0) return false;
    int hi = hex_digit(static_cast<char>(h)), lo = hex_digit(static_cast<char>(l));
    if (hi < 0 || lo < 0 || static_cast<unsigned>(hi << 4 | lo) != (sum & 0xff) || overlong) {
      ::send(fd_, "-", 1, MSG_NOSIGNAL);
      continue;
    }
    ::send(fd_, "+", 1, MSG_NOSIGNAL);
    return true;
  }
}

void GdbConnection::send(const std::string& payload) {
  unsigned sum = 0;
  std::string out = "$";
  for (char c : payload) {
    // Bytes with a meaning in the framing are escaped.
    if (c == '$' || c == '#' || c == '}' || c == '*') {
      out += '}';
      sum += '}';
      c = static_cast<char>(c ^ 0x20);
    }
    out += c;
    sum += static_cast<unsigned char>(c);
  }
  char tail[4];
  std::snprintf(tail, sizeof tail, "#%02x", sum & 0xff);
  out += tail;
  ::send(fd_, out.data(), out.size(), MSG_NOSIGNAL);
}

bool GdbConnection::interrupted() {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  unsigned char c;
  if (::recv(fd_, &c, 1, MSG_PEEK) != 1) return false;
  if (c != 0x03) return false;
  ::recv(fd_, &c, 1, 0);
  return true;
}

}  // namespace tavik
