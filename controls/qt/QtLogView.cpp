#include "controls/qt/QtLogView.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMetaObject>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>
#include <QWheelEvent>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <new>

#include "controls/Controls.h"
#include "controls/Cp1251.h"

namespace {

// How often a drag held past the top or bottom edge scrolls a row.
constexpr int kDragScrollMs = 50;
}  // namespace

QString TLogView::Painted(std::string_view Bytes) {
  QString out;
  out.reserve(static_cast<qsizetype>(Bytes.size()));
  for (char ch : Bytes) {
    const auto b = static_cast<unsigned char>(ch);
    if (b >= 0x20) out += QChar(Cp1251Glyph(b));
  }
  return out;
}

std::vector<QString> TLogView::PaintedRows() const {
  std::vector<QString> out;
  for (const TLogLayout::Row& r : layout_.VisibleRows(layout_.Rows()))
    out.push_back(Painted(r.Bytes));
  return out;
}

TLogView::TLogView(QWidget* Parent)
    : QAbstractScrollArea(Parent),
      core_(*this),
      layout_(core_.Layout()),
      frame_timer_(new QTimer(this)),
      drag_timer_(new QTimer(this)),
      copy_timer_(new QTimer(this)),
      find_bar_(new QWidget(this)),
      find_edit_(new QLineEdit(find_bar_)),
      find_status_(new QLabel(find_bar_)),
      find_timer_(new QTimer(this)),
      save_timer_(new QTimer(this)) {
  auto* bar = new QHBoxLayout(find_bar_);
  bar->setContentsMargins(2, 2, 2, 2);
  bar->addWidget(find_edit_, 1);
  bar->addWidget(find_status_);
  find_status_->setTextFormat(Qt::PlainText);
  find_bar_->setAutoFillBackground(true);
  find_bar_->hide();
  find_edit_->installEventFilter(this);
  // A new text starts over from the selection, with nothing said yet.
  connect(find_edit_, &QLineEdit::textEdited, this, [this] {
    RunGuarded(nullptr, [this] { core_.FindReset(); });
  });
  find_timer_->setInterval(0);
  connect(find_timer_, &QTimer::timeout, this,
          [this] { RunGuarded(nullptr, [this] { core_.FindSteps(); }); });
  connect(save_timer_, &QTimer::timeout, this,
          [this] { RunGuarded(nullptr, [this] { core_.SaveSteps(); }); });
  // Anywhere in the window, whichever control has the focus.
  auto* find_key = new QShortcut(QKeySequence::Find, this);
  find_key->setContext(Qt::WindowShortcut);
  connect(find_key, &QShortcut::activated, this,
          [this] { RunGuarded(nullptr, [this] { OpenFind(); }); });
  auto* save_key = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_S), this);
  save_key->setContext(Qt::WindowShortcut);
  connect(save_key, &QShortcut::activated, this,
          [this] { RunGuarded(nullptr, [this] { Save(); }); });
  frame_timer_->setSingleShot(true);
  frame_timer_->setTimerType(Qt::PreciseTimer);
  connect(frame_timer_, &QTimer::timeout, this,
          [this] { RunGuarded(nullptr, [this] { Flush(); }); });
  copy_timer_->setInterval(0);
  connect(copy_timer_, &QTimer::timeout, this,
          [this] { RunGuarded(nullptr, [this] { CopySteps(); }); });
  drag_timer_->setInterval(kDragScrollMs);
  connect(drag_timer_, &QTimer::timeout, this,
          [this] { RunGuarded(nullptr, [this] { DragScroll(); }); });
  // The bar's arrows and page clicks move by rows, as the keys do; its
  // units are bytes, and a step of bytes would snap back to the row it
  // started in.
  connect(verticalScrollBar(), &QScrollBar::actionTriggered, this,
          [this](int Action) { RunGuarded(nullptr, [this, Action] { BarAction(Action); }); });
  // The wheel over the bar turns rows as over the text.
  verticalScrollBar()->installEventFilter(this);
  viewport()->setCursor(Qt::IBeamCursor);
  viewport()->setAutoFillBackground(false);
  setAttribute(Qt::WA_InputMethodEnabled, false);
  Measure();
}

