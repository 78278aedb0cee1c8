// The log pane's view: a scroll area that paints only the rows on screen,
// read straight from the TLogText it shows and converted from Windows-1251
// as they are painted. What to show (wrapping, scroll position, following the
// tail, selection) is TLogLayout's, and what to do with appends, keys, the
// find field and a save is TLogViewCore's; this widget measures characters,
// paints and forwards input. Appends are taken in at most once per display
// frame, and repainted only when they change what is on screen.
#pragma once

#include <QAbstractScrollArea>
#include <QClipboard>
#include <QFont>
#include <QPointF>
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "controls/LogLayout.h"
#include "controls/LogViewCore.h"
#include "controls/LogText.h"

class QLabel;
class QLineEdit;
class QMenu;
class QTimer;

class TLogView : public QAbstractScrollArea, private TLogViewPort {
 public:
  explicit TLogView(QWidget* Parent = nullptr);
  ~TLogView();

  void ShowText(const TLogText* Text);
  // The text shown grew; taken in with the next frame.
  void TextAppended();
  void TextCleared();
  void SetWordWrap(bool Wrap);

  // Takes in what was appended now (normally done once per frame).
  void Flush();
  bool HasPending() const { return core_.HasPending(); }
  long long PaintCount() const { return paints_; }
  // Frames that took in appended text.
  long long FrameCount() const { return core_.FrameCount(); }
  const TLogLayout& Layout() const { return layout_; }
  int RowHeight() const { return row_height_; }
  // Left and right of the rows.
  static constexpr int kMargin = 3;

  QString SelectedText() const;
  void SelectAll();
  // The selection to the clipboard. A large one is converted a slice per
  // turn of the loop (the window stays live) and handed over when done; one
  // larger than the limit, or than memory allows, is refused through
  // OnRefused. The mouse selection of X11 is copied the same way.
  void Copy() override;
  bool Copying() const { return !copies_.empty(); }
  // Turns of the loop that copies have taken.
  long long CopyTurns() const { return copy_turns_; }
  void SetCopyLimit(std::size_t Bytes);
  std::function<void(const std::string&)> OnRefused;
  // The operator's menu: "Копировать", "Выделить всё", "Найти..." and
  // "Сохранить в файл...".
  QMenu* MakeContextMenu(QWidget* Parent);

  // Find: a small field at the bottom of the view (Ctrl+F anywhere in the
  // window). Enter or F3 finds the next match from the selection, with Shift
  // the previous one; the match is selected and shown. A large text is
  // searched a chunk per turn of the loop. Esc closes the field and tells
  // OnFindClosed.
  void OpenFind();
  void CloseFind();
  void FindNext(bool Forward);
  bool Finding() const;
  QLineEdit* FindField() const { return find_edit_; }
  // "Не найдено" when the last search found nothing, else empty.
  QString FindStatus() const;
  std::function<void()> OnFindClosed;

  // Save: the whole text to a file the operator names (Ctrl+S anywhere in
  // the window); while a save runs, the same asks it to stop. Converted a
  // slice per turn of the loop and written by a worker. The progress goes to
  // OnSaveProgress ("" when it is over), a failure to OnSaveFailed.
  void Save();
  bool Saving() const;
  void CancelSave();
  // The path to save to, UTF-8, or empty when the operator declined; Qt's
  // save dialog unless set.
  std::function<std::string()> AskSavePath;
  std::function<void(const std::string&)> OnSaveProgress;
  std::function<void(const std::string&)> OnSaveFailed;

  // Windows-1251 as the operator copies it: CR LF becomes a line break.
  static QString ToUnicode(std::string_view Cp1251);
  // The characters of bytes as they are painted: control bytes take no
  // room, every other byte the width it was measured with.
  static QString Painted(std::string_view Bytes);
  // The characters of each row on screen, top first, as they are painted.
  std::vector<QString> PaintedRows() const;

 protected:
  bool event(QEvent* Event) override;
  bool viewportEvent(QEvent* Event) override;
  bool eventFilter(QObject* Watched, QEvent* Event) override;
  void paintEvent(QPaintEvent* Event) override;
  void resizeEvent(QResizeEvent* Event) override;
  void changeEvent(QEvent* Event) override;
  void scrollContentsBy(int Dx, int Dy) override;
  void wheelEvent(QWheelEvent* Event) override;
  void keyPressEvent(QKeyEvent* Event) override;
  void mousePressEvent(QMouseEvent* Event) override;
  void mouseMoveEvent(QMouseEvent* Event) override;
  void mouseReleaseEvent(QMouseEvent* Event) override;
  void mouseDoubleClickEvent(QMouseEvent* Event) override;
  void contextMenuEvent(QContextMenuEvent* Event) override;

 private:

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
  void SaveFailed(const std::string& Error) override;
  std::size_t PositionAt(QPointF Point) const;
  void DragScroll();
  void DragTo();
  void BarAction(int Action);
  struct CopyJob;
  void CopyTo(QClipboard::Mode Mode);
  void CancelCopy(QClipboard::Mode Mode);
  void CopySteps();
  void Refuse();
  void PlaceFindBar();
  void SaveProgress(const std::string& Text) override;
  QTimer* TimerOf(TLogViewTimer Timer) const;

  TLogViewCore core_;
  // The core's, kept there.
  TLogLayout& layout_;
  QFont paint_font_;
  int row_height_ = 1;
  int ascent_ = 0;
  QTimer* frame_timer_;
  QTimer* drag_timer_;
  QTimer* copy_timer_;
  std::vector<std::unique_ptr<CopyJob>> copies_;
  std::size_t copy_limit_ = static_cast<std::size_t>(-1);
  long long copy_turns_ = 0;
  QPointF drag_at_;
  bool syncing_ = false;
  bool dragging_ = false;
  QWidget* find_bar_;
  QLineEdit* find_edit_;
  QLabel* find_status_;
  QTimer* find_timer_;
  QTimer* save_timer_;
  long long paints_ = 0;
};
