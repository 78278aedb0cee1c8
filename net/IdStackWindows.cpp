#include "net/IdStackWindows.h"

#include <cstring>

#include "net/IdWinSock2.h"

namespace {

SOCKET AsSocket(TIdStackSocketHandle s) {
  return static_cast<SOCKET>(s);
}

int Fail(int code) {
  IdWSASetLastError(code);
  return SOCKET_ERROR;
}

bool ValidPort(int port) {
  return port >= 0 && port <= 0xFFFF;
}

TIdIn4Addr AddressOf(const in_addr& a) {
  TIdIn4Addr out;
  std::memcpy(&out, &a, 4);
  return out;
}

// Copies a list into a set; the caller has checked its size.
void FillSet(fd_set& set, const TIdSocketList* list) {
  set.fd_count = 0;
  if (list == nullptr) return;
  for (TIdStackSocketHandle s : *list) set.fd_array[set.fd_count++] = AsSocket(s);
}

// select leaves the ready sockets at the front of the set, in set order.
void KeepReady(TIdSocketList* list, const fd_set& set) {
  if (list == nullptr) return;
  list->clear();
  for (u_int i = 0; i < set.fd_count; ++i) {
    list->push_back(static_cast<TIdStackSocketHandle>(set.fd_array[i]));
  }
}

// UTF-16 to UTF-8, the encoding of the window's texts.
std::string Utf8Of(const wchar_t* text, int length) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
  return out;
}

}  // namespace

BOOL(WINAPI* IdGetComputerNameExW)(COMPUTER_NAME_FORMAT, LPWSTR, LPDWORD) = &GetComputerNameExW;

TIdStack* NewPlatformStack() {
  return new TIdStackWindows();
}

TIdStackWindows::TIdStackWindows() {
  if (SocketLibraryStarted()) return;
  WSADATA data;
  if (StartSocketLibrary(MAKEWORD(2, 2), &data) != 0) throw EIdStackInitializationFailed();
  NoteSocketLibraryStarted();
}

std::string TIdStackWindows::SocketErrorText(int code) {
  if (code == Id_WSAHOST_NOT_FOUND) return FormatSocketError(code, "Хост сервер не найден");
  return TIdStack::SocketErrorText(code);
}

int TIdStackWindows::LastPlatformError() {
  return IdWSAGetLastError();
}

void TIdStackWindows::FillLocalAddresses() {
  TStringList& list = LocalAddressList();
  list.Clear();
  // An empty name is the computer itself, whatever its name and the system's
  // code page: the name as text need not survive a trip through the ANSI call.
  const hostent* host = IdGetHostByName("");
  if (host == nullptr) CheckSocketResult(SOCKET_ERROR);
  for (char** a = host->h_addr_list; *a != nullptr; ++a) {
    list.Add(AddressToText(AddressOf(*reinterpret_cast<const in_addr*>(*a))));
  }
}

int TIdStackWindows::BindSocket(TIdStackSocketHandle s, int family, const std::string& ip,
                                int port) {
  // A port beyond 16 bits would otherwise be cut to another port silently.
  if (!ValidPort(port)) return Fail(WSAEINVAL);
  sockaddr_in a{};
  a.sin_family = static_cast<short>(family);
  a.sin_port = IdHtons(static_cast<u_short>(port));
  a.sin_addr.s_addr = ip.empty() ? 0 : ParseAddress(ip);
  return IdBind(AsSocket(s), reinterpret_cast<const sockaddr*>(&a), sizeof a);
}

int TIdStackWindows::CloseSocketHandle(TIdStackSocketHandle s) {
  return IdCloseSocket(AsSocket(s));
}

std::string TIdStackWindows::LookupHost(const std::string& name) {
  const hostent* host = IdGetHostByName(name.c_str());
  if (host == nullptr || host->h_addr_list[0] == nullptr) CheckSocketResult(SOCKET_ERROR);
  return AddressToText(AddressOf(*reinterpret_cast<const in_addr*>(host->h_addr_list[0])));
}

// The name as the system spells it, in UTF-8: a Cyrillic computer name (a
// Russian Windows's default) reads as itself on any code page. WinSock's ANSI
// name only when the system will not tell.
std::string TIdStackWindows::LocalHostName() {
  wchar_t wide[256] = {};
  DWORD length = 256;
  if (IdGetComputerNameExW(ComputerNameDnsHostname, wide, &length) && length > 0 && length < 256) {
    return Utf8Of(wide, static_cast<int>(length));
  }
  char name[250] = {};
  if (IdGetHostName(name, sizeof name) != 0) return std::string();
  name[sizeof name - 1] = '\0';
  return std::string(name);
}

