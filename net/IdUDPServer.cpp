#include "net/IdUDPServer.h"

#include <algorithm>
#include <chrono>
#include <cstring>

// ---------------------------------------------------------------- TIdUDPListenerThread

TIdUDPListenerThread::TIdUDPListenerThread(int AReceiveSize, TIdUDPServer* AServer)
    : TIdThread(true),
      receive_size_(std::max(AReceiveSize, 0)),
      receive_buffer_(static_cast<std::size_t>(receive_size_)),
      host_server_(AServer) {}

TIdUDPListenerThread::~TIdUDPListenerThread() {
  // The loop calls DoCycle, which lives in this class: it must have ended
  // before the members below go.
  TerminateAndWaitFor();
}

bool TIdUDPListenerThread::DeliveryRunsOnThisThread() const {
  const std::thread::id t = delivering_thread_.load();
  return t != std::thread::id() && t == std::this_thread::get_id();
}

namespace {

// The binding that holds socket s now: a released binding still carries its
// old number, which a live one may have been given since.
TIdSocketHandle* HolderOf(const TIdSocketHandles& bindings, TIdStackSocketHandle s) {
  for (int i = bindings.Count() - 1; i >= 0; --i) {
    TIdSocketHandle* binding = bindings.Items(i);
    if (binding->HasSocket() && binding->SocketHandle() == s) return binding;
  }
  return nullptr;
}

}  // namespace

void TIdUDPListenerThread::DoCycle() {
  TIdSocketHandles& bindings = host_server_->Bindings();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_millis_);
  // Only bindings that hold a socket: the number of a released one may
  // already belong to someone else's descriptor.
  auto live_sockets = [&bindings](TIdSocketList& list) {
    list.clear();
    for (int i = 0; i < bindings.Count(); ++i) {
      TIdSocketHandle* binding = bindings.Items(i);
      if (binding->HasSocket()) list.push_back(binding->SocketHandle());
    }
  };
  for (;;) {
    live_sockets(wait_list_);
    if (wait_list_.empty()) {
      WaitWhileRunning(deadline);
      return;
    }
    waited_list_ = wait_list_;  // the wait replaces wait_list_ with the ready ones
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const int r = GlobalStack->WaitSockets(&wait_list_, nullptr, nullptr,
                                           static_cast<int>(std::max<long long>(left.count(), 0)));
    if (r >= 0) break;
    if (IsStopped()) return;
    // A signal only cut the wait short: wait again for the time left.
    if (GlobalStack->LastPlatformError() == Id_WSAEINTR) continue;
    // A binding released just before the wait began: wait on what is left.
    live_sockets(wait_list_);
    if (wait_list_ != waited_list_) continue;
    // A descriptor that is really bad leaves nothing to read, and the wait
    // would fail again at once: the cycle idles out the rest of its wait
    // instead of spinning, unless the loop is stopped meanwhile.
    wait_list_.clear();
    WaitWhileRunning(deadline);
    return;
  }
  for (const TIdStackSocketHandle s : wait_list_) {
    try {
      if (IsStopped()) continue;
      served_binding_ = HolderOf(bindings, s);
      if (served_binding_ == nullptr) continue;
      std::string ip;
      int port = 0;
      const int r = GlobalStack->ReceiveFrom(served_binding_->SocketHandle(),
                                             receive_buffer_.data(), receive_size_, 0, ip, port);
      GlobalStack->CheckSocketResult(r);
      // Only the datagram's bytes reach the stream: resizing keeps its
      // storage, and growing zero-fills just the grown part, which the copy
      // overwrites.
      datagram_buffer_.SetSize(r);
      if (r > 0)
        std::memcpy(datagram_buffer_.Memory(), receive_buffer_.data(), static_cast<std::size_t>(r));
      datagram_buffer_.SetPosition(0);
      served_binding_->SetRemote(ip, port);
      if (host_server_->ThreadedEvent()) {
        DeliverDatagram();
      } else {
        RunOnMainThread([this] { DeliverDatagram(); });
      }
    } catch (...) {
      // One datagram's failure, the handler's included, costs only that
      // datagram.
    }
  }
  wait_list_.clear();
}

void TIdUDPListenerThread::DeliverDatagram() {
  struct Marker {
    std::atomic<std::thread::id>& slot;
    explicit Marker(std::atomic<std::thread::id>& s) : slot(s) {
      slot.store(std::this_thread::get_id());
    }
    ~Marker() { slot.store(std::thread::id()); }
  } marker(delivering_thread_);
  host_server_->DatagramArrived(datagram_buffer_, *served_binding_);
}

// ---------------------------------------------------------------- TIdUDPServer

TIdUDPServer::TIdUDPServer(TComponent* AOwner)
    : TIdUDPBase(AOwner), bindings_(std::make_unique<TIdSocketHandles>(this)) {}

