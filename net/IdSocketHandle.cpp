#include "net/IdSocketHandle.h"

TIdSocketHandle::TIdSocketHandle(TCollection* ACollection) : TCollectionItem(ACollection) {
  ClearBinding(true);
  client_port_min_ = 0;
  client_port_max_ = 0;
  if (auto* handles = dynamic_cast<TIdSocketHandles*>(ACollection)) {
    port_ = handles->DefaultPort();
  }
}

TIdSocketHandle::~TIdSocketHandle() {
  ReleaseSocket();
}

void TIdSocketHandle::AcquireSocket(int type, int protocol) {
  ReleaseSocket();
  socket_handle_ = GlobalStack->NewSocket(type, protocol);
  has_socket_ = true;
}

void TIdSocketHandle::ReleaseSocket() {
  if (!has_socket_.exchange(false)) return;
  GlobalStack->ShutdownSocket(socket_handle_, Id_SD_Send);
  GlobalStack->CloseSocketHandle(socket_handle_);
}

void TIdSocketHandle::BindLocal() {
  if (port_ != 0 || client_port_min_ == 0 || client_port_max_ == 0) {
    if (!TryBindLocal()) throw EIdCouldNotBindSocket();
    return;
  }
  if (client_port_min_ > client_port_max_) {
    throw EIdInvalidPortRange(client_port_min_, client_port_max_);
  }
  if (!BindInPortRange()) throw EIdCanNotBindPortInRange(client_port_min_, client_port_max_);
}

bool TIdSocketHandle::TryBindLocal() {
  const int r = GlobalStack->BindSocket(socket_handle_, Id_PF_INET, ip_, port_);
  if (GlobalStack->CheckSocketResult(r, {Id_WSAEADDRINUSE})) return false;
  RefreshLocal();
  return true;
}

bool TIdSocketHandle::BindInPortRange() {
  for (int p = client_port_max_; p >= client_port_min_; --p) {
    port_ = p;
    if (TryBindLocal()) return true;
  }
  return false;
}

void TIdSocketHandle::RefreshLocal() {
  int family = 0;
  GlobalStack->LocalSocketAddress(socket_handle_, family, ip_, port_);
}

void TIdSocketHandle::SetRemote(const std::string& ip, int port) {
  remote_ip_ = ip;
  remote_port_ = port;
}

void TIdSocketHandle::SendDatagram(const std::string& ip, int port, const void* buffer,
                                   int length) {
  // A released socket keeps its number, which the system may already have
  // given to another descriptor: never send through it.
  if (!has_socket_) GlobalStack->RaiseSocketErrorCode(Id_WSAENOTSOCK);
  const int r = GlobalStack->SendToAddress(socket_handle_, buffer, length, 0, ip, port);
  if (r == Id_SOCKET_ERROR) {
    if (GlobalStack->LastPlatformError() == Id_WSAEMSGSIZE) throw EIdPackageSizeTooBig();
    GlobalStack->CheckSocketResult(r);
  }
  if (r != length) throw EIdNotAllBytesSent();
}

int TIdSocketHandle::ReceiveDatagram(void* buffer, int length, std::string& ip, int& port) {
  return GlobalStack->ReceiveFrom(socket_handle_, buffer, length, 0, ip, port);
}

void TIdSocketHandle::SetOption(int level, int option, const void* value, int length) {
  GlobalStack->CheckSocketResult(
      GlobalStack->SetSocketOption(socket_handle_, level, option, value, length));
}

void TIdSocketHandle::ClearBinding(bool resetLocal) {
  has_socket_ = false;
  socket_handle_ = Id_INVALID_SOCKET;
  if (resetLocal) {
    ip_.clear();
    port_ = 0;
  }
  remote_ip_.clear();
  remote_port_ = 0;
}

// ---------------------------------------------------------------- TIdSocketHandles

TIdSocketHandles::TIdSocketHandles(TPersistent* AOwner) : TOwnedCollection(AOwner) {}

TCollectionItem* TIdSocketHandles::CreateItem() {
  return new TIdSocketHandle(this);
}

TIdSocketHandle* TIdSocketHandles::AddBinding() {
  return static_cast<TIdSocketHandle*>(Add());
}

TIdSocketHandle* TIdSocketHandles::Items(int index) const {
  return static_cast<TIdSocketHandle*>(TOwnedCollection::Items(index));
}

TIdSocketHandle* TIdSocketHandles::FindByHandle(TIdStackSocketHandle s) const {
  for (int i = Count() - 1; i >= 0; --i) {
    TIdSocketHandle* binding = Items(i);
    if (binding->SocketHandle() == s) return binding;
  }
  return nullptr;
}
