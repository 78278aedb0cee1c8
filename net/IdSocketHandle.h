// Socket bindings: one socket with the local address it is bound to and the
// sender of the last datagram it received, kept in a collection that also
// holds the default port of new bindings.
#pragma once

#include <atomic>
#include <string>

#include "net/IdStack.h"
#include "runtime/Classes.h"

class EIdSocketHandleError : public EIdException {
 public:
  using EIdException::EIdException;
};

class EIdCouldNotBindSocket : public EIdSocketHandleError {
 public:
  EIdCouldNotBindSocket()
      : EIdSocketHandleError("Could not bind socket. Address and port are already in use.") {}
};

class EIdInvalidPortRange : public EIdSocketHandleError {
 public:
  EIdInvalidPortRange(int min, int max)
      : EIdSocketHandleError(Format("Invalid Port Range (%d - %d)", min, max)) {}
};

class EIdCanNotBindPortInRange : public EIdSocketHandleError {
 public:
  EIdCanNotBindPortInRange(int min, int max)
      : EIdSocketHandleError(Format("Can not bind in port range (%d - %d)", min, max)) {}
};

class EIdPackageSizeTooBig : public EIdSocketHandleError {
 public:
  EIdPackageSizeTooBig() : EIdSocketHandleError("Package Size Too Big.") {}
};

class EIdNotAllBytesSent : public EIdSocketHandleError {
 public:
  EIdNotAllBytesSent() : EIdSocketHandleError("Not all bytes sent.") {}
};

class TIdSocketHandle : public TCollectionItem {
 public:
  // Inside a TIdSocketHandles the binding starts on the collection's
  // DefaultPort; a binding without collection starts on port 0.
  explicit TIdSocketHandle(TCollection* ACollection);
  ~TIdSocketHandle() override;

  // Opens a new socket (closing the one held, if any).
  void AcquireSocket(int type = Id_SOCK_DGRAM, int protocol = 0);
  // Closes the socket once; the number, local and remote addresses stay.
  virtual void ReleaseSocket();
  // Binds to IP/Port, or to the highest free port of the client range when
  // Port is 0 and both range ends are set.
  void BindLocal();
  bool TryBindLocal();
  bool BindInPortRange();
  // Reads the bound address back into IP and Port.
  void RefreshLocal();
  void SetRemote(const std::string& ip, int port);
  // Sends one datagram to a dotted address.
  void SendDatagram(const std::string& ip, int port, const void* buffer, int length);
  // The raw receive on this socket: byte count or -1.
  virtual int ReceiveDatagram(void* buffer, int length, std::string& ip, int& port);
  void SetOption(int level, int option, const void* value, int length);
  void ClearBinding(bool resetLocal);

  TIdStackSocketHandle SocketHandle() const { return socket_handle_; }
  bool HasSocket() const { return has_socket_.load(); }
  const std::string& IP() const { return ip_; }
  void SetIP(std::string value) { ip_ = std::move(value); }
  int Port() const { return port_; }
  void SetPort(int value) { port_ = value; }
  const std::string& RemoteIP() const { return remote_ip_; }
  int RemotePort() const { return remote_port_; }
  int ClientPortMin() const { return client_port_min_; }
  void SetClientPortMin(int value) { client_port_min_ = value; }
  int ClientPortMax() const { return client_port_max_; }
  void SetClientPortMax(int value) { client_port_max_ = value; }

 private:
  TIdStackSocketHandle socket_handle_ = Id_INVALID_SOCKET;
  std::atomic<bool> has_socket_{false};  // read by the listener thread too
  std::string ip_;
  std::string remote_ip_;
  int port_ = 0;
  int remote_port_ = 0;
  int client_port_min_ = 0;
  int client_port_max_ = 0;
};

class TIdSocketHandles : public TOwnedCollection {
 public:
  explicit TIdSocketHandles(TPersistent* AOwner);

  // A new binding at the end, on DefaultPort.
  TIdSocketHandle* AddBinding();
  TIdSocketHandle* Items(int index) const;  // EListError outside 0..Count-1
  // The binding holding socket number s (last index first), or null.
  TIdSocketHandle* FindByHandle(TIdStackSocketHandle s) const;

  int DefaultPort() const { return default_port_; }
  // Existing bindings keep their port.
  void SetDefaultPort(int value) { default_port_ = value; }

 protected:
  TCollectionItem* CreateItem() override;

 private:
  int default_port_ = 0;
};
