// The tests' own socket calls on Windows. They load WS2_32.DLL for themselves,
// apart from the code under test, so the test program imports no socket
// library either.
#pragma once

#include <windows.h>
#include <winsock2.h>

#include <cstring>
#include <string>

#include "net/IdStackWindows.h"

using TPlatformStack = TIdStackWindows;

namespace nettest::sys {

// What sending on a closed socket fails with.
inline constexpr int kClosedSocketError = 10038;

struct Ws2 {
  int(WSAAPI* startup)(WORD, LPWSADATA);
  SOCKET(WSAAPI* socket)(int, int, int);
  int(WSAAPI* closesocket)(SOCKET);
  int(WSAAPI* bind)(SOCKET, const sockaddr*, int);
  int(WSAAPI* getsockname)(SOCKET, sockaddr*, int*);
  int(WSAAPI* getsockopt)(SOCKET, int, int, char*, int*);
  int(WSAAPI* sendto)(SOCKET, const char*, int, int, const sockaddr*, int);
  int(WSAAPI* recvfrom)(SOCKET, char*, int, int, sockaddr*, int*);
  int(WSAAPI* select)(int, fd_set*, fd_set*, fd_set*, const timeval*);
  int(WSAAPI* gethostname)(char*, int);
};

template <class Fn>
void Find(HMODULE library, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(library, name)));
}

// Loaded and started on first use, kept until the process ends.
inline const Ws2& Api() {
  static const Ws2 api = [] {
    Ws2 w{};
    const HMODULE library = ::LoadLibraryA("WS2_32.DLL");
    Find(library, "WSAStartup", w.startup);
    Find(library, "socket", w.socket);
    Find(library, "closesocket", w.closesocket);
    Find(library, "bind", w.bind);
    Find(library, "getsockname", w.getsockname);
    Find(library, "getsockopt", w.getsockopt);
    Find(library, "sendto", w.sendto);
    Find(library, "recvfrom", w.recvfrom);
    Find(library, "select", w.select);
    Find(library, "gethostname", w.gethostname);
    WSADATA data;
    w.startup(MAKEWORD(2, 2), &data);
    return w;
  }();
  return api;
}

inline sockaddr_in Address(unsigned long hostOrderIp, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  // Byte order by hand: htons and htonl are the library's too.
  a.sin_port = static_cast<u_short>(((port & 0xFF) << 8) | ((port >> 8) & 0xFF));
  const unsigned char ip[4] = {
      static_cast<unsigned char>(hostOrderIp >> 24), static_cast<unsigned char>(hostOrderIp >> 16),
      static_cast<unsigned char>(hostOrderIp >> 8), static_cast<unsigned char>(hostOrderIp)};
  std::memcpy(&a.sin_addr, ip, 4);
  return a;
}

inline int PortOf(const sockaddr_in& a) {
  const auto* p = reinterpret_cast<const unsigned char*>(&a.sin_port);
  return (p[0] << 8) | p[1];
}

inline int OpenUdp() {
  return static_cast<int>(Api().socket(AF_INET, SOCK_DGRAM, 0));
}

inline void Close(int s) {
  Api().closesocket(static_cast<SOCKET>(s));
}

// Binds to 127.0.0.1, or to every interface.
inline bool Bind(int s, int port, bool loopbackOnly) {
  sockaddr_in a = Address(loopbackOnly ? 0x7F000001ul : 0ul, port);
  return Api().bind(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

inline int LocalPort(int s) {
  sockaddr_in a{};
  int n = sizeof a;
  if (Api().getsockname(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&a), &n) != 0) {
    return -1;
  }
  return PortOf(a);
}

inline bool SendTo(int s, int port, const std::string& data) {
  sockaddr_in a = Address(0x7F000001ul, port);
  return Api().sendto(static_cast<SOCKET>(s), data.data(), static_cast<int>(data.size()), 0,
                      reinterpret_cast<sockaddr*>(&a), sizeof a) == static_cast<int>(data.size());
}

inline bool Readable(int s, int timeoutMs) {
  fd_set set;
  set.fd_count = 1;
  set.fd_array[0] = static_cast<SOCKET>(s);
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return Api().select(0, &set, nullptr, nullptr, &limit) > 0;
}

// Bytes received (or -1), with the sender's dotted address and port.
inline int ReceiveFrom(int s, char* buffer, int length, std::string& ip, int& port) {
  sockaddr_in from{};
  int n = sizeof from;
  const int r = Api().recvfrom(static_cast<SOCKET>(s), buffer, length, 0,
                               reinterpret_cast<sockaddr*>(&from), &n);
  if (r < 0) return -1;
  const auto* b = reinterpret_cast<const unsigned char*>(&from.sin_addr);
  ip = std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
       std::to_string(b[3]);
  port = PortOf(from);
  return r;
}

inline bool IsOpen(int s) {
  int type = 0;
  int n = sizeof type;
  return Api().getsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_TYPE,
                          reinterpret_cast<char*>(&type), &n) == 0;
}

// The socket's broadcast option, -1 when it cannot be read.
inline int BroadcastOption(int s) {
  BOOL value = -1;
  int n = sizeof value;
  if (Api().getsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_BROADCAST,
                       reinterpret_cast<char*>(&value), &n) != 0) {
    return -1;
  }
  return value;
}

// CPU time the process has used, in seconds (the C library's clock() is
// wall time here).
inline double ProcessCpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  auto seconds = [](const FILETIME& t) {
    return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                               t.dwLowDateTime) /
           1e7;
  };
  return seconds(kernel) + seconds(user);
}

inline std::string HostName() {
  char name[256] = {};
  if (Api().gethostname(name, sizeof name - 1) != 0) return std::string();
  return name;
}

}  // namespace nettest::sys
