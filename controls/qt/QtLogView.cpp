#include "controls/qt/QtLogView.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTimer>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "controls/Cp1251.h"

namespace {

// The characters of bytes as they are painted: control bytes take no room.
QString Painted(std::string_view Bytes) {
  QString out;
  out.reserve(static_cast<qsizetype>(Bytes.size()));
  for (char ch : Bytes) {
    const auto b = static_cast<unsigned char>(ch);
    if (b >= 0x20) out += QChar(Cp1251Char(b));
  }
  return out;
}

}  // namespace

TLogView::TLogView(QWidget* Parent) : QAbstractScrollArea(Parent), frame_timer_(new QTimer(this)) {
  frame_timer_->setSingleShot(true);
  frame_timer_->setTimerType(Qt::PreciseTimer);
  connect(frame_timer_, &QTimer::timeout, this, [this] { Flush(); });
  viewport()->setCursor(Qt::IBeamCursor);
  viewport()->setAutoFillBackground(false);
  setAttribute(Qt::WA_InputMethodEnabled, false);
  Measure();
}

void TLogView::ShowText(const TLogText* Text) {
  pending_ = false;
  layout_.SetText(Text);
  SyncScrollBar();
  viewport()->update();
}

void TLogView::TextAppended() {
  pending_ = true;
  Schedule();
}

void TLogView::TextCleared() {
  pending_ = false;
  layout_.TextCleared();
  SyncScrollBar();
  viewport()->update();
}

void TLogView::SetWordWrap(bool Wrap) {
  layout_.SetWrap(Wrap);
  SyncScrollBar();
  viewport()->update();
}

void TLogView::Schedule() {
  if (scheduled_) return;
  scheduled_ = true;
  const qint64 since = since_frame_.isValid() ? since_frame_.elapsed() : kFrameMs;
  if (since >= kFrameMs) {
    QMetaObject::invokeMethod(
        this, [this] { Flush(); }, Qt::QueuedConnection);
  } else {
    frame_timer_->start(static_cast<int>(kFrameMs - since));
  }
}

void TLogView::Flush() {
  scheduled_ = false;
  frame_timer_->stop();
  if (!pending_) return;
  pending_ = false;
  ++frames_;
  since_frame_.restart();
  const bool changed = layout_.TextAppended();
  SyncScrollBar();
  if (changed) viewport()->update();
}

void TLogView::Measure() {
  paint_font_ = font();
  // Advances must add up exactly as they are measured here.
  paint_font_.setKerning(false);
  paint_font_.setStyleStrategy(QFont::PreferNoShaping);
  const QFontMetricsF fm(paint_font_);
  std::array<double, 256> widths{};
  for (int b = 0x20; b < 256; ++b) {
    widths[b] = fm.horizontalAdvance(QChar(Cp1251Char(static_cast<unsigned char>(b))));
  }
  row_height_ = std::max(1, static_cast<int>(std::ceil(fm.lineSpacing())));
  ascent_ = static_cast<int>(std::ceil(fm.ascent()));
  layout_.SetCharWidths(widths);
  Resized();
}

void TLogView::Resized() {
  layout_.SetWidth(std::max(1, viewport()->width() - 2 * kMargin));
  layout_.SetRows(std::max(1, viewport()->height() / row_height_));
  SyncScrollBar();
  viewport()->update();
}

void TLogView::SyncScrollBar() {
  syncing_ = true;
  QScrollBar* bar = verticalScrollBar();
  bar->setRange(0, layout_.ScrollMax());
  const int page = layout_.ScrollPage();
  bar->setPageStep(page);
  bar->setSingleStep(std::max(1, page / layout_.Rows()));
  // While the operator drags the thumb it stays under the mouse; the view
  // shows the row that starts nearest below it.
  if (!bar->isSliderDown()) bar->setValue(layout_.ScrollValue());
  syncing_ = false;
}

void TLogView::Scrolled() {
  SyncScrollBar();
  viewport()->update();
}

void TLogView::scrollContentsBy(int, int) {
  if (syncing_) return;
  layout_.ScrollTo(verticalScrollBar()->value());
  Scrolled();
}

void TLogView::resizeEvent(QResizeEvent* Event) {
  QAbstractScrollArea::resizeEvent(Event);
  Resized();
}

void TLogView::changeEvent(QEvent* Event) {
  QAbstractScrollArea::changeEvent(Event);
  if (Event->type() == QEvent::FontChange) Measure();
  if (Event->type() == QEvent::PaletteChange) viewport()->update();
}

void TLogView::paintEvent(QPaintEvent*) {
  ++paints_;
  QPainter p(viewport());
  const QPalette& pal = palette();
  p.fillRect(viewport()->rect(), pal.color(QPalette::Base));
  p.setFont(paint_font_);
  const std::size_t sel_a = layout_.SelStart();
  const std::size_t sel_b = layout_.SelEnd();
  const bool sel = layout_.HasSelection();
  const QColor text = pal.color(QPalette::Text);
  const QColor high = pal.color(QPalette::Highlight);
  const QColor high_text = pal.color(QPalette::HighlightedText);
  const std::vector<TLogLayout::Row> rows = layout_.VisibleRows(layout_.Rows() + 1);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const TLogLayout::Row& r = rows[i];
    const int y = static_cast<int>(i) * row_height_;
    const double baseline = y + ascent_;
    const std::string_view bytes(r.Bytes);
    if (!sel || sel_b <= r.Start || sel_a > r.End() || (sel_a == r.End() && !bytes.empty())) {
      p.setPen(text);
      p.drawText(QPointF(kMargin, baseline), Painted(bytes));
      continue;
    }
    const std::size_t a = std::max(sel_a, r.Start) - r.Start;
    const std::size_t b = std::min(sel_b, r.End()) - r.Start;
    const double xa = kMargin + layout_.XOf(r, r.Start + a);
    double xb = kMargin + layout_.XOf(r, r.Start + b);
    // A selected line break shows as a blank's width past the row's end.
    if (sel_b > r.End() && b == bytes.size()) xb += layout_.CharWidth(' ');
    p.fillRect(QRectF(xa, y, xb - xa, row_height_), high);
    p.setPen(text);
    p.drawText(QPointF(kMargin, baseline), Painted(bytes.substr(0, a)));
    p.drawText(QPointF(kMargin + layout_.XOf(r, r.Start + b), baseline), Painted(bytes.substr(b)));
    p.setPen(high_text);
    p.drawText(QPointF(xa, baseline), Painted(bytes.substr(a, b - a)));
  }
}

