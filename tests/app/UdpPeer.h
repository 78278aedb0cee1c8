// A loopback UDP socket for tests: sends datagrams and receives with a deadline.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <string>

class UdpPeer {
 public:
  UdpPeer() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  ~UdpPeer() { ::close(fd_); }
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  int Port() const {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
  }
  bool SendTo(int port, const std::string& data) const {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) ==
           static_cast<ssize_t>(data.size());
  }
  // The next datagram and the port it came from, or nothing within ms.
  std::optional<std::string> Receive(int ms, int* fromPort = nullptr) const {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, ms) != 1) return std::nullopt;
    char buf[65536];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return std::nullopt;
    if (fromPort) *fromPort = ntohs(from.sin_port);
    return std::string(buf, static_cast<std::size_t>(n));
  }
  int Fd() const { return fd_; }

 private:
  int fd_;
};

// A UDP port on loopback that nobody holds right now.
inline int FreeUdpPort() {
  UdpPeer probe;
  return probe.Port();
}
