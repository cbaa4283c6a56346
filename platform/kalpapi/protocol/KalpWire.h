// The stand-in variable server's socket protocol, shared by server and client library.
//
// Every message is a frame: a 32-bit little-endian body length, then the body. A request body
// starts with its 8-bit operation code, a reply body with the 32-bit status. Numbers are
// little-endian; a text or byte block is a 32-bit length followed by its bytes. A connection
// carries one request and its reply at a time. A connection that registered a component or a
// provider is turned around: from then on the server sends the requests (state report, lock)
// and the client library's thread answers them.
#ifndef KALPWIRE_H
#define KALPWIRE_H

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kalpwire {

// Requests longer than this are refused by the server (the connection is closed).
constexpr uint32_t kMaxFrame = 16u << 20;
// Replies longer than this are refused by the client (a whole-tree dump may be large).
constexpr uint32_t kMaxReply = 256u << 20;

// The socket when KALPAPI_SOCKET is unset or empty: in a folder that only its owner can write,
// so that no other local user can put a server of their own in the way. For root the system's
// run folder; for anybody else the login's runtime folder, or a folder of their own under /tmp
// where there is none.
inline std::string defaultSocketPath(uid_t euid, const char* runtimeDir) {
  if (euid == 0) return "/run/kalpapi/kalpapi.sock";
  if (runtimeDir && runtimeDir[0] == '/') return std::string(runtimeDir) + "/kalpapi.sock";
  return "/tmp/kalpapi-" + std::to_string(euid) + "/kalpapi.sock";
}

// Why the folder of a socket cannot be trusted by user uid, or "" when it can: it must be a
// folder that only uid or root owns and that neither group nor others can write, so that no
// other local user can have put a server of their own there.
inline std::string untrustedFolder(const std::string& socket, uid_t uid) {
  const size_t slash = socket.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string(".")
                             : slash == 0               ? std::string("/")
                                                        : socket.substr(0, slash);
  struct stat info;
  if (::stat(folder.c_str(), &info) != 0) return std::string();  // no server there either
  if (!S_ISDIR(info.st_mode)) return "the socket folder '" + folder + "' is not a folder";
  if (info.st_mode & (S_IWGRP | S_IWOTH)) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return "other users can write the socket folder '" + folder + "' (mode " + mode + ")";
  }
  if (info.st_uid != uid && info.st_uid != 0)
    return "the socket folder '" + folder + "' belongs to another user (uid " + std::to_string(info.st_uid) +
           ")";
  return std::string();
}

// Whether KALPAPI_SOCKET names the socket (else the default is used).
inline bool socketFromEnvironment() {
  const char* env = std::getenv("KALPAPI_SOCKET");
  return env && *env;
}

// The unix socket path: KALPAPI_SOCKET, else the default for this user.
inline std::string socketPath() {
  if (socketFromEnvironment()) return std::getenv("KALPAPI_SOCKET");
  return defaultSocketPath(::geteuid(), std::getenv("XDG_RUNTIME_DIR"));
}

enum Op : uint8_t {
  // The KalpApi calls.
  kOpen = 1,                // path                       -> handle
  kGetType = 2,             // handle                     -> type
  kRead = 3,                // handle, u16 count          -> bytes (exactly count)
  kWrite = 4,               // handle, bytes              ->
  kClose = 5,               // handle                     ->
  kTxtRead = 6,             // path, u32 capacity         -> text (at most capacity - 1 bytes)
  kTxtWrite = 7,            // path, text                 -> reason text
  kOpenDir = 8,             // path                       -> directory handle
  kReadDir = 9,             // directory handle           -> valid, member name, separator
  kCloseDir = 10,           // directory handle           ->
  kDeviceState = 11,        //                          -> state
  kRegisterComponent = 12,  // name               ->  (connection turns around)
  kRegisterProvider = 13,   // name               ->  (connection turns around)
  // Operator calls (kalpvar).
  kSetDeviceState = 20,  // state                 ->
  kSetFault = 21,        // path, op, status      -> reason text
  kDump = 22,            // path                  -> JSON text
  kReport = 23,          // component, directory  -> i32 callback result, reason text
  kProviderLock = 24,    // name                  -> i32 lock result, i32 unlock result, reason text
  // Sent by the server on a turned-around connection.
  kCallReport = 40,  // directory             -> i32 callback result
  kCallLock = 41,    // i32 operation         -> i32 callback result
  kDisplaced = 42,   //  (no answer) the registration ended (the server no longer sends it: a
                     //  live registration is never taken over)
};

