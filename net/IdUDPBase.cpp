#include "net/IdUDPBase.h"

#include <cstdint>

TIdUDPBase::TIdUDPBase(TComponent* AOwner) : TIdComponent(AOwner) {}

TIdUDPBase::~TIdUDPBase() {
  // Only this class's own binding is left here: derived components have
  // deactivated in their own destructors.
  try {
    SetActive(false);
  } catch (...) {
    // Closing a socket reports nothing that could be acted on here.
  }
  own_binding_.reset();
}

void TIdUDPBase::SetActive(bool value) {
  if (value == IsActive()) return;
  // Loading marks every component of the form, this one included, until its
  // own end-of-loading notification.
  if (Loading()) {
    pending_active_ = value;
    return;
  }
  if (value) {
    AcquireBinding();
  } else {
    ReleaseBinding();
  }
}

void TIdUDPBase::SetBroadcastEnabled(bool value) {
  if (value == broadcast_enabled_) return;
  broadcast_enabled_ = value;
  if (IsActive()) ApplyBroadcast();
}

void TIdUDPBase::SendText(const std::string& host, int port, const std::string& text) {
  SendBytes(host, port, text.data(), static_cast<int>(text.size()));
}

void TIdUDPBase::SendBytes(const std::string& host, int port, const void* buffer, int byteCount) {
  const std::string address = GlobalStack->ResolveToAddress(host);
  AcquireBinding()->SendDatagram(address, port, buffer, byteCount);
}

void TIdUDPBase::Loaded() {
  TIdComponent::Loaded();
  const bool value = pending_active_;
  pending_active_ = false;
  SetActive(value);
}

bool TIdUDPBase::IsActive() {
  return pending_active_ || (own_binding_ && own_binding_->HasSocket());
}

TIdSocketHandle* TIdUDPBase::AcquireBinding() {
  // A plain datagram client: one unbound socket; the system picks its port
  // at the first send.
  if (!own_binding_) own_binding_ = std::make_unique<TIdSocketHandle>(nullptr);
  if (!own_binding_->HasSocket()) {
    own_binding_->AcquireSocket(Id_SOCK_DGRAM, 0);
    ApplyBroadcast();
  }
  return own_binding_.get();
}

void TIdUDPBase::ReleaseBinding() {
  if (own_binding_) own_binding_->ReleaseSocket();
}

void TIdUDPBase::ApplyBroadcast() {
  if (own_binding_ && own_binding_->HasSocket())
    SetBroadcastOn(broadcast_enabled_, own_binding_.get());
}

void TIdUDPBase::SetBroadcastOn(bool enabled, TIdSocketHandle* binding) {
  const std::int32_t value = enabled ? -1 : 0;
  binding->SetOption(Id_SOL_SOCKET, Id_SO_BROADCAST, &value, sizeof value);
}