TIdUDPServer::~TIdUDPServer() {
  // The wait for the listener below runs a delivery it had already queued;
  // the handler's owner may be half destroyed by now, so it is not called.
  destroying_.store(true);
  try {
    SetActive(false);
    // Inactive by its sockets (one released by hand) can still mean a
    // listener that reads the bindings: this ends it too.
    ReleaseBinding();
  } catch (...) {
    // Nothing to report from a destructor; the sockets close below anyway.
  }
  // Should the deactivation have failed halfway, the listener still runs:
  // it must be gone before the bindings it reads.
  if (listener_ != nullptr) {
    for (int i = 0; i < bindings_->Count(); ++i) {
      TIdSocketHandle* binding = bindings_->Items(i);
      if (binding->HasSocket()) GlobalStack->ShutdownSocket(binding->SocketHandle(), Id_SD_Both);
    }
    listener_.reset();
  }
  reply_binding_.store(nullptr);
  bindings_.reset();
}

bool TIdUDPServer::IsActive() {
  if (TIdUDPBase::IsActive()) return true;
  TIdSocketHandle* reply = reply_binding_.load();
  return reply != nullptr && reply->HasSocket();
}

TIdSocketHandle* TIdUDPServer::AcquireBinding() {
  if (TIdSocketHandle* reply = reply_binding_.load()) return reply;
  const bool added = bindings_->Count() == 0;
  if (added) bindings_->AddBinding();
  try {
    for (int i = 0; i < bindings_->Count(); ++i) {
      TIdSocketHandle* binding = bindings_->Items(i);
      binding->AcquireSocket(Id_SOCK_DGRAM, 0);
      binding->BindLocal();
    }
  } catch (...) {
    // A failed activation leaves nothing behind: the sockets it opened are
    // closed, and the binding it added for the default port goes, so the
    // next activation starts afresh on the port set by then.
    for (int i = 0; i < bindings_->Count(); ++i) bindings_->Items(i)->ReleaseSocket();
    if (added) bindings_->Clear();
    throw;
  }
  reply_binding_.store(bindings_->Items(0));
  listener_ = NewThread<TIdUDPListenerThread>(BufferSize(), this);
  listener_->StartLoop();
  ApplyBroadcast();
  return reply_binding_.load();
}

void TIdUDPServer::ReleaseBinding() {
  if (reply_binding_.load() == nullptr) return;
  // A handler run while this deactivation waits may deactivate again: the
  // first one finishes the job.
  if (releasing_.exchange(true)) return;
  struct ReleasingGuard {
    std::atomic<bool>& flag;
    ~ReleasingGuard() { flag.store(false); }
  } releasingGuard{releasing_};
  TIdUDPListenerThread* listener = listener_.get();
  if (listener != nullptr) listener->StopLoop();
  if (listener != nullptr && !listener->DeliveryRunsOnThisThread()) {
    // Shutting the sockets down ends the listener's wait at once (and makes
    // late sends fail); they are closed only after the listener has ended,
    // because a number closed under a running receive can be handed to a
    // new descriptor straight away.
    for (int i = 0; i < bindings_->Count(); ++i) {
      TIdSocketHandle* binding = bindings_->Items(i);
      if (binding->HasSocket()) GlobalStack->ShutdownSocket(binding->SocketHandle(), Id_SD_Both);
    }
    // On the main thread this keeps running marshalled calls, so a delivery
    // already queued still runs and the listener can end.
    listener->WaitForExit();
    listener_.reset();
    for (int i = 0; i < bindings_->Count(); ++i) bindings_->Items(i)->ReleaseSocket();
  } else {
    for (int i = 0; i < bindings_->Count(); ++i) bindings_->Items(i)->ReleaseSocket();
    if (listener != nullptr) {
      // Deactivated from inside OnUDPRead: the listener is waiting for this
      // very call, so waiting for it would never end. It is stopped, reads
      // nothing more, and frees itself once the handler has returned.
      listener->SetFreeOnThreadEnd(true);
      listener_.release();
    }
  }
  reply_binding_.store(nullptr);
}

void TIdUDPServer::ApplyBroadcast() {
  if (reply_binding_.load() == nullptr) return;
  for (int i = 0; i < bindings_->Count(); ++i) {
    SetBroadcastOn(BroadcastEnabled(), bindings_->Items(i));
  }
}

void TIdUDPServer::DatagramArrived(TMemoryStream& AData, TIdSocketHandle& ABinding) {
  reply_binding_.store(&ABinding);
  FireUDPRead(AData, ABinding);
}

void TIdUDPServer::FireUDPRead(TMemoryStream& AData, TIdSocketHandle& ABinding) {
  if (OnUDPRead && !destroying_.load()) OnUDPRead(this, AData, ABinding);
}
