// The socket stack over BSD sockets (Linux).
#pragma once

#include "net/IdStack.h"

class TIdStackPosix : public TIdStack {
 public:
  TIdStackPosix();

  void FillLocalAddresses() override;
  int BindSocket(TIdStackSocketHandle s, int family, const std::string& ip, int port) override;
  int CloseSocketHandle(TIdStackSocketHandle s) override;
  std::string LookupHost(const std::string& name) override;
  std::string LocalHostName() override;
  int ReceiveFrom(TIdStackSocketHandle s, void* buffer, int length, int flags, std::string& ip,
                  int& port) override;
  int WaitSockets(TIdSocketList* readList, TIdSocketList* writeList, TIdSocketList* errorList,
                  int timeoutMs) override;
  int SendToAddress(TIdStackSocketHandle s, const void* buffer, int length, int flags,
                    const std::string& ip, int port) override;
  int SetSocketOption(TIdStackSocketHandle s, int level, int option, const void* value,
                      int length) override;
  TIdStackSocketHandle OpenSocket(int family, int type, int protocol) override;
  int ShutdownSocket(TIdStackSocketHandle s, int how) override;
  std::string SocketErrorText(int code) override;
  int LastPlatformError() override;
  void LocalSocketAddress(TIdStackSocketHandle s, int& family, std::string& ip, int& port) override;
};

// The WinSock number for an errno value (unlisted values pass unchanged).
int WinSockErrorOfErrno(int err);
// The WinSock number for a getaddrinfo result (EAI_...).
int WinSockErrorOfLookup(int eai, int err);
