#include "net/IdWinSock2.h"

#include <atomic>
#include <type_traits>

#include "runtime/Exception.h"

namespace {

std::atomic<HMODULE> g_library{nullptr};
std::atomic<bool> g_library_started{false};
std::atomic<int> g_library_start_count{0};

// One row per socket function: its export name, how to point its entry back
// at the placeholder and how to store the looked-up address in it.
struct EntryRow {
  const char* name;
  void (*reset)();
  void (*store)(FARPROC address);
};

template <class Fn, Fn& Entry, Fn Placeholder>
struct EntryOps {
  static void Reset() { Entry = Placeholder; }
  // Through the generic function type, which any function pointer casts from.
  static void Store(FARPROC address) {
    Entry = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(address));
  }
};

enum Row {
  kWSAStartup,
  kWSACleanup,
  kWSAGetLastError,
  kWSASetLastError,
  kSocket,
  kBind,
  kSendTo,
  kRecvFrom,
  kSelect,
  kSetSockOpt,
  kShutdown,
  kCloseSocket,
  kGetSockName,
  kGetHostName,
  kGetHostByName,
  kHtons,
  kNtohs,
  kRowCount
};

extern const EntryRow kEntryTable[kRowCount];

[[noreturn]] void RaiseCallError(Row row, int systemCode) {
  throw EIdWS2StubError(Format("Error on call Winsock2 library function %s", kEntryTable[row].name),
                        systemCode);
}

// Binds the row's entry to the export of the loaded library. Two threads
// binding the same row at once store the same address.
void BindEntry(Row row) {
  const HMODULE library = g_library.load();
  if (library == nullptr) RaiseCallError(row, WSANOTINITIALISED);
  const FARPROC address = ::GetProcAddress(library, kEntryTable[row].name);
  if (address == nullptr) RaiseCallError(row, static_cast<int>(::GetLastError()));
  kEntryTable[row].store(address);
}

int WSAAPI PlaceholderWSAStartup(WORD version, LPWSADATA data) {
  BindEntry(kWSAStartup);
  return IdWSAStartup(version, data);
}
int WSAAPI PlaceholderWSACleanup() {
  BindEntry(kWSACleanup);
  return IdWSACleanup();
}
int WSAAPI PlaceholderWSAGetLastError() {
  BindEntry(kWSAGetLastError);
  return IdWSAGetLastError();
}
void WSAAPI PlaceholderWSASetLastError(int code) {
  BindEntry(kWSASetLastError);
  IdWSASetLastError(code);
}
SOCKET WSAAPI PlaceholderSocket(int family, int type, int protocol) {
  BindEntry(kSocket);
  return IdSocket(family, type, protocol);
}
int WSAAPI PlaceholderBind(SOCKET s, const sockaddr* name, int length) {
  BindEntry(kBind);
  return IdBind(s, name, length);
}
int WSAAPI PlaceholderSendTo(SOCKET s, const char* buffer, int length, int flags,
                             const sockaddr* to, int toLength) {
  BindEntry(kSendTo);
  return IdSendTo(s, buffer, length, flags, to, toLength);
}
int WSAAPI PlaceholderRecvFrom(SOCKET s, char* buffer, int length, int flags, sockaddr* from,
                               int* fromLength) {
  BindEntry(kRecvFrom);
  return IdRecvFrom(s, buffer, length, flags, from, fromLength);
}
int WSAAPI PlaceholderSelect(int count, fd_set* readSet, fd_set* writeSet, fd_set* errorSet,
                             const timeval* timeout) {
  BindEntry(kSelect);
  return IdSelect(count, readSet, writeSet, errorSet, timeout);
}
int WSAAPI PlaceholderSetSockOpt(SOCKET s, int level, int option, const char* value, int length) {
  BindEntry(kSetSockOpt);
  return IdSetSockOpt(s, level, option, value, length);
}
int WSAAPI PlaceholderShutdown(SOCKET s, int how) {
  BindEntry(kShutdown);
  return IdShutdown(s, how);
}
int WSAAPI PlaceholderCloseSocket(SOCKET s) {
  BindEntry(kCloseSocket);
  return IdCloseSocket(s);
}
int WSAAPI PlaceholderGetSockName(SOCKET s, sockaddr* name, int* length) {
  BindEntry(kGetSockName);
  return IdGetSockName(s, name, length);
}
int WSAAPI PlaceholderGetHostName(char* name, int length) {
  BindEntry(kGetHostName);
  return IdGetHostName(name, length);
}
hostent* WSAAPI PlaceholderGetHostByName(const char* name) {
  BindEntry(kGetHostByName);
  return IdGetHostByName(name);
}
u_short WSAAPI PlaceholderHtons(u_short value) {
  BindEntry(kHtons);
  return IdHtons(value);
}
u_short WSAAPI PlaceholderNtohs(u_short value) {
  BindEntry(kNtohs);
  return IdNtohs(value);
}

}  // namespace

