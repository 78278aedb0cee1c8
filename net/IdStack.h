// The socket stack: the one place where the networking layer touches the
// platform's sockets. TIdStack is the facade; a concrete class per platform
// implements its socket calls. Error codes seen through the facade are always
// the WinSock numbers, whatever the platform, so messages and tolerated-code
// tests read the same everywhere.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "runtime/Classes.h"
#include "runtime/Events.h"
#include "runtime/Exception.h"

using TIdStackSocketHandle = int;
using TIdSocketList = std::vector<TIdStackSocketHandle>;
// An IPv4 address as four bytes in network order, held in memory order.
using TIdIn4Addr = std::uint32_t;

inline constexpr TIdStackSocketHandle Id_INVALID_SOCKET = -1;
inline constexpr int Id_SOCKET_ERROR = -1;
inline constexpr int Id_PF_INET = 2;
inline constexpr int Id_SOCK_DGRAM = 2;
inline constexpr int Id_SD_Send = 1;
inline constexpr int Id_SD_Both = 2;
// Socket level and options in WinSock numbering; the platform class maps them.
inline constexpr int Id_SOL_SOCKET = 0xFFFF;
inline constexpr int Id_SO_BROADCAST = 0x20;
// WaitSockets timeout meaning "no limit".
inline constexpr int IdTimeoutInfinite = -2;
// Sockets one wait list may hold.
inline constexpr int IdMaxWaitSockets = 64;

// WinSock error numbers used by name in the code.
inline constexpr int Id_WSAEINTR = 10004;
inline constexpr int Id_WSAEINVAL = 10022;
inline constexpr int Id_WSAENOTSOCK = 10038;
inline constexpr int Id_WSAEMSGSIZE = 10040;
inline constexpr int Id_WSAENOPROTOOPT = 10042;
inline constexpr int Id_WSAEADDRINUSE = 10048;
inline constexpr int Id_WSAHOST_NOT_FOUND = 11001;

class EIdException : public Exception {
 public:
  using Exception::Exception;
};

class EIdSocketError : public EIdException {
 public:
  EIdSocketError(int code, std::string message)
      : EIdException(std::move(message)), error_code_(code) {}
  int ErrorCode() const { return error_code_; }

 private:
  int error_code_;
};

// Failure of the platform library's loading or binding. Platforms that link
// their socket calls directly never raise it.
class EIdWS2StubError : public EIdException {
 public:
  EIdWS2StubError(std::string heading, int systemCode);
  const std::string& Heading() const { return heading_; }
  int SystemCode() const { return system_code_; }
  const std::string& SystemText() const { return system_text_; }

 private:
  std::string heading_;
  int system_code_;
  std::string system_text_;
};

class EIdStackError : public EIdException {
 public:
  using EIdException::EIdException;
};

class EIdStackInitializationFailed : public EIdStackError {
 public:
  EIdStackInitializationFailed() : EIdStackError("Winsock Initialization Error.") {}
};

class EIdStackSetSizeExceeded : public EIdStackError {
 public:
  EIdStackSetSizeExceeded() : EIdStackError("Set Size Exceeded.") {}
};

class EIdInvalidSocket : public EIdException {
 public:
  EIdInvalidSocket() : EIdException("Cannot allocate socket.") {}
};

// Cuts the text before the first Delimiter off Text and returns it; the
// delimiter goes too. Without a delimiter the whole text is returned and Text
// becomes empty.
std::string CutToken(std::string& Text, const std::string& Delimiter);

class TIdStack : public TObject {
 public:
  TIdStack() = default;
  ~TIdStack() override = default;

  // Refills LocalAddressList with the host's IPv4 addresses.
  virtual void FillLocalAddresses() = 0;
  // Item 0 of LocalAddresses(); EStringListError when there is none.
  virtual std::string FirstLocalAddress();
  // The refilled list (main thread only).
  virtual TStringList& LocalAddresses();

  // Raw calls: they return the platform result (-1 on failure, the code then
  // in LastPlatformError on the calling thread).
  virtual int BindSocket(TIdStackSocketHandle s, int family, const std::string& ip, int port) = 0;
  virtual int CloseSocketHandle(TIdStackSocketHandle s) = 0;
  virtual std::string LookupHost(const std::string& name) = 0;  // raises
  virtual std::string LocalHostName() = 0;                      // empty when unknown
  virtual int ReceiveFrom(TIdStackSocketHandle s, void* buffer, int length, int flags,
                          std::string& ip, int& port) = 0;
  // Absent lists are null. Each present list is replaced by its ready sockets.
  virtual int WaitSockets(TIdSocketList* readList, TIdSocketList* writeList,
                          TIdSocketList* errorList, int timeoutMs) = 0;
  virtual int SendToAddress(TIdStackSocketHandle s, const void* buffer, int length, int flags,
                            const std::string& ip, int port) = 0;
  virtual int SetSocketOption(TIdStackSocketHandle s, int level, int option, const void* value,
                              int length) = 0;
  virtual TIdStackSocketHandle OpenSocket(int family, int type, int protocol) = 0;
  virtual int ShutdownSocket(TIdStackSocketHandle s, int how) = 0;
  virtual std::string SocketErrorText(int code);
  virtual int LastPlatformError() = 0;
  virtual void LocalSocketAddress(TIdStackSocketHandle s, int& family, std::string& ip,
                                  int& port) = 0;  // raises
  virtual std::string AddressToText(TIdIn4Addr address);
  virtual void TextToAddress(const std::string& text, TIdIn4Addr& address);

  // False when result is not -1. Otherwise true when the calling thread's
  // platform error is tolerated; any other error raises EIdSocketError.
  bool CheckSocketResult(int result, std::initializer_list<int> tolerated = {});
  [[noreturn]] void RaiseSocketErrorCode(int code);
  TIdStackSocketHandle NewSocket(int type, int protocol);
  std::string ResolveToAddress(const std::string& host);
  bool IsDottedQuad(const std::string& text);
  TIdIn4Addr ParseAddress(const std::string& text);

  int LastSocketError() const { return last_socket_error_.load(); }

  // A new instance of StackClass.
  static TIdStack* MakeStack();

 protected:
  // LocalAddressList, created on first use.
  TStringList& LocalAddressList();
  // The socket error message: the code and its text under one heading.
  static std::string FormatSocketError(int code, const std::string& text);

 private:
  std::atomic<int> last_socket_error_{0};
  std::unique_ptr<TStringList> local_address_list_;
};

using TIdStackClass = TIdStack* (*)();

// The one stack; it exists while at least one networking component is alive.
extern TIdStack* GlobalStack;
// What MakeStack builds: the platform's class unless a test puts another.
extern TIdStackClass StackClass;
// Guards LiveComponentCount and the creation and destruction of GlobalStack.
TCriticalSection& StackLock();
// Networking components alive (read under StackLock).
int LiveComponentCount();
// Called by every networking component's constructor and destructor.
void IdComponentCreated();
void IdComponentDestroyed();

// Defined once per platform, beside the platform's stack class.
// A new stack of the platform's class (what StackClass starts as).
TIdStack* NewPlatformStack();
// Whether the process-wide socket start-up has run, and how often it ran
// (once per process, whatever the number of stacks created).
bool SocketLibraryStarted();
int SocketLibraryStartCount();