int TIdStackWindows::ReceiveFrom(TIdStackSocketHandle s, void* buffer, int length, int flags,
                                 std::string& ip, int& port) {
  if (length < 0) return Fail(WSAEINVAL);
  sockaddr_in from{};
  int fromLength = sizeof from;
  // A datagram longer than the buffer fails with WSAEMSGSIZE and is gone.
  const int r = IdRecvFrom(AsSocket(s), static_cast<char*>(buffer), length, flags,
                           reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (r < 0) return r;
  ip = AddressToText(AddressOf(from.sin_addr));
  port = IdNtohs(from.sin_port);
  return r;
}

int TIdStackWindows::WaitSockets(TIdSocketList* readList, TIdSocketList* writeList,
                                 TIdSocketList* errorList, int timeoutMs) {
  for (const TIdSocketList* list : {readList, writeList, errorList}) {
    if (list != nullptr && list->size() > static_cast<std::size_t>(IdMaxWaitSockets)) {
      throw EIdStackSetSizeExceeded();
    }
  }
  static_assert(FD_SETSIZE >= IdMaxWaitSockets);
  fd_set sets[3];
  FillSet(sets[0], readList);
  FillSet(sets[1], writeList);
  FillSet(sets[2], errorList);
  timeval limit{};
  const timeval* limitPtr = nullptr;
  if (timeoutMs != IdTimeoutInfinite) {
    limit.tv_sec = timeoutMs / 1000;
    limit.tv_usec = (timeoutMs % 1000) * 1000;
    limitPtr = &limit;
  }
  const int r = IdSelect(0, &sets[0], &sets[1], &sets[2], limitPtr);
  if (r < 0) {
    // What a failed select leaves in the sets is unspecified: report none.
    for (fd_set& set : sets) set.fd_count = 0;
  }
  KeepReady(readList, sets[0]);
  KeepReady(writeList, sets[1]);
  KeepReady(errorList, sets[2]);
  return r;
}

int TIdStackWindows::SendToAddress(TIdStackSocketHandle s, const void* buffer, int length,
                                   int flags, const std::string& ip, int port) {
  if (length < 0 || !ValidPort(port)) return Fail(WSAEINVAL);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = IdHtons(static_cast<u_short>(port));
  to.sin_addr.s_addr = ParseAddress(ip);
  return IdSendTo(AsSocket(s), static_cast<const char*>(buffer), length, flags,
                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

int TIdStackWindows::SetSocketOption(TIdStackSocketHandle s, int level, int option,
                                     const void* value, int length) {
  return IdSetSockOpt(AsSocket(s), level, option, static_cast<const char*>(value), length);
}

TIdStackSocketHandle TIdStackWindows::OpenSocket(int family, int type, int protocol) {
  const SOCKET s = IdSocket(family, type, protocol);
  if (s == INVALID_SOCKET) return Id_INVALID_SOCKET;
  return static_cast<TIdStackSocketHandle>(s);
}

int TIdStackWindows::ShutdownSocket(TIdStackSocketHandle s, int how) {
  // Shutting the receiving side down must end a wait on the socket, as it
  // does on BSD sockets; WinSock's select sleeps on. An empty datagram to
  // the socket's own address makes it readable first.
  if (how != SD_SEND) WakeWaitOn(s);
  return IdShutdown(AsSocket(s), how);
}

void TIdStackWindows::WakeWaitOn(TIdStackSocketHandle s) {
  sockaddr_in self{};
  int length = sizeof self;
  if (IdGetSockName(AsSocket(s), reinterpret_cast<sockaddr*>(&self), &length) != 0) return;
  // Not bound yet: no datagram can be waited for.
  if (self.sin_port == 0) return;
  if (self.sin_addr.s_addr == 0) self.sin_addr.s_addr = ParseAddress("127.0.0.1");
  IdSendTo(AsSocket(s), "", 0, 0, reinterpret_cast<const sockaddr*>(&self), sizeof self);
}

void TIdStackWindows::LocalSocketAddress(TIdStackSocketHandle s, int& family, std::string& ip,
                                         int& port) {
  sockaddr_in a{};
  int length = sizeof a;
  CheckSocketResult(IdGetSockName(AsSocket(s), reinterpret_cast<sockaddr*>(&a), &length));
  family = a.sin_family;
  ip = AddressToText(AddressOf(a.sin_addr));
  port = IdNtohs(a.sin_port);
}