void TLogView::BarAction(int Action) {
  switch (Action) {
    case QAbstractSlider::SliderSingleStepAdd:
      core_.BarStep(TLogBarStep::RowDown);
      break;
    case QAbstractSlider::SliderSingleStepSub:
      core_.BarStep(TLogBarStep::RowUp);
      break;
    case QAbstractSlider::SliderPageStepAdd:
      core_.BarStep(TLogBarStep::PageDown);
      break;
    case QAbstractSlider::SliderPageStepSub:
      core_.BarStep(TLogBarStep::PageUp);
      break;
    default:
      return;
  }
  verticalScrollBar()->setSliderPosition(layout_.ScrollValue());
  viewport()->update();
}

bool TLogView::event(QEvent* Event) {
  // Nothing may escape into Qt's loop: an error goes to the application's
  // hook, as every control's does.
  bool result = false;
  RunGuarded(nullptr, [&] { result = QAbstractScrollArea::event(Event); });
  return result;
}

bool TLogView::eventFilter(QObject* Watched, QEvent* Event) {
  if (Watched == find_edit_ && Event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(Event);
    const bool back = key->modifiers() & Qt::ShiftModifier;
    switch (key->key()) {
      case Qt::Key_Return:
      case Qt::Key_Enter:
      case Qt::Key_F3:
        RunGuarded(nullptr, [&] { FindNext(!back); });
        return true;
      case Qt::Key_Escape:
        RunGuarded(nullptr, [&] { CloseFind(); });
        return true;
      default:
        break;
    }
  }
  if (Watched == verticalScrollBar() && Event->type() == QEvent::Wheel) {
    RunGuarded(nullptr, [&] { wheelEvent(static_cast<QWheelEvent*>(Event)); });
    return true;
  }
  return QAbstractScrollArea::eventFilter(Watched, Event);
}

bool TLogView::viewportEvent(QEvent* Event) {
  bool result = false;
  RunGuarded(nullptr, [&] { result = QAbstractScrollArea::viewportEvent(Event); });
  return result;
}

// A copy under way: the selection converted to UTF-8 a slice at a time, the
// loop running between slices, and handed to the clipboard when complete.
// UTF-8 is what other programs take from it, so the copy costs one text of
// that size and no more.
struct TLogView::CopyJob {
  QClipboard::Mode mode;
  TLogSlices slices;
  QByteArray utf8;
};

TLogView::~TLogView() = default;

void TLogView::ShowText(const TLogText* Text) {
  core_.ShowText(Text);
}

void TLogView::TextAppended() {
  core_.TextAppended();
}

void TLogView::TextCleared() {
  core_.TextCleared();
}

void TLogView::SetWordWrap(bool Wrap) {
  core_.SetWordWrap(Wrap);
}

void TLogView::Flush() {
  core_.Flush();
}

QTimer* TLogView::TimerOf(TLogViewTimer Timer) const {
  switch (Timer) {
    case TLogViewTimer::Frame:
      return frame_timer_;
    case TLogViewTimer::Find:
      return find_timer_;
    case TLogViewTimer::Save:
      break;
  }
  return save_timer_;
}

void TLogView::StartTimer(TLogViewTimer Timer, int Ms) {
  // The next frame that is due at once comes on the loop's next turn.
  if (Timer == TLogViewTimer::Frame && Ms == 0) {
    QMetaObject::invokeMethod(
        this, [this] { Flush(); }, Qt::QueuedConnection);
    return;
  }
  TimerOf(Timer)->start(Ms);
}

void TLogView::StopTimer(TLogViewTimer Timer) {
  TimerOf(Timer)->stop();
}

void TLogView::Repaint() {
  viewport()->update();
}

void TLogView::CancelCopies() {
  CancelCopy(QClipboard::Clipboard);
  CancelCopy(QClipboard::Selection);
}