// A server that cannot take a connection answers its first request with this status (the one
// the client library gives for "no communication") and a reason text, then closes it. The
// server never answers a request with this status otherwise.
constexpr uint32_t kRefusedStatus = 0x81000003;

// Builds a frame: the length is patched in by finish().
class Out {
 public:
  Out() { buffer_.assign(4, '\0'); }
  void reset() { buffer_.assign(4, '\0'); }
  Out& u8(uint8_t v) {
    buffer_.push_back(static_cast<char>(v));
    return *this;
  }
  Out& u16(uint16_t v) { return raw(&v, 2); }
  Out& u32(uint32_t v) { return raw(&v, 4); }
  Out& i32(int32_t v) { return raw(&v, 4); }
  Out& bytes(const void* data, size_t n) {
    u32(static_cast<uint32_t>(n));
    return raw(data, n);
  }
  Out& text(const std::string& s) { return bytes(s.data(), s.size()); }
  Out& raw(const void* data, size_t n) {
    buffer_.append(static_cast<const char*>(data), n);
    return *this;
  }
  const std::string& finish() {
    uint32_t n = static_cast<uint32_t>(buffer_.size() - 4);
    std::memcpy(buffer_.data(), &n, 4);
    return buffer_;
  }

 private:
  std::string buffer_;
};

// Reads the fields of a frame body; every getter fails (returns false) past the end.
class In {
 public:
  In(const char* data, size_t size) : p_(data), end_(data + size) {}
  bool u8(uint8_t& v) { return raw(&v, 1); }
  bool u16(uint16_t& v) { return raw(&v, 2); }
  bool u32(uint32_t& v) { return raw(&v, 4); }
  bool i32(int32_t& v) { return raw(&v, 4); }
  bool text(std::string& s) {
    uint32_t n;
    if (!u32(n) || static_cast<size_t>(end_ - p_) < n) return false;
    s.assign(p_, n);
    p_ += n;
    return true;
  }
  bool done() const { return p_ == end_; }

 private:
  bool raw(void* v, size_t n) {
    if (static_cast<size_t>(end_ - p_) < n) return false;
    std::memcpy(v, p_, n);
    p_ += n;
    return true;
  }
  const char* p_;
  const char* end_;
};

inline bool sendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

enum class Received {
  Frame,    // body holds the frame's body
  Idle,     // the socket's receive timeout passed before the first byte of a frame
  Stalled,  // the receive timeout passed in the middle of a frame
  Closed,   // end of stream or an error
  Broken,   // a frame longer than allowed, or more than one frame sent at once
};

// Receives one frame's body into body. The body grows with the bytes that arrive, never ahead
// of them, so a header that announces a long frame holds no memory by itself. On a socket
// without a receive timeout the result is Frame, Closed or Broken.
inline Received receiveFrame(int fd, std::string& body, uint32_t maxLength = kMaxFrame) {
  constexpr size_t kFirstRead = 4096;    // the header and, in the same call, a short body
  constexpr size_t kGrowth = 64u << 10;  // at least this much room per further read
  body.resize(kFirstRead);
  size_t have = 0;
  while (have < 4) {
    ssize_t n = ::recv(fd, &body[have], kFirstRead - have, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
      return have == 0 ? Received::Idle : Received::Stalled;
    if (n <= 0) return Received::Closed;
    have += static_cast<size_t>(n);
  }
  uint32_t length;
  std::memcpy(&length, body.data(), 4);
  if (length > maxLength) return Received::Broken;
  size_t got = have - 4;
  if (got > length) return Received::Broken;  // the peer sent more than one frame at once
  body.erase(0, 4);
  while (got < length) {
    if (body.size() == got) {
      const size_t next = std::min<size_t>(length, got + std::max(got, kGrowth));
      if (next > body.capacity()) {
        // A block of exactly the next size: growing in place would round it up to twice the
        // old one, so that a stalled 16 MiB frame could hold far more than 16 MiB.
        std::string bigger;
        bigger.reserve(next);
        bigger.assign(body, 0, got);
        body.swap(bigger);
      }
      body.resize(next);
    }
    size_t room = std::min<size_t>(body.size(), length) - got;
    ssize_t n = ::recv(fd, &body[got], room, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Received::Stalled;
    if (n <= 0) return Received::Closed;
    got += static_cast<size_t>(n);
  }
  body.resize(length);
  return Received::Frame;
}

// Receives one frame's body into body. False on end of stream, error, timeout or a frame
// longer than maxLength.
inline bool recvFrame(int fd, std::string& body, uint32_t maxLength = kMaxFrame) {
  return receiveFrame(fd, body, maxLength) == Received::Frame;
}

}  // namespace kalpwire

#endif
