#include "controls/LogViewCore.h"

#include <algorithm>

#include "controls/Cp1251.h"
#include "controls/LogSaver.h"
#include "controls/LogSearch.h"

TLogViewCore::TLogViewCore(TLogViewPort& Port) : port_(Port) {}

TLogViewCore::~TLogViewCore() = default;

void TLogViewCore::ShowText(const TLogText* Text) {
  CancelSave();
  StopSearch();
  port_.CancelCopies();
  pending_ = false;
  layout_.SetText(Text);
  port_.SyncScrollBar();
  port_.Repaint();
}

void TLogViewCore::TextAppended() {
  pending_ = true;
  if (scheduled_) return;
  scheduled_ = true;
  const auto now = std::chrono::steady_clock::now();
  const long long since =
      last_frame_
          ? std::chrono::duration_cast<std::chrono::milliseconds>(now - *last_frame_).count()
          : kFrameMs;
  port_.StartTimer(TLogViewTimer::Frame,
                   since >= kFrameMs ? 0 : static_cast<int>(kFrameMs - since));
}

void TLogViewCore::TextCleared() {
  // A save in progress would read what is gone; a search would find it.
  CancelSave();
  StopSearch();
  port_.CancelCopies();
  pending_ = false;
  layout_.TextCleared();
  port_.SyncScrollBar();
  port_.Repaint();
}

void TLogViewCore::SetWordWrap(bool Wrap) {
  layout_.SetWrap(Wrap);
  port_.SyncScrollBar();
  port_.Repaint();
}

void TLogViewCore::Flush() {
  scheduled_ = false;
  port_.StopTimer(TLogViewTimer::Frame);
  if (!pending_) return;
  pending_ = false;
  ++frames_;
  last_frame_ = std::chrono::steady_clock::now();
  const bool changed = layout_.TextAppended();
  port_.SyncScrollBar();
  if (changed) port_.Repaint();
}

void TLogViewCore::Scrolled() {
  port_.SyncScrollBar();
  port_.Repaint();
}

void TLogViewCore::SelectAll() {
  layout_.SelectAll();
  port_.Repaint();
}

void TLogViewCore::Key(TLogViewKey Key, bool Shift) {
  switch (Key) {
    case TLogViewKey::Copy:
      return port_.Copy();
    case TLogViewKey::SelectAll:
      return SelectAll();
    case TLogViewKey::F3:
      return FindNext(!Shift);
    case TLogViewKey::Home:
      layout_.ScrollToStart();
      break;
    case TLogViewKey::End:
      layout_.ScrollToEnd();
      break;
    case TLogViewKey::PageUp:
    case TLogViewKey::PageDown:
      layout_.ScrollPages(Key == TLogViewKey::PageUp ? -1 : 1);
      break;
    case TLogViewKey::Up:
    case TLogViewKey::Down:
      layout_.ScrollRows(Key == TLogViewKey::Up ? -1 : 1);
      break;
  }
  Scrolled();
}

void TLogViewCore::BarStep(TLogBarStep Step) {
  // In rows, as the keys move: the bar's own units are bytes (shifted to
  // fit its range), and a step of those would snap back to the row it
  // started in.
  switch (Step) {
    case TLogBarStep::RowUp:
    case TLogBarStep::RowDown:
      layout_.ScrollRows(Step == TLogBarStep::RowUp ? -1 : 1);
      break;
    case TLogBarStep::PageUp:
    case TLogBarStep::PageDown:
      layout_.ScrollPages(Step == TLogBarStep::PageUp ? -1 : 1);
      break;
    case TLogBarStep::Top:
      layout_.ScrollToStart();
      break;
    case TLogBarStep::Bottom:
      layout_.ScrollToEnd();
      break;
  }
}

void TLogViewCore::Wheel(int Delta) {
  wheel_rest_ += Delta;
  const int steps = wheel_rest_ / 40;  // three rows a notch
  wheel_rest_ -= steps * 40;
  if (steps == 0) return;
  layout_.ScrollRows(-steps);
  Scrolled();
}

