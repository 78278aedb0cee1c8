// The socket stack over WinSock 2 (Windows), whose calls are loaded at run
// time. Error numbers are WinSock's own.
#pragma once

#include "net/IdStack.h"

class TIdStackWindows : public TIdStack {
 public:
  TIdStackWindows();

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

 private:
  void WakeWaitOn(TIdStackSocketHandle s);
};
