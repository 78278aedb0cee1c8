#include "net/IdStackPosix.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

// The platform's last socket error of the calling thread, already in WinSock
// numbering. Set only by failing calls, as the WinSock one is.
thread_local int t_last_error = 0;

std::atomic<bool> g_library_started{false};
std::atomic<int> g_library_start_count{0};

int Fail(int code) {
  t_last_error = code;
  return -1;
}

int FailErrno() {
  return Fail(WinSockErrorOfErrno(errno));
}

bool ValidPort(int port) {
  return port >= 0 && port <= 0xFFFF;
}

}  // namespace

int WinSockErrorOfErrno(int err) {
  // errno symbol -> the WinSock number of the same meaning.
  static constexpr struct {
    int err;
    int wsa;
  } kMap[] = {
      {EINTR, 10004},        {EBADF, 10009},           {EACCES, 10013},
      {EPERM, 10013},        {EFAULT, 10014},          {EINVAL, 10022},
      {EMFILE, 10024},       {ENFILE, 10024},          {EWOULDBLOCK, 10035},
      {EINPROGRESS, 10036},  {EALREADY, 10037},        {ENOTSOCK, 10038},
      {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},
      {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
      {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},    {EAFNOSUPPORT, 10047},
      {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},
      {ENETUNREACH, 10051},  {ENETRESET, 10052},       {ECONNABORTED, 10053},
      {ECONNRESET, 10054},   {ENOBUFS, 10055},         {ENOMEM, 10055},
      {EISCONN, 10056},      {ENOTCONN, 10057},        {ESHUTDOWN, 10058},
      {EPIPE, 10058},        {ETOOMANYREFS, 10059},    {ETIMEDOUT, 10060},
      {ECONNREFUSED, 10061}, {ELOOP, 10062},           {ENAMETOOLONG, 10063},
      {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},    {ENOTEMPTY, 10066},
  };
  for (const auto& m : kMap) {
    if (m.err == err) return m.wsa;
  }
  return err;
}

int WinSockErrorOfLookup(int eai, int err) {
  switch (eai) {
    case EAI_NONAME:
      return Id_WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
      return 11002;  // WSATRY_AGAIN
    case EAI_FAIL:
      return 11003;  // WSANO_RECOVERY
    case EAI_NODATA:
      return 11004;  // WSANO_DATA
    case EAI_ADDRFAMILY:
      return 11004;
    case EAI_MEMORY:
      return 10055;
    case EAI_SYSTEM:
      return WinSockErrorOfErrno(err);
    default:
      return Id_WSAHOST_NOT_FOUND;
  }
}

bool SocketLibraryStarted() {
  return g_library_started.load();
}
int SocketLibraryStartCount() {
  return g_library_start_count.load();
}

TIdStack* NewPlatformStack() {
  return new TIdStackPosix();
}

TIdStackPosix::TIdStackPosix() {
  // BSD sockets need no library loading or start-up call; only the first
  // stack of the process is counted as the start-up.
  bool expected = false;
  if (g_library_started.compare_exchange_strong(expected, true)) ++g_library_start_count;
}

std::string TIdStackPosix::SocketErrorText(int code) {
  if (code == Id_WSAHOST_NOT_FOUND) {
    return FormatSocketError(code, "Хост сервер не найден");
  }
  return TIdStack::SocketErrorText(code);
}

int TIdStackPosix::LastPlatformError() {
  return t_last_error;
}

void TIdStackPosix::FillLocalAddresses() {
  TStringList& list = LocalAddressList();
  list.Clear();
  ifaddrs* all = nullptr;
  if (::getifaddrs(&all) != 0) {
    FailErrno();
    CheckSocketResult(-1);
  }
  std::vector<std::string> loopback;
  for (ifaddrs* i = all; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if ((i->ifa_flags & IFF_UP) == 0) continue;
    TIdIn4Addr a;
    std::memcpy(&a, &reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr, 4);
    // The operator wants the address others reach this host by, so the
    // loopback ones go last.
    if ((i->ifa_flags & IFF_LOOPBACK) != 0) {
      loopback.push_back(AddressToText(a));
    } else {
      list.Add(AddressToText(a));
    }
  }
  ::freeifaddrs(all);
  for (std::string& a : loopback) list.Add(std::move(a));
}

int TIdStackPosix::BindSocket(TIdStackSocketHandle s, int family, const std::string& ip, int port) {
  // A port beyond 16 bits would otherwise be cut to another port silently.
  if (!ValidPort(port)) return Fail(Id_WSAEINVAL);
  sockaddr_in a{};
  a.sin_family = static_cast<sa_family_t>(family);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = ip.empty() ? htonl(INADDR_ANY) : ParseAddress(ip);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) return FailErrno();
  return 0;
}

int TIdStackPosix::CloseSocketHandle(TIdStackSocketHandle s) {
  if (::close(s) != 0) return FailErrno();
  return 0;
}

std::string TIdStackPosix::LookupHost(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int r = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
  if (r != 0 || found == nullptr) {
    Fail(WinSockErrorOfLookup(r != 0 ? r : EAI_NONAME, errno));
    if (found != nullptr) ::freeaddrinfo(found);
    CheckSocketResult(-1);
  }
  TIdIn4Addr a;
  std::memcpy(&a, &reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr, 4);
  ::freeaddrinfo(found);
  return AddressToText(a);
}

std::string TIdStackPosix::LocalHostName() {
  char name[250];
  if (::gethostname(name, sizeof name) != 0) return std::string();
  name[sizeof name - 1] = '\0';
  return std::string(name);
}

