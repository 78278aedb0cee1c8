#include "controls/Headless.h"

#include <algorithm>

#include "runtime/Thread.h"

THeadlessWindowSystem::THeadlessWindowSystem() = default;

THeadlessWindowSystem::~THeadlessWindowSystem() {
  if (WindowSystem() == this) SetWindowSystem(nullptr);
}

std::unique_ptr<TFormPeer> THeadlessWindowSystem::CreatePeer(TForm&) {
  return std::make_unique<THeadlessPeer<TFormPeer>>();
}
std::unique_ptr<TControlPeer> THeadlessWindowSystem::CreatePeer(TPanel&) {
  return std::make_unique<THeadlessPeer<TControlPeer>>();
}
std::unique_ptr<TControlPeer> THeadlessWindowSystem::CreatePeer(TGroupBox&) {
  return std::make_unique<THeadlessPeer<TControlPeer>>();
}
std::unique_ptr<TLabelPeer> THeadlessWindowSystem::CreatePeer(TLabel&) {
  return std::make_unique<THeadlessLabelPeer>();
}
std::unique_ptr<TControlPeer> THeadlessWindowSystem::CreatePeer(TButton&) {
  return std::make_unique<THeadlessPeer<TControlPeer>>();
}
std::unique_ptr<TCheckPeer> THeadlessWindowSystem::CreatePeer(TCheckBox&) {
  return std::make_unique<THeadlessCheckPeer>();
}
std::unique_ptr<TCheckPeer> THeadlessWindowSystem::CreatePeer(TRadioButton&) {
  return std::make_unique<THeadlessCheckPeer>();
}
std::unique_ptr<TEditPeer> THeadlessWindowSystem::CreatePeer(TEdit&) {
  return std::make_unique<THeadlessEditPeer>();
}
std::unique_ptr<TComboBoxPeer> THeadlessWindowSystem::CreatePeer(TComboBox&) {
  return std::make_unique<THeadlessComboBoxPeer>();
}
std::unique_ptr<TMemoPeer> THeadlessWindowSystem::CreatePeer(TMemo&) {
  return std::make_unique<THeadlessMemoPeer>();
}
std::unique_ptr<TStatusBarPeer> THeadlessWindowSystem::CreatePeer(TStatusBar&) {
  return std::make_unique<THeadlessStatusBarPeer>();
}

THeadlessPeerState* THeadlessWindowSystem::StateOf(const TControl& Control) {
  return dynamic_cast<THeadlessPeerState*>(Control.Peer());
}

void THeadlessWindowSystem::Run(TForm& MainForm) {
  SetMainForm(&MainForm);
  if (terminated_) return;
  MainForm.Show();
  RunUntil([this] { return terminated_; }, INFINITE);
}

void THeadlessWindowSystem::Terminate() {
  terminated_ = true;
  wake_.Signal();
}

int THeadlessWindowSystem::StartTimer(int IntervalMs, std::function<void()> OnTick) {
  const int id = next_timer_id_++;
  const std::chrono::milliseconds interval(std::max(1, IntervalMs));
  timers_[id] = Timer{interval, Clock::now() + interval, std::move(OnTick)};
  wake_.Signal();  // a waiting loop must recompute its sleep
  return id;
}

void THeadlessWindowSystem::StopTimer(int TimerId) {
  timers_.erase(TimerId);
}

void THeadlessWindowSystem::ShowMessageBox(const std::string& Text) {
  messages_.push_back(Text);
}

bool THeadlessWindowSystem::RunDueTimers() {
  // Each due timer fires once per pass; one that fell behind is not made to
  // catch up with a burst, as a window system's timer message is not.
  const Clock::time_point now = Clock::now();
  std::vector<int> due;
  for (const auto& [id, t] : timers_) {
    if (t.Due <= now) due.push_back(id);
  }
  for (int id : due) {
    auto it = timers_.find(id);
    if (it == timers_.end()) continue;  // stopped by an earlier tick
    Timer& t = it->second;
    t.Due += t.Interval;
    if (t.Due <= now) t.Due = now + t.Interval;
    const std::function<void()> tick = t.OnTick;  // the tick may stop this timer
    tick();
  }
  return !due.empty();
}

bool THeadlessWindowSystem::Pump() {
  bool ran = CheckSynchronize(0);
  ran = RunDueTimers() || ran;
  return ran;
}

void THeadlessWindowSystem::ProcessMessages() {
  wake_.Reset();
  Pump();
}

bool THeadlessWindowSystem::RunUntil(const std::function<bool()>& Condition,
                                     std::uint32_t TimeoutMs) {
  const bool forever = TimeoutMs == INFINITE;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
  for (;;) {
    wake_.Reset();
    Pump();
    if (Condition()) return true;
    if (forever && terminated_) return false;
    const Clock::time_point now = Clock::now();
    if (!forever && now >= deadline) return false;
    Clock::time_point until = forever ? now + std::chrono::hours(1) : deadline;
    for (const auto& [id, t] : timers_) until = std::min(until, t.Due);
    if (until <= now) continue;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - now);
    const TWaitable fds[2] = {CallsQueuedEvent().Handle(), wake_.Handle()};
    WaitForAny(fds, static_cast<std::uint32_t>(wait.count()));
  }
}
