// Datagram component base: activation, buffer size, broadcast flag and
// sending to a host given by name or dotted address.
#pragma once

#include <memory>
#include <string>

#include "net/IdComponent.h"
#include "net/IdSocketHandle.h"

inline constexpr int IdDefUDPBufferSize = 8192;

class TIdUDPBase : public TIdComponent {
 public:
  explicit TIdUDPBase(TComponent* AOwner);
  ~TIdUDPBase() override;

  bool Active() { return IsActive(); }
  // Activates or deactivates; while the owner is being loaded the value is
  // held and applied when loading ends.
  void SetActive(bool value);

  // Bytes read per datagram; a longer datagram is dropped.
  int BufferSize() const { return buffer_size_; }
  void SetBufferSize(int value) { buffer_size_ = value; }

  bool BroadcastEnabled() const { return broadcast_enabled_; }
  void SetBroadcastEnabled(bool value);

  // Sends the text's bytes as one datagram, activating the component when
  // it is inactive.
  void SendText(const std::string& host, int port, const std::string& text);
  void SendBytes(const std::string& host, int port, const void* buffer, int byteCount);

  void Loaded() override;

  virtual bool IsActive();
  virtual TIdSocketHandle* AcquireBinding();
  virtual void ReleaseBinding();

 protected:
  virtual void ApplyBroadcast();
  // Writes the broadcast option (all bits set or 0) on the binding's socket.
  void SetBroadcastOn(bool enabled, TIdSocketHandle* binding);
  bool PendingActive() const { return pending_active_; }

 private:
  std::unique_ptr<TIdSocketHandle> own_binding_;
  int buffer_size_ = IdDefUDPBufferSize;
  bool pending_active_ = false;
  bool broadcast_enabled_ = false;
};
