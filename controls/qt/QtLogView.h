// The log pane's view: a scroll area that paints only the rows on screen,
// read straight from the TLogText it shows and converted from Windows-1251
// as they are painted. What to show (wrapping, scroll position, following the
// tail, selection) is TLogLayout's; this widget measures characters, paints
// and forwards input. Appends are taken in at most once per display frame,
// and repainted only when they change what is on screen.
#pragma once

#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <QFont>
#include <QString>
#include <string_view>

#include "controls/LogLayout.h"
#include "controls/LogText.h"

class QMenu;
class QTimer;

class TLogView : public QAbstractScrollArea {
 public:
  explicit TLogView(QWidget* Parent = nullptr);

  void ShowText(const TLogText* Text);
  // The text shown grew; taken in with the next frame.
  void TextAppended();
  void TextCleared();
  void SetWordWrap(bool Wrap);

  // Takes in what was appended now (normally done once per frame).
  void Flush();
  bool HasPending() const { return pending_; }
  long long PaintCount() const { return paints_; }
  // Frames that took in appended text.
  long long FrameCount() const { return frames_; }
  const TLogLayout& Layout() const { return layout_; }
  int RowHeight() const { return row_height_; }
  // Left and right of the rows.
  static constexpr int kMargin = 3;

  QString SelectedText() const;
  void SelectAll();
  void Copy() const;
  // The operator's menu: "Копировать" and "Выделить всё".
  QMenu* MakeContextMenu(QWidget* Parent);

  // Windows-1251 as the operator copies it: CR LF becomes a line break.
  static QString ToUnicode(std::string_view Cp1251);

 protected:
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
  static constexpr int kFrameMs = 16;

  void Measure();
  void Resized();
  void Scrolled();
  void SyncScrollBar();
  void Schedule();
  std::size_t PositionAt(QPointF Point) const;

  TLogLayout layout_;
  QFont paint_font_;
  int row_height_ = 1;
  int ascent_ = 0;
  QTimer* frame_timer_;
  QElapsedTimer since_frame_;
  bool pending_ = false;
  bool scheduled_ = false;
  bool syncing_ = false;
  bool dragging_ = false;
  int wheel_rest_ = 0;
  long long paints_ = 0;
  long long frames_ = 0;
};
