#include "controls/qt/QtLogView.h"

#include <QMetaObject>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

#include "controls/Cp1251.h"

TLogView::TLogView(QWidget* Parent) : QPlainTextEdit(Parent), frame_timer_(new QTimer(this)) {
  frame_timer_->setSingleShot(true);
  frame_timer_->setTimerType(Qt::PreciseTimer);
  connect(frame_timer_, &QTimer::timeout, this, [this] { Flush(); });
  setUndoRedoEnabled(false);  // the undo stack would keep every append
  setReadOnly(true);
  setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  setMaximumBlockCount(0);
}

void TLogView::AppendBytes(std::string_view Cp1251) {
  if (Cp1251.empty()) return;
  pending_.reserve(pending_.size() + static_cast<qsizetype>(Cp1251.size()));
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

void TLogView::ClearAll() {
  pending_.clear();
  cr_pending_ = false;
  document()->clear();
}

void TLogView::Flush() {
  flush_posted_ = false;
  frame_timer_->stop();
  if (pending_.isEmpty()) return;
  since_flush_.restart();
  QScrollBar* bar = verticalScrollBar();
  const bool follow = bar->value() >= bar->maximum();
  QTextCursor end(document());
  end.movePosition(QTextCursor::End);
  end.insertText(pending_);
  pending_.truncate(0);
  ++flushes_;
  if (follow) bar->setValue(bar->maximum());
}
