// What the log pane's views share, whatever toolkit paints them: taking
// appends in once a frame, the keys and scroll bar steps, the find field's
// search and the save job. The core decides; the view it serves measures,
// paints, runs its timers and owns its widgets, asked through TLogViewPort.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "controls/LogLayout.h"
#include "controls/LogText.h"

class TLogSaver;
class TLogSearch;

// The timers a view runs for its core; each calls the core's step back.
enum class TLogViewTimer { Frame, Find, Save };

// The keys of the view, as each toolkit names them.
enum class TLogViewKey { Copy, SelectAll, Home, End, PageUp, PageDown, Up, Down, F3 };

// A step asked of the scroll bar's arrows, its page areas or its ends.
enum class TLogBarStep { RowUp, RowDown, PageUp, PageDown, Top, Bottom };

class TLogViewPort {
 public:
  // Ms 0: on the next turn of the loop.
  virtual void StartTimer(TLogViewTimer Timer, int Ms) = 0;
  virtual void StopTimer(TLogViewTimer Timer) = 0;
  virtual void Repaint() = 0;
  virtual void SyncScrollBar() = 0;
  // The copies under way stop.
  virtual void CancelCopies() = 0;
  // The selection to the clipboard.
  virtual void Copy() = 0;
  // The find field's text, UTF-8, and what is said beside it.
  virtual std::string FindPattern() const = 0;
  virtual void ShowFindStatus(const std::string& Utf8) = 0;
  // The path to save to, UTF-8, or empty when the operator declined.
  virtual std::string SavePath() = 0;
  virtual void SaveProgress(const std::string& Text) = 0;
  virtual void SaveFailed(const std::string& Error) = 0;

 protected:
  ~TLogViewPort() = default;
};

// How a row on screen is painted with the selection: Selected false, the
// whole row plain; else bytes [A, B) highlighted, from XA to XB (margins not
// counted), and LineBreak when the selection goes on past the row's end.
struct TLogRowSplit {
  bool Selected = false;
  std::size_t A = 0, B = 0;
  double XA = 0, XB = 0;
  bool LineBreak = false;
};

class TLogViewCore {
 public:
  static constexpr int kFrameMs = 16;
  // How often a save looks again while its writer catches up.
  static constexpr int kSaveWaitMs = 10;
  // What a copy, a search or a save may take of one turn of the loop.
  static constexpr std::chrono::milliseconds kStepBudget{8};
  static constexpr const char* kNotFound = "Не найдено";
  static constexpr const char* kTooLarge = "Выделенный текст слишком велик для буфера обмена.";

  explicit TLogViewCore(TLogViewPort& Port);
  ~TLogViewCore();
  TLogViewCore(const TLogViewCore&) = delete;
  TLogViewCore& operator=(const TLogViewCore&) = delete;

  TLogLayout& Layout() { return layout_; }
  const TLogLayout& Layout() const { return layout_; }

  void ShowText(const TLogText* Text);
  void TextAppended();
  void TextCleared();
  void SetWordWrap(bool Wrap);
  // Takes in what was appended now (the frame timer's step).
  void Flush();
  bool HasPending() const { return pending_; }
  long long FrameCount() const { return frames_; }

  // The bar and the repaint follow the layout's scroll position.
  void Scrolled();
  void Key(TLogViewKey Key, bool Shift);
  void SelectAll();
  void BarStep(TLogBarStep Step);
  // Wheel turns in eighths of a degree, down negative: three rows a notch.
  void Wheel(int Delta);

  static TLogRowSplit SplitRow(const TLogLayout& Layout, const TLogLayout::Row& Row);

  // A copy's turn of the loop: slices handed to Put until all are or Until
  // has come, at least one; true when all are.
  template <class TPut>
  static bool CopySlices(TLogSlices& Slices, std::chrono::steady_clock::time_point Until,
                         TPut&& Put) {
    do {
      Put(Slices.Next());
    } while (!Slices.Done() && std::chrono::steady_clock::now() < Until);
    return Slices.Done();
  }

  // Find: from the selection, forward or back; a chunk per turn of the loop.
  void FindNext(bool Forward);
  void FindSteps();
  // The field's text changed or the field closed: the search stops, nothing
  // said.
  void FindReset();
  bool Finding() const { return search_ != nullptr; }

  // Save: asks the path and starts; while one runs, cancels it.
  void Save();
  void SaveSteps();
  void CancelSave();
  bool Saving() const { return saver_ != nullptr; }

 private:
  void StopSearch();
  void Progress(const std::string& Text);

  TLogViewPort& port_;
  TLogLayout layout_;
  bool pending_ = false;
  bool scheduled_ = false;
  long long frames_ = 0;
  std::optional<std::chrono::steady_clock::time_point> last_frame_;
  int wheel_rest_ = 0;
  std::unique_ptr<TLogSearch> search_;
  std::unique_ptr<TLogSaver> saver_;
  std::string save_progress_;
};