void TLogView::Measure() {
  paint_font_ = font();
  // Advances must add up exactly as they are measured here.
  paint_font_.setKerning(false);
  paint_font_.setStyleStrategy(QFont::PreferNoShaping);
  const QFontMetricsF fm(paint_font_);
  std::array<double, 256> widths{};
  for (int b = 0x20; b < 256; ++b) {
    widths[b] = fm.horizontalAdvance(QChar(Cp1251Glyph(static_cast<unsigned char>(b))));
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
  // While the operator drags the thumb it stays under the mouse; the view
  // shows the row that starts nearest below it.
  if (!bar->isSliderDown()) bar->setValue(layout_.ScrollValue());
  syncing_ = false;
}

void TLogView::Scrolled() {
  core_.Scrolled();
}

void TLogView::scrollContentsBy(int, int) {
  // Called from the bar's own events, which the guard of this widget's
  // events does not cover.
  RunGuarded(nullptr, [this] {
    // A value that is where the view already is (a row step just taken)
    // moves nothing.
    if (syncing_ || verticalScrollBar()->value() == layout_.ScrollValue()) return;
    layout_.ScrollTo(verticalScrollBar()->value());
    Scrolled();
  });
}

void TLogView::resizeEvent(QResizeEvent* Event) {
  QAbstractScrollArea::resizeEvent(Event);
  PlaceFindBar();
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
  const QColor text = pal.color(QPalette::Text);
  const QColor high = pal.color(QPalette::Highlight);
  const QColor high_text = pal.color(QPalette::HighlightedText);
  const std::vector<TLogLayout::Row> rows = layout_.VisibleRows(layout_.Rows() + 1);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const TLogLayout::Row& r = rows[i];
    const int y = static_cast<int>(i) * row_height_;
    const double baseline = y + ascent_;
    const std::string_view bytes(r.Bytes);
    const TLogRowSplit split = TLogViewCore::SplitRow(layout_, r);
    if (!split.Selected) {
      p.setPen(text);
      p.drawText(QPointF(kMargin, baseline), Painted(bytes));
      continue;
    }
    const std::size_t a = split.A, b = split.B;
    const double xa = kMargin + split.XA;
    const double xb = kMargin + split.XB + (split.LineBreak ? layout_.CharWidth(' ') : 0.0);
    p.fillRect(QRectF(xa, y, xb - xa, row_height_), high);
    p.setPen(text);
    p.drawText(QPointF(kMargin, baseline), Painted(bytes.substr(0, a)));
    p.drawText(QPointF(kMargin + split.XB, baseline), Painted(bytes.substr(b)));
    p.setPen(high_text);
    p.drawText(QPointF(xa, baseline), Painted(bytes.substr(a, b - a)));
  }
}

std::size_t TLogView::PositionAt(QPointF Point) const {
  const int row = static_cast<int>(std::floor(std::max(0.0, Point.y()) / row_height_));
  return layout_.HitTest(row, Point.x() - kMargin);
}

void TLogView::wheelEvent(QWheelEvent* Event) {
  core_.Wheel(Event->angleDelta().y());
  Event->accept();
}

void TLogView::keyPressEvent(QKeyEvent* Event) {
  TLogViewKey key;
  if (Event->matches(QKeySequence::Copy)) {
    key = TLogViewKey::Copy;
  } else if (Event->matches(QKeySequence::SelectAll)) {
    key = TLogViewKey::SelectAll;
  } else if (Event->matches(QKeySequence::MoveToStartOfDocument)) {
    key = TLogViewKey::Home;
  } else if (Event->matches(QKeySequence::MoveToEndOfDocument)) {
    key = TLogViewKey::End;
  } else if (Event->key() == Qt::Key_PageUp || Event->key() == Qt::Key_PageDown) {
    key = Event->key() == Qt::Key_PageUp ? TLogViewKey::PageUp : TLogViewKey::PageDown;
  } else if (Event->key() == Qt::Key_F3) {
    key = TLogViewKey::F3;
  } else if (Event->key() == Qt::Key_Up || Event->key() == Qt::Key_Down) {
    key = Event->key() == Qt::Key_Up ? TLogViewKey::Up : TLogViewKey::Down;
  } else {
    QAbstractScrollArea::keyPressEvent(Event);
    return;
  }
  core_.Key(key, Event->modifiers() & Qt::ShiftModifier);
  Event->accept();
}

