// The UDP server: one bound datagram socket per binding, one listener thread
// that waits on all of them and hands each datagram to OnUDPRead (on the
// main thread unless ThreadedEvent), and sending from the binding that last
// received a datagram.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/IdThread.h"
#include "net/IdUDPBase.h"
#include "runtime/Classes.h"

class TIdUDPServer;

// AData holds exactly the datagram's bytes, positioned at 0; it belongs to
// the listener and is valid only during the call. ABinding's RemoteIP and
// RemotePort name the sender.
using TUDPReadEvent =
    std::function<void(TObject* Sender, TMemoryStream& AData, TIdSocketHandle& ABinding)>;

class TIdUDPListenerThread : public TIdThread {
 public:
  TIdUDPListenerThread(int AReceiveSize, TIdUDPServer* AServer);
  ~TIdUDPListenerThread() override;

  int WaitMillis() const { return wait_millis_; }
  int ReceiveSize() const { return receive_size_; }
  TIdUDPServer* HostServer() const { return host_server_; }

  // True when the calling thread is running this listener's delivery, that
  // is, the caller is inside OnUDPRead and the listener waits for it.
  bool DeliveryRunsOnThisThread() const;

 protected:
  void DoCycle() override;
  void DeliverDatagram();

 private:
  TIdSocketHandle* served_binding_ = nullptr;  // ServedBinding
  int wait_millis_ = 1000;
  TMemoryStream datagram_buffer_;  // DatagramBuffer
  int receive_size_;
  // Every receive lands here first; only the datagram's own bytes are then
  // copied into DatagramBuffer. Allocated once, ReceiveSize bytes.
  std::vector<std::uint8_t> receive_buffer_;
  TIdUDPServer* host_server_;
  TIdSocketList wait_list_;
  TIdSocketList waited_list_;  // what the last wait was asked to watch
  std::atomic<std::thread::id> delivering_thread_{};
};

class TIdUDPServer : public TIdUDPBase {
 public:
  explicit TIdUDPServer(TComponent* AOwner);
  ~TIdUDPServer() override;

  TIdSocketHandles& Bindings() { return *bindings_; }
  // The port of the binding made at the first activation.
  int DefaultPort() const { return bindings_->DefaultPort(); }
  void SetDefaultPort(int value) { bindings_->SetDefaultPort(value); }

  // True runs OnUDPRead on the listener thread.
  bool ThreadedEvent() const { return threaded_event_.load(); }
  void SetThreadedEvent(bool value) { threaded_event_.store(value); }

  // The binding sends leave from: binding 0 after activation, then the one
  // that received the last datagram; null while inactive.
  TIdSocketHandle* ReplyBinding() const { return reply_binding_.load(); }
  TIdUDPListenerThread* Listener() const { return listener_.get(); }

  TUDPReadEvent OnUDPRead;

  bool IsActive() override;
  TIdSocketHandle* AcquireBinding() override;
  void ReleaseBinding() override;

  // Called by the listener for each datagram.
  void DatagramArrived(TMemoryStream& AData, TIdSocketHandle& ABinding);

 protected:
  void ApplyBroadcast() override;
  virtual void FireUDPRead(TMemoryStream& AData, TIdSocketHandle& ABinding);

 private:
  std::unique_ptr<TIdSocketHandles> bindings_;
  std::atomic<TIdSocketHandle*> reply_binding_{nullptr};
  std::unique_ptr<TIdUDPListenerThread> listener_;
  std::atomic<bool> threaded_event_{false};
  std::atomic<bool> destroying_{false};
  std::atomic<bool> releasing_{false};
};