int TIdStackPosix::ReceiveFrom(TIdStackSocketHandle s, void* buffer, int length, int flags,
                               std::string& ip, int& port) {
  if (length < 0) return Fail(Id_WSAEINVAL);
  sockaddr_in from{};
  socklen_t fromLength = sizeof from;
  // MSG_TRUNC makes recvfrom report the datagram's real length, so a
  // datagram longer than the buffer is recognised (and consumed) instead of
  // being delivered cut short.
  const ssize_t r = ::recvfrom(s, buffer, static_cast<std::size_t>(length), flags | MSG_TRUNC,
                               reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (r < 0) return FailErrno();
  if (r > length) return Fail(Id_WSAEMSGSIZE);
  TIdIn4Addr a;
  std::memcpy(&a, &from.sin_addr, 4);
  ip = AddressToText(a);
  port = ntohs(from.sin_port);
  return static_cast<int>(r);
}

int TIdStackPosix::WaitSockets(TIdSocketList* readList, TIdSocketList* writeList,
                               TIdSocketList* errorList, int timeoutMs) {
  TIdSocketList* lists[3] = {readList, writeList, errorList};
  const short events[3] = {POLLIN, POLLOUT, POLLPRI};
  for (TIdSocketList* list : lists) {
    if (list != nullptr && list->size() > static_cast<std::size_t>(IdMaxWaitSockets)) {
      throw EIdStackSetSizeExceeded();
    }
  }
  // The set limit bounds the descriptors, so the wait needs no allocation.
  std::array<pollfd, 3 * IdMaxWaitSockets> fds;
  std::size_t count = 0;
  for (int l = 0; l < 3; ++l) {
    if (lists[l] == nullptr) continue;
    for (TIdStackSocketHandle s : *lists[l]) fds[count++] = pollfd{s, events[l], 0};
  }
  timespec limit{};
  timespec* limitPtr = nullptr;
  if (timeoutMs != IdTimeoutInfinite) {
    limit.tv_sec = timeoutMs / 1000;
    limit.tv_nsec = static_cast<long>(timeoutMs % 1000) * 1000 * 1000;
    limitPtr = &limit;
  }
  int r = ::ppoll(fds.data(), count, limitPtr, nullptr);
  if (r < 0) {
    FailErrno();
  } else {
    // A closed descriptor fails the whole wait, as it would for select.
    for (std::size_t i = 0; i < count; ++i) {
      if ((fds[i].revents & POLLNVAL) != 0) {
        r = Fail(Id_WSAENOTSOCK);
        break;
      }
    }
  }
  std::size_t at = 0;
  int ready = 0;
  for (int l = 0; l < 3; ++l) {
    if (lists[l] == nullptr) continue;
    TIdSocketList& list = *lists[l];
    std::size_t kept = 0;
    for (std::size_t i = 0; i < list.size(); ++i, ++at) {
      // An error or hang-up makes a socket readable: the receive reports it.
      const short wanted = l == 0 ? (POLLIN | POLLERR | POLLHUP) : events[l];
      if (r > 0 && (fds[at].revents & wanted) != 0) list[kept++] = list[i];
    }
    list.resize(kept);
    ready += static_cast<int>(kept);
  }
  return r < 0 ? r : ready;
}

int TIdStackPosix::SendToAddress(TIdStackSocketHandle s, const void* buffer, int length, int flags,
                                 const std::string& ip, int port) {
  if (length < 0 || !ValidPort(port)) return Fail(Id_WSAEINVAL);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = ParseAddress(ip);
  const ssize_t r = ::sendto(s, buffer, static_cast<std::size_t>(length), flags | MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (r < 0) return FailErrno();
  return static_cast<int>(r);
}

int TIdStackPosix::SetSocketOption(TIdStackSocketHandle s, int level, int option, const void* value,
                                   int length) {
  if (level == Id_SOL_SOCKET) {
    // The socket-level numbers differ from WinSock's; other levels agree.
    level = SOL_SOCKET;
    switch (option) {
      case 0x0004:
        option = SO_REUSEADDR;
        break;
      case 0x0008:
        option = SO_KEEPALIVE;
        break;
      case 0x0010:
        option = SO_DONTROUTE;
        break;
      case Id_SO_BROADCAST:
        option = SO_BROADCAST;
        break;
      case 0x1001:
        option = SO_SNDBUF;
        break;
      case 0x1002:
        option = SO_RCVBUF;
        break;
      default:
        return Fail(Id_WSAENOPROTOOPT);
    }
  }
  if (length < 0) return Fail(Id_WSAEINVAL);
  if (::setsockopt(s, level, option, value, static_cast<socklen_t>(length)) != 0) {
    return FailErrno();
  }
  return 0;
}

TIdStackSocketHandle TIdStackPosix::OpenSocket(int family, int type, int protocol) {
  const int s = ::socket(family, type | SOCK_CLOEXEC, protocol);
  if (s < 0) {
    FailErrno();
    return Id_INVALID_SOCKET;
  }
  return s;
}

int TIdStackPosix::ShutdownSocket(TIdStackSocketHandle s, int how) {
  if (::shutdown(s, how) != 0) return FailErrno();
  return 0;
}

void TIdStackPosix::LocalSocketAddress(TIdStackSocketHandle s, int& family, std::string& ip,
                                       int& port) {
  sockaddr_in a{};
  socklen_t length = sizeof a;
  int r = ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
  if (r != 0) r = FailErrno();
  CheckSocketResult(r);
  family = a.sin_family;
  TIdIn4Addr address;
  std::memcpy(&address, &a.sin_addr, 4);
  ip = AddressToText(address);
  port = ntohs(a.sin_port);
}