void TLogView::mousePressEvent(QMouseEvent* Event) {
  if (Event->button() != Qt::LeftButton) {
    QAbstractScrollArea::mousePressEvent(Event);
    return;
  }
  layout_.Press(PositionAt(Event->position()), Event->modifiers() & Qt::ShiftModifier);
  dragging_ = true;
  drag_at_ = Event->position();
  viewport()->update();
}

void TLogView::mouseMoveEvent(QMouseEvent* Event) {
  if (!dragging_) return;
  drag_at_ = Event->position();
  // Held past the top or bottom edge, the drag scrolls a row a tick until
  // the mouse comes back or the button is let go.
  const bool outside = drag_at_.y() < 0 || drag_at_.y() >= viewport()->height();
  if (outside && !drag_timer_->isActive()) {
    drag_timer_->start();
    DragScroll();
    return;
  }
  if (!outside) drag_timer_->stop();
  DragTo();
}

void TLogView::DragScroll() {
  if (!dragging_) {
    drag_timer_->stop();
    return;
  }
  if (drag_at_.y() < 0) {
    layout_.ScrollRows(-1);
  } else if (drag_at_.y() >= viewport()->height()) {
    layout_.ScrollRows(1);
  } else {
    drag_timer_->stop();
  }
  SyncScrollBar();
  DragTo();
}

void TLogView::DragTo() {
  const QPointF inside(drag_at_.x(), std::clamp(drag_at_.y(), 0.0, viewport()->height() - 1.0));
  layout_.DragTo(PositionAt(inside));
  viewport()->update();
}

void TLogView::mouseReleaseEvent(QMouseEvent* Event) {
  if (Event->button() != Qt::LeftButton) return;
  dragging_ = false;
  drag_timer_->stop();
  if (layout_.HasSelection() && QGuiApplication::clipboard()->supportsSelection()) {
    CopyTo(QClipboard::Selection);
  }
}

void TLogView::mouseDoubleClickEvent(QMouseEvent* Event) {
  if (Event->button() != Qt::LeftButton) return;
  // A word under the mouse, or nothing where there is no character.
  const QPointF at = Event->position();
  const int row = static_cast<int>(std::floor(std::max(0.0, at.y()) / row_height_));
  const std::size_t pos = layout_.CharAt(row, at.x() - kMargin);
  if (pos == TLogText::npos) {
    layout_.Press(PositionAt(at), false);
  } else {
    layout_.SelectWord(pos);
  }
  dragging_ = false;
  drag_timer_->stop();
  viewport()->update();
}

QMenu* TLogView::MakeContextMenu(QWidget* Parent) {
  auto* menu = new QMenu(Parent);
  QAction* copy = menu->addAction(QString::fromUtf8("Копировать"), this, [this] { Copy(); });
  copy->setEnabled(layout_.HasSelection());
  menu->addAction(QString::fromUtf8("Выделить всё"), this, [this] { SelectAll(); });
  menu->addSeparator();
  menu->addAction(QString::fromUtf8("Найти..."), this, [this] { OpenFind(); });
  menu->addAction(QString::fromUtf8("Сохранить в файл..."), this, [this] { Save(); });
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
  core_.SelectAll();
}

void TLogView::Copy() {
  CopyTo(QClipboard::Clipboard);
}

namespace {

void PutUtf8(QByteArray& out, std::string_view bytes) {
  // Written in place: at most three bytes a character.
  const qsizetype at = out.size();
  out.resize(at + 3 * static_cast<qsizetype>(bytes.size()));
  out.truncate(at + static_cast<qsizetype>(Cp1251ToUtf8At(out.data() + at, bytes, true)));
}

}  // namespace

void TLogView::CopyTo(QClipboard::Mode Mode) {
  if (!layout_.HasSelection() || !layout_.Text()) return;
  CancelCopy(Mode);
  if (layout_.SelEnd() - layout_.SelStart() > copy_limit_) return Refuse();
  copies_.push_back(std::make_unique<CopyJob>(
      CopyJob{Mode, TLogSlices(*layout_.Text(), layout_.SelStart(), layout_.SelEnd()), {}}));
  // A small selection is on the clipboard before this returns.
  CopySteps();
}

