// The tests' own socket calls on Linux: BSD calls straight, so the peer does
// not depend on the code under test.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "net/IdStackPosix.h"

using TPlatformStack = TIdStackPosix;

namespace nettest::sys {

// What sending on a closed socket fails with.
inline constexpr int kClosedSocketError = 10009;

inline sockaddr_in Address(std::uint32_t hostOrderIp, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(hostOrderIp);
  return a;
}

inline int OpenUdp() {
  return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

inline void Close(int s) {
  ::close(s);
}

// Binds to 127.0.0.1, or to every interface.
inline bool Bind(int s, int port, bool loopbackOnly) {
  sockaddr_in a = Address(loopbackOnly ? INADDR_LOOPBACK : INADDR_ANY, port);
  return ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

inline int LocalPort(int s) {
  sockaddr_in a{};
  socklen_t n = sizeof a;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n) != 0) return -1;
  return ntohs(a.sin_port);
}

inline bool SendTo(int s, int port, const std::string& data) {
  sockaddr_in a = Address(INADDR_LOOPBACK, port);
  return ::sendto(s, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) ==
         static_cast<ssize_t>(data.size());
}

inline bool Readable(int s, int timeoutMs) {
  pollfd p{s, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) > 0;
}

// Bytes received (or -1), with the sender's dotted address and port.
inline int ReceiveFrom(int s, char* buffer, int length, std::string& ip, int& port) {
  sockaddr_in from{};
  socklen_t n = sizeof from;
  const ssize_t r = ::recvfrom(s, buffer, static_cast<std::size_t>(length), 0,
                               reinterpret_cast<sockaddr*>(&from), &n);
  if (r < 0) return -1;
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
  ip = text;
  port = ntohs(from.sin_port);
  return static_cast<int>(r);
}

inline bool IsOpen(int s) {
  return ::fcntl(s, F_GETFD) != -1;
}

// The socket's broadcast option, -1 when it cannot be read.
inline int BroadcastOption(int s) {
  int value = -1;
  socklen_t n = sizeof value;
  if (::getsockopt(s, SOL_SOCKET, SO_BROADCAST, &value, &n) != 0) return -1;
  return value;
}

// CPU time the process has used, in seconds.
inline double ProcessCpuSeconds() {
  return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

inline std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return std::string();
  return name;
}

}  // namespace nettest::sys