std::size_t TLogView::PositionAt(QPointF Point) const {
  const int row = static_cast<int>(std::floor(std::max(0.0, Point.y()) / row_height_));
  return layout_.HitTest(row, Point.x() - kMargin);
}

void TLogView::wheelEvent(QWheelEvent* Event) {
  wheel_rest_ += Event->angleDelta().y();
  const int steps = wheel_rest_ / 40;  // three rows a notch
  wheel_rest_ -= steps * 40;
  if (steps != 0) {
    layout_.ScrollRows(-steps);
    Scrolled();
  }
  Event->accept();
}

void TLogView::keyPressEvent(QKeyEvent* Event) {
  if (Event->matches(QKeySequence::Copy)) {
    Copy();
  } else if (Event->matches(QKeySequence::SelectAll)) {
    SelectAll();
  } else if (Event->matches(QKeySequence::MoveToStartOfDocument)) {
    layout_.ScrollToStart();
    Scrolled();
  } else if (Event->matches(QKeySequence::MoveToEndOfDocument)) {
    layout_.ScrollToEnd();
    Scrolled();
  } else if (Event->key() == Qt::Key_PageUp || Event->key() == Qt::Key_PageDown) {
    layout_.ScrollPages(Event->key() == Qt::Key_PageUp ? -1 : 1);
    Scrolled();
  } else if (Event->key() == Qt::Key_Up || Event->key() == Qt::Key_Down) {
    layout_.ScrollRows(Event->key() == Qt::Key_Up ? -1 : 1);
    Scrolled();
  } else {
    QAbstractScrollArea::keyPressEvent(Event);
    return;
  }
  Event->accept();
}

void TLogView::mousePressEvent(QMouseEvent* Event) {
  if (Event->button() != Qt::LeftButton) {
    QAbstractScrollArea::mousePressEvent(Event);
    return;
  }
  layout_.Press(PositionAt(Event->position()), Event->modifiers() & Qt::ShiftModifier);
  dragging_ = true;
  viewport()->update();
}

void TLogView::mouseMoveEvent(QMouseEvent* Event) {
  if (!dragging_) return;
  // Dragging past the top or bottom edge scrolls.
  const QPointF at = Event->position();
  if (at.y() < 0) {
    layout_.ScrollRows(-1);
    SyncScrollBar();
  } else if (at.y() >= viewport()->height()) {
    layout_.ScrollRows(1);
    SyncScrollBar();
  }
  const QPointF inside(at.x(), std::clamp(at.y(), 0.0, viewport()->height() - 1.0));
  layout_.DragTo(PositionAt(inside));
  viewport()->update();
}

void TLogView::mouseReleaseEvent(QMouseEvent* Event) {
  if (Event->button() != Qt::LeftButton) return;
  dragging_ = false;
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (layout_.HasSelection() && clipboard->supportsSelection()) {
    clipboard->setText(SelectedText(), QClipboard::Selection);
  }
}

void TLogView::mouseDoubleClickEvent(QMouseEvent* Event) {
  if (Event->button() != Qt::LeftButton) return;
  layout_.SelectWord(PositionAt(Event->position()));
  dragging_ = false;
  viewport()->update();
}

QMenu* TLogView::MakeContextMenu(QWidget* Parent) {
  auto* menu = new QMenu(Parent);
  QAction* copy = menu->addAction(QString::fromUtf8("Копировать"), this, [this] { Copy(); });
  copy->setEnabled(layout_.HasSelection());
  menu->addAction(QString::fromUtf8("Выделить всё"), this, [this] { SelectAll(); });
  return menu;
}

void TLogView::contextMenuEvent(QContextMenuEvent* Event) {
  QMenu* menu = MakeContextMenu(this);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->popup(Event->globalPos());
}

QString TLogView::ToUnicode(std::string_view Cp1251) {
  QString out;
  out.reserve(static_cast<qsizetype>(Cp1251.size()));
  for (std::size_t i = 0; i < Cp1251.size(); ++i) {
    const auto b = static_cast<unsigned char>(Cp1251[i]);
    if (b == '\r' && i + 1 < Cp1251.size() && Cp1251[i + 1] == '\n') {
      out += QChar(u'\n');
      ++i;
    } else {
      out += QChar(Cp1251Char(b));
    }
  }
  return out;
}

QString TLogView::SelectedText() const {
  return ToUnicode(layout_.SelectedBytes());
}

void TLogView::SelectAll() {
  layout_.SelectAll();
  viewport()->update();
}

void TLogView::Copy() const {
  if (layout_.HasSelection()) QGuiApplication::clipboard()->setText(SelectedText());
}