void TLogView::CancelCopy(QClipboard::Mode Mode) {
  std::erase_if(copies_, [Mode](const std::unique_ptr<CopyJob>& j) { return j->mode == Mode; });
  if (copies_.empty()) {
    copy_timer_->stop();
    viewport()->setCursor(Qt::IBeamCursor);
  }
}

void TLogView::CopySteps() {
  bool refuse = false;
  const auto until = std::chrono::steady_clock::now() + TLogViewCore::kStepBudget;
  ++copy_turns_;
  for (std::size_t i = 0; i < copies_.size();) {
    CopyJob& job = *copies_[i];
    bool refused = false;
    try {
      TLogViewCore::CopySlices(job.slices, until,
                               [&job](const std::string& s) { PutUtf8(job.utf8, s); });
    } catch (const std::bad_alloc&) {
      refused = true;
    }
    if (refused || job.slices.Done()) {
      std::unique_ptr<CopyJob> done = std::move(copies_[i]);
      copies_.erase(copies_.begin() + static_cast<std::ptrdiff_t>(i));
      if (refused) {
        done.reset();
        refuse = true;  // told once the loop is done: the message box runs a loop of its own
      } else {
        done->utf8.squeeze();
        // Both names carry the same bytes, shared rather than copied.
        auto* data = new QMimeData;
        data->setData(QStringLiteral("text/plain;charset=utf-8"), done->utf8);
        data->setData(QStringLiteral("text/plain"), done->utf8);
        const QClipboard::Mode mode = done->mode;
        done.reset();
        QGuiApplication::clipboard()->setMimeData(data, mode);
      }
      continue;
    }
    ++i;
  }
  if (copies_.empty()) {
    copy_timer_->stop();
    viewport()->setCursor(Qt::IBeamCursor);
  } else {
    viewport()->setCursor(Qt::BusyCursor);
    copy_timer_->start();
  }
  if (refuse) Refuse();
}

void TLogView::Refuse() {
  if (OnRefused) OnRefused(TLogViewCore::kTooLarge);
}

void TLogView::SetCopyLimit(std::size_t Bytes) {
  copy_limit_ = Bytes;
}

// ---------------------------------------------------------------------- find

void TLogView::PlaceFindBar() {
  const int h = find_bar_->sizeHint().height();
  const QRect r = contentsRect();
  find_bar_->setGeometry(r.left(), r.bottom() + 1 - h, r.width(), h);
}

void TLogView::OpenFind() {
  if (find_bar_->isHidden()) {
    // The rows make room for it rather than hide under it.
    setViewportMargins(0, 0, 0, find_bar_->sizeHint().height());
    PlaceFindBar();
    find_bar_->show();
    find_bar_->raise();
  }
  find_edit_->setFocus();
  find_edit_->selectAll();
}

void TLogView::CloseFind() {
  core_.FindReset();
  find_bar_->hide();
  setViewportMargins(0, 0, 0, 0);
  if (OnFindClosed) OnFindClosed();
}

bool TLogView::Finding() const {
  return core_.Finding();
}

QString TLogView::FindStatus() const {
  return find_status_->text();
}

void TLogView::FindNext(bool Forward) {
  core_.FindNext(Forward);
}

std::string TLogView::FindPattern() const {
  return find_edit_->text().toStdString();
}

void TLogView::ShowFindStatus(const std::string& Utf8) {
  if (Utf8.empty()) {
    find_status_->clear();
  } else {
    find_status_->setText(QString::fromUtf8(Utf8));
  }
}

// ---------------------------------------------------------------------- save

bool TLogView::Saving() const {
  return core_.Saving();
}

void TLogView::Save() {
  core_.Save();
}

std::string TLogView::SavePath() {
  if (AskSavePath) return AskSavePath();
  return QFileDialog::getSaveFileName(this, QString::fromUtf8("Сохранить в файл"), QString(),
                                      QString::fromUtf8("Текст (*.txt);;Все файлы (*)"))
      .toStdString();
}

void TLogView::CancelSave() {
  core_.CancelSave();
}

void TLogView::SaveProgress(const std::string& Text) {
  if (OnSaveProgress) OnSaveProgress(Text);
}

void TLogView::SaveFailed(const std::string& Error) {
  if (OnSaveFailed) OnSaveFailed(Error);
}
