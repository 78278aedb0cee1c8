// The window system on the standard Win32 controls: one window per control,
// placed at the geometry the neutral layout computed. The loop waits on the
// window messages and on the event that workers signal when they queue a
// call for the main thread.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "controls/Controls.h"
#include "controls/WindowSystem.h"
#include "runtime/Events.h"

// Last: its macros (INFINITE among them) must not meet the program's names.
#include <windows.h>

// The face a control's font is asked for by on a system with the given ANSI
// code page: the form's own, or a TrueType face with Cyrillic where a
// bitmap face has none.
std::wstring CyrillicFace(const std::string& Name, UINT CodePage);

// The resolution a window is shown at, in dots per inch: the window's own
// (that of the monitor it is on) where the system tells it, the screen's
// otherwise. Without a window, the system's.
int SystemDpiOf(HWND Window);
using TDpiSource = std::function<int(HWND Window)>;

// A timer finer than SetTimer's 10 ms floor: a thread waits on a periodic
// waitable timer (of high resolution where the system has one) and posts a
// tick to a window; one tick at a time is posted, so a busy loop drops
// ticks as it does WM_TIMER ones. Its period follows the system timer's
// resolution, which an open serial port makes 1 ms.
class TFineTimer {
 public:
  TFineTimer(HWND Target, UINT Message, WPARAM Id, int IntervalMs);
  ~TFineTimer();
  TFineTimer(const TFineTimer&) = delete;
  TFineTimer& operator=(const TFineTimer&) = delete;
  // The posted tick has been taken: the next may be posted.
  void Taken() { posted_.store(false); }
  // Whether the system gave a high-resolution timer.
  bool HighResolution() const { return high_resolution_; }

 private:
  HANDLE timer_ = nullptr;
  HANDLE stop_ = nullptr;
  bool high_resolution_ = false;
  std::atomic<bool> posted_{false};
  std::thread thread_;
};

class TWin32PeerBase;

// Form descriptions give geometry and font sizes at 96 dots per inch; the
// window system shows them at the window's resolution, scaling every place,
// size and font on the way to the windows and back, so the neutral layout
// never sees a pixel. Where and what a window is placed at is kept by its
// peer, and laid out again when the window moves to a monitor of another
// resolution. The thread that makes the window system declares itself
// aware of per-monitor resolutions (v2, else system-wide) where the system
// has the call, as the program's manifest does.
class TWin32WindowSystem : public TWindowSystem {
 public:
  TWin32WindowSystem();
  ~TWin32WindowSystem() override;

  std::unique_ptr<TFormPeer> CreatePeer(TForm& Control) override;
  std::unique_ptr<TControlPeer> CreatePeer(TPanel& Control) override;
  std::unique_ptr<TControlPeer> CreatePeer(TGroupBox& Control) override;
  std::unique_ptr<TLabelPeer> CreatePeer(TLabel& Control) override;
  std::unique_ptr<TControlPeer> CreatePeer(TButton& Control) override;
  std::unique_ptr<TCheckPeer> CreatePeer(TCheckBox& Control) override;
  std::unique_ptr<TCheckPeer> CreatePeer(TRadioButton& Control) override;
  std::unique_ptr<TEditPeer> CreatePeer(TEdit& Control) override;
  std::unique_ptr<TComboBoxPeer> CreatePeer(TComboBox& Control) override;
  std::unique_ptr<TMemoPeer> CreatePeer(TMemo& Control) override;
  std::unique_ptr<TStatusBarPeer> CreatePeer(TStatusBar& Control) override;

  void Run(TForm& MainForm) override;
  void Terminate() override;
  bool Terminated() const override { return terminated_; }
  void ProcessMessages() override;
  void Wake() override;
  // A modal loop (a message box, a window being dragged) does not watch
  // the call queue's event, so a queued call also posts a wake-up.
  void CallQueued() override { Wake(); }
  // Intervals under the window timer's 10 ms floor tick from a waitable
  // timer instead (see TFineTimer).
  int StartTimer(int IntervalMs, std::function<void()> OnTick) override;
  void StopTimer(int TimerId) override;
  void ShowMessageBox(const std::string& Text) override;
  TRect WorkArea() const override;
  TSize TextExtent(const TFont& Font, const std::string& Text) const override;

  // The window behind a realised control (nullptr when it has none).
  static HWND HandleOf(const TControl& Control);
  // The resolution the windows are laid out at, and the conversions from
  // and to the 96-dpi units of the layout.
  int Dpi() const { return dpi_; }
  int Scale(int Value) const { return MulDiv(Value, dpi_, 96); }
  int Unscale(int Value) const { return MulDiv(Value, 96, dpi_); }
  // Where a window's resolution is read (SystemDpiOf unless set; tests
  // force one).
  void SetDpiSource(TDpiSource Source) { dpi_source_ = std::move(Source); }
  int DpiOf(HWND Window) const { return dpi_source_ ? dpi_source_(Window) : SystemDpiOf(Window); }
  // Lays every window out again at Dpi: fonts first, then places.
  void ChangeDpi(int Dpi);
  // Peers take part in a change of resolution while they live.
  void Enlist(TWin32PeerBase* Peer);
  void Delist(TWin32PeerBase* Peer);
  // Shared GDI objects, kept for the life of the window system; a font is
  // made for the current resolution.
  HFONT Font(const TFont& Font) const;
  HBRUSH Brush(TColor Color) const;
  static COLORREF ColorRef(TColor Color);
  HINSTANCE Instance() const { return instance_; }
  // Where a control without a parent keeps its window meanwhile.
  HWND Parking() const { return parking_; }
  // Handles one message as the loop does: Tab and Shift+Tab move the focus
  // within a form.
  void Dispatch(MSG& Message);

 private:
  static LRESULT CALLBACK MessageProc(HWND Window, UINT Msg, WPARAM W, LPARAM L);
  void RunQueuedCalls();
  bool PumpOnce();

  HINSTANCE instance_;
  HWND messages_ = nullptr;  // timers and wake-ups
  HWND parking_ = nullptr;
  std::map<UINT_PTR, std::shared_ptr<std::function<void()>>> timers_;
  std::map<UINT_PTR, std::unique_ptr<TFineTimer>> fine_timers_;
  UINT_PTR next_timer_id_ = 1;
  bool terminated_ = false;
  std::atomic<bool> wake_posted_{false};
  int dpi_ = 96;
  TDpiSource dpi_source_;
  std::vector<TWin32PeerBase*> peers_;
  mutable std::map<std::tuple<std::string, int, bool, bool, int>, HFONT> fonts_;
  mutable std::map<TColor, HBRUSH> brushes_;
};
