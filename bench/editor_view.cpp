#include "bench/editor_view.h"

#include <QMetaObject>
#include <QMimeData>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <algorithm>
#include <vector>

#include "controls/Cp1251.h"

TEditorView::TEditorView(QWidget* Parent) : QPlainTextEdit(Parent), frame_timer_(new QTimer(this)) {
  frame_timer_->setSingleShot(true);
  frame_timer_->setTimerType(Qt::PreciseTimer);
  connect(frame_timer_, &QTimer::timeout, this, [this] { Flush(); });
  setUndoRedoEnabled(false);  // the undo stack would keep every append
  setReadOnly(true);
  setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  setMaximumBlockCount(0);
}

void TEditorView::AppendBytes(std::string_view Cp1251) {
  if (Cp1251.empty()) return;
  for (char ch : Cp1251) {
    const unsigned char b = static_cast<unsigned char>(ch);
    if (cr_pending_) {
      cr_pending_ = false;
      if (b == '\n') {
        pending_ += QChar(u'\n');
        continue;
      }
      // A CR without its LF breaks nothing.
    }
    if (b == '\r') {
      cr_pending_ = true;
    } else if (b == '\n' || b == '\t' || b >= 0x20) {
      pending_ += QChar(Cp1251Char(b));
    }
  }
  if (!flush_posted_ && !pending_.isEmpty()) {
    flush_posted_ = true;
    const qint64 since = since_flush_.isValid() ? since_flush_.elapsed() : kFrameMs;
    if (since >= kFrameMs) {
      QMetaObject::invokeMethod(
          this, [this] { Flush(); }, Qt::QueuedConnection);
    } else {
      frame_timer_->start(static_cast<int>(kFrameMs - since));
    }
  }
}

void TEditorView::ClearAll() {
  pending_.clear();
  cr_pending_ = false;
  document()->clear();
}

void TEditorView::Flush() {
  flush_posted_ = false;
  frame_timer_->stop();
  if (pending_.isEmpty()) return;
  since_flush_.restart();
  QScrollBar* bar = verticalScrollBar();
  const bool follow = bar->value() >= bar->maximum();

  // Break the text where a paragraph would grow past kMaxBlock; remember
  // which of the breaks are such continuations.
  QTextDocument* doc = document();
  QTextBlock last = doc->lastBlock();
  qsizetype column = last.length() - 1;
  QString text;
  std::vector<bool> continuation;  // one per break in text, in order
  bool any_continuation = false;
  qsizetype from = 0;
  const qsizetype n = pending_.size();
  while (from < n) {
    qsizetype nl = pending_.indexOf(QChar(u'\n'), from);
    if (nl < 0) nl = n;
    qsizetype pos = from;
    while (nl - pos > kMaxBlock - column) {
      const qsizetype take = std::max<qsizetype>(kMaxBlock - column, 0);
      text += QStringView(pending_).mid(pos, take);
      text += QChar(u'\n');
      continuation.push_back(true);
      any_continuation = true;
      pos += take;
      column = 0;
    }
    text += QStringView(pending_).mid(pos, nl - pos);
    column += nl - pos;
    if (nl < n) {
      text += QChar(u'\n');
      continuation.push_back(false);
      column = 0;
    }
    from = nl + 1;
  }
  pending_.truncate(0);

  QTextCursor end(doc);
  end.movePosition(QTextCursor::End);
  end.beginEditBlock();
  end.insertText(text);
  end.endEditBlock();
  // A new paragraph may take the mark of the one it was split from, so every
  // new one is marked when the last one was a continuation or any break is.
  if (any_continuation || last.userState() == kContinuation) {
    QTextBlock b = last.next();
    for (bool c : continuation) {
      if (!b.isValid()) break;
      b.setUserState(c ? kContinuation : -1);
      b = b.next();
    }
  }
  ++flushes_;
  if (follow) bar->setValue(bar->maximum());
}

QString TEditorView::TextBetween(int From, int To) const {
  QString out;
  if (To <= From) return out;
  const QTextDocument* doc = document();
  for (QTextBlock b = doc->findBlock(From); b.isValid() && b.position() < To; b = b.next()) {
    const int start = b.position();
    if (start > From && b.userState() != kContinuation) out += QChar(u'\n');
    const QString t = b.text();
    const int lo = std::max(From - start, 0);
    const int hi = std::min(To - start, static_cast<int>(t.size()));
    if (hi > lo) out += QStringView(t).mid(lo, hi - lo);
  }
  // As Qt's own plain-text copy does.
  out.replace(QChar(QChar::Nbsp), QChar(u' '));
  return out;
}

QMimeData* TEditorView::createMimeDataFromSelection() const {
  const QTextCursor c = textCursor();
  auto* data = new QMimeData;
  data->setText(TextBetween(c.selectionStart(), c.selectionEnd()));
  return data;
}