TLogRowSplit TLogViewCore::SplitRow(const TLogLayout& Layout, const TLogLayout::Row& Row) {
  TLogRowSplit out;
  const std::size_t sel_a = Layout.SelStart();
  const std::size_t sel_b = Layout.SelEnd();
  if (!Layout.HasSelection() || sel_b <= Row.Start || sel_a > Row.End() ||
      (sel_a == Row.End() && !Row.Bytes.empty())) {
    return out;
  }
  out.Selected = true;
  out.A = std::max(sel_a, Row.Start) - Row.Start;
  out.B = std::min(sel_b, Row.End()) - Row.Start;
  out.XA = Layout.XOf(Row, Row.Start + out.A);
  out.XB = Layout.XOf(Row, Row.Start + out.B);
  // A selected line break shows as a blank's width past the row's end.
  out.LineBreak = sel_b > Row.End() && out.B == Row.Bytes.size();
  return out;
}

// ---------------------------------------------------------------------- find

void TLogViewCore::StopSearch() {
  search_.reset();
  port_.StopTimer(TLogViewTimer::Find);
}

void TLogViewCore::FindReset() {
  StopSearch();
  port_.ShowFindStatus("");
}

void TLogViewCore::FindNext(bool Forward) {
  port_.ShowFindStatus("");
  if (!layout_.Text()) return;
  const std::string pattern = Utf8ToCp1251(port_.FindPattern());
  if (pattern.empty()) return;
  const std::size_t from = Forward ? layout_.SelEnd() : layout_.SelStart();
  search_ = std::make_unique<TLogSearch>(*layout_.Text(), pattern, from, Forward);
  // A small text is searched before this returns.
  FindSteps();
}

void TLogViewCore::FindSteps() {
  if (!search_) return port_.StopTimer(TLogViewTimer::Find);
  const auto until = std::chrono::steady_clock::now() + kStepBudget;
  while (!search_->Step(TLogSearch::kChunk) && std::chrono::steady_clock::now() < until) {
  }
  if (!search_->Done()) return port_.StartTimer(TLogViewTimer::Find, 0);
  port_.StopTimer(TLogViewTimer::Find);
  const std::unique_ptr<TLogSearch> done = std::move(search_);
  if (!done->Found()) return port_.ShowFindStatus(kNotFound);
  layout_.SelectRange(done->Match(), done->Match() + done->Length());
  Scrolled();
}

// ---------------------------------------------------------------------- save

void TLogViewCore::Save() {
  if (saver_) return CancelSave();
  if (!layout_.Text()) return;
  const std::string path = port_.SavePath();
  // The text may have gone while the dialog ran its loop.
  if (path.empty() || !layout_.Text()) return;
  saver_ = std::make_unique<TLogSaver>(*layout_.Text(), path);
  SaveSteps();
}

void TLogViewCore::CancelSave() {
  if (!saver_) return;
  saver_.reset();  // stops the writer and removes its file
  port_.StopTimer(TLogViewTimer::Save);
  Progress("");
}

void TLogViewCore::Progress(const std::string& Text) {
  if (Text == save_progress_) return;
  save_progress_ = Text;
  port_.SaveProgress(Text);
}

void TLogViewCore::SaveSteps() {
  if (!saver_) return port_.StopTimer(TLogViewTimer::Save);
  if (!saver_->Step(kStepBudget)) {
    Progress("Сохранение " + std::to_string(saver_->Percent()) + "%");
    return port_.StartTimer(TLogViewTimer::Save, saver_->Waiting() ? kSaveWaitMs : 0);
  }
  port_.StopTimer(TLogViewTimer::Save);
  const std::string error = saver_->Error();
  saver_.reset();
  Progress("");
  // Told after the save is over: the message box runs a loop of its own.
  if (!error.empty()) port_.SaveFailed(error);
}