int(WSAAPI* IdWSAStartup)(WORD, LPWSADATA) = &PlaceholderWSAStartup;
int(WSAAPI* IdWSACleanup)() = &PlaceholderWSACleanup;
int(WSAAPI* IdWSAGetLastError)() = &PlaceholderWSAGetLastError;
void(WSAAPI* IdWSASetLastError)(int) = &PlaceholderWSASetLastError;
SOCKET(WSAAPI* IdSocket)(int, int, int) = &PlaceholderSocket;
int(WSAAPI* IdBind)(SOCKET, const sockaddr*, int) = &PlaceholderBind;
int(WSAAPI* IdSendTo)(SOCKET, const char*, int, int, const sockaddr*, int) = &PlaceholderSendTo;
int(WSAAPI* IdRecvFrom)(SOCKET, char*, int, int, sockaddr*, int*) = &PlaceholderRecvFrom;
int(WSAAPI* IdSelect)(int, fd_set*, fd_set*, fd_set*, const timeval*) = &PlaceholderSelect;
int(WSAAPI* IdSetSockOpt)(SOCKET, int, int, const char*, int) = &PlaceholderSetSockOpt;
int(WSAAPI* IdShutdown)(SOCKET, int) = &PlaceholderShutdown;
int(WSAAPI* IdCloseSocket)(SOCKET) = &PlaceholderCloseSocket;
int(WSAAPI* IdGetSockName)(SOCKET, sockaddr*, int*) = &PlaceholderGetSockName;
int(WSAAPI* IdGetHostName)(char*, int) = &PlaceholderGetHostName;
hostent*(WSAAPI* IdGetHostByName)(const char*) = &PlaceholderGetHostByName;
u_short(WSAAPI* IdHtons)(u_short) = &PlaceholderHtons;
u_short(WSAAPI* IdNtohs)(u_short) = &PlaceholderNtohs;

namespace {

template <auto& Entry, auto Placeholder>
constexpr EntryRow MakeRow(const char* name) {
  using Ops = EntryOps<std::remove_reference_t<decltype(Entry)>, Entry, Placeholder>;
  return EntryRow{name, &Ops::Reset, &Ops::Store};
}

const EntryRow kEntryTable[kRowCount] = {
    MakeRow<IdWSAStartup, &PlaceholderWSAStartup>("WSAStartup"),
    MakeRow<IdWSACleanup, &PlaceholderWSACleanup>("WSACleanup"),
    MakeRow<IdWSAGetLastError, &PlaceholderWSAGetLastError>("WSAGetLastError"),
    MakeRow<IdWSASetLastError, &PlaceholderWSASetLastError>("WSASetLastError"),
    MakeRow<IdSocket, &PlaceholderSocket>("socket"),
    MakeRow<IdBind, &PlaceholderBind>("bind"),
    MakeRow<IdSendTo, &PlaceholderSendTo>("sendto"),
    MakeRow<IdRecvFrom, &PlaceholderRecvFrom>("recvfrom"),
    MakeRow<IdSelect, &PlaceholderSelect>("select"),
    MakeRow<IdSetSockOpt, &PlaceholderSetSockOpt>("setsockopt"),
    MakeRow<IdShutdown, &PlaceholderShutdown>("shutdown"),
    MakeRow<IdCloseSocket, &PlaceholderCloseSocket>("closesocket"),
    MakeRow<IdGetSockName, &PlaceholderGetSockName>("getsockname"),
    MakeRow<IdGetHostName, &PlaceholderGetHostName>("gethostname"),
    MakeRow<IdGetHostByName, &PlaceholderGetHostByName>("gethostbyname"),
    MakeRow<IdHtons, &PlaceholderHtons>("htons"),
    MakeRow<IdNtohs, &PlaceholderNtohs>("ntohs"),
};

void ResetEntries() {
  for (const EntryRow& row : kEntryTable) row.reset();
}

// The library's state is given back when the process ends.
struct LibraryFinisher {
  ~LibraryFinisher() { FinishSocketLibrary(); }
} g_finisher;

}  // namespace

int StartSocketLibrary(WORD version, LPWSADATA data) {
  return StartSocketLibraryFrom(IdWinsockLibrary, version, data);
}

int StartSocketLibraryFrom(const char* libraryName, WORD version, LPWSADATA data) {
  if (g_library.load() != nullptr) return 0;
  const HMODULE library = ::LoadLibraryA(libraryName);
  if (library == nullptr) {
    throw EIdWS2StubError(Format("Error on loading Winsock2 library (%s)", libraryName),
                          static_cast<int>(::GetLastError()));
  }
  HMODULE expected = nullptr;
  if (!g_library.compare_exchange_strong(expected, library)) {
    // Another thread loaded it meanwhile; its start-up stands.
    ::FreeLibrary(library);
    return 0;
  }
  return IdWSAStartup(version, data);
}

void UnloadSocketLibrary() {
  const HMODULE old = g_library.exchange(nullptr);
  if (old == nullptr) return;
  ::FreeLibrary(old);
  ResetEntries();
}

void FinishSocketLibrary() {
  // Only a loaded library is cleaned up: the placeholder would raise here.
  if (g_library_started.load() && g_library.load() != nullptr) IdWSACleanup();
  UnloadSocketLibrary();
}

HMODULE SocketLibraryHandle() {
  return g_library.load();
}

void NoteSocketLibraryStarted() {
  if (!g_library_started.exchange(true)) g_library_start_count.fetch_add(1);
}

bool SocketLibraryStarted() {
  return g_library_started.load();
}

int SocketLibraryStartCount() {
  return g_library_start_count.load();
}
