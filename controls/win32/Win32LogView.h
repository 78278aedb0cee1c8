// The log pane's view: a window of our own class that paints only the rows
// on screen, read straight from the TLogText it shows and converted from
// Windows-1251 as they are painted. What to show (wrapping, scroll position,
// following the tail, selection) is TLogLayout's, and what to do with
// appends, keys, the find field and a save is TLogViewCore's; this window
// measures characters, paints and forwards input. Appends are taken in at most once
// per display frame, and repainted only when they change what is on screen.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "controls/ControlTypes.h"
#include "controls/LogLayout.h"
#include "controls/LogText.h"
#include "controls/LogViewCore.h"
#include "runtime/Events.h"

// Last: its macros (INFINITE among them) must not meet the program's names.
#include <windows.h>

class TWin32WindowSystem;

class TWin32LogView : private TLogViewPort {
 public:
  TWin32LogView(TWin32WindowSystem& System, HWND Parent);
  ~TWin32LogView();
  TWin32LogView(const TWin32LogView&) = delete;
  TWin32LogView& operator=(const TWin32LogView&) = delete;

  HWND Handle() const { return hwnd_; }
  // The view behind a window of its class (nullptr for any other).
  static TWin32LogView* FromHandle(HWND Window);

  void ShowText(const TLogText* Text);
  // The text shown grew; taken in with the next frame.
  void TextAppended();
  void TextCleared();
  void SetWordWrap(bool Wrap);
  void SetFont(HFONT Font);
  void SetBackground(TColor Color);
  void SetVerticalBar(bool On);
  std::function<void()> OnFocus;

  // Takes in what was appended now (normally done once per frame).
  void Flush();
  bool HasPending() const { return core_.HasPending(); }
  long long PaintCount() const { return paints_; }
  long long FrameCount() const { return core_.FrameCount(); }
  const TLogLayout& Layout() const { return layout_; }
  int RowHeight() const { return row_height_; }
  // The characters of each row on screen, top first, as they are painted.
  std::vector<std::wstring> PaintedRows() const;

  std::wstring SelectedText() const;
  void SelectAll();
  // The selection to the clipboard as Unicode text with CR LF line breaks.
  // A large one is converted a slice per turn of the loop (the window stays
  // live) and handed over when done; one larger than the limit, or than the
  // memory the clipboard can be given, is refused through OnRefused.
  void Copy() override;
  bool Copying() const { return copy_ != nullptr; }
  long long CopyTurns() const { return copy_turns_; }
  void SetCopyLimit(std::size_t Bytes) { copy_limit_ = Bytes; }
  std::function<void(const std::string&)> OnRefused;

  // Find: a small field at the bottom of the view (Ctrl+F anywhere in the
  // window). Enter or F3 finds the next match from the selection, with Shift
  // the previous one; the match is selected and shown. A large text is
  // searched a chunk per turn of the loop. Esc closes the field and tells
  // OnFindClosed.
  void OpenFind();
  void CloseFind();
  void FindNext(bool Forward);
  bool Finding() const { return core_.Finding(); }
  HWND FindField() const { return find_edit_; }
  // "Не найдено" when the last search found nothing, else empty.
  std::wstring FindStatus() const;
  std::function<void()> OnFindClosed;

  // Save: the whole text to a file the operator names (Ctrl+S anywhere in
  // the window); while a save runs, the same asks it to stop. Converted a
  // slice per turn of the loop and written by a worker. The progress goes to
  // OnSaveProgress ("" when it is over), a failure to OnSaveFailed.
  void Save();
  bool Saving() const { return core_.Saving(); }
  void CancelSave();
  // The path to save to, UTF-8, or empty when the operator declined; the
  // system's save dialog unless set.
  std::function<std::string()> AskSavePath;
  std::function<void(const std::string&)> OnSaveProgress;
  std::function<void(const std::string&)> OnSaveFailed;

  // Left and right of the rows, at 96 dpi; Margin() at the window's.
  static constexpr int kMargin = 3;
  int Margin() const;
  static constexpr UINT kCopyCommand = 1;
  static constexpr UINT kSelectAllCommand = 2;
  static constexpr UINT kFindCommand = 3;
  static constexpr UINT kSaveCommand = 4;

 private:
  static LRESULT CALLBACK Proc(HWND Window, UINT Msg, WPARAM W, LPARAM L);
  LRESULT Message(UINT Msg, WPARAM W, LPARAM L);

  void Measure();
  void Resized();
  void Scrolled();
  void SyncScrollBar() override;
  void StartTimer(TLogViewTimer Timer, int Ms) override;
  void StopTimer(TLogViewTimer Timer) override;
  void Repaint() override;
  void CancelCopies() override;
  std::string FindPattern() const override;
  void ShowFindStatus(const std::string& Utf8) override;
  std::string SavePath() override;
  void SaveProgress(const std::string& Text) override;
  void SaveFailed(const std::string& Error) override;
  void Paint(HDC Dc, const RECT& Area);
  void ContextMenu(int X, int Y);
  void KeyDown(WPARAM Key);
  std::size_t PositionAt(int X, int Y) const;
  void DragScroll();
  void DragTo();
  void StopDragTimer();
  struct CopyJob;
  void CopySteps();
  void CancelCopy();
  void Refuse();
  void PlaceFindBar();
  int FindBarHeight() const;
  static LRESULT CALLBACK FindFieldProc(HWND Window, UINT Msg, WPARAM W, LPARAM L);
  static LRESULT CALLBACK WindowKeys(int Code, WPARAM W, LPARAM L);

  TWin32WindowSystem& system_;
  HWND hwnd_ = nullptr;
  TLogViewCore core_{*this};
  // The core's, kept there.
  TLogLayout& layout_ = core_.Layout();
  HFONT font_ = nullptr;
  TColor background_ = clWindow;
  std::array<int, 256> widths_{};
  int row_height_ = 1;
  bool dragging_ = false;
  bool tracking_ = false;
  bool drag_timer_ = false;
  int drag_x_ = 0, drag_y_ = 0;
  std::unique_ptr<CopyJob> copy_;
  std::size_t copy_limit_ = static_cast<std::size_t>(-1);
  long long copy_turns_ = 0;
  long long paints_ = 0;
  HWND find_edit_ = nullptr;
  HWND find_status_ = nullptr;
  WNDPROC edit_proc_ = nullptr;
  bool find_open_ = false;
  HHOOK keys_hook_ = nullptr;
};
