// The baseline the benchmarks measure the log view against: the view the
// console had before, Qt's plain-text editor with a document of its own. A
// read-only plain-text view fed with Windows-1251
// bytes. Appends are converted at once and shown in batches, at most one per
// turn of the event loop and at most one per display frame, so a stream of
// small appends does not redraw the view for each of them; CR LF breaks the
// line. The view follows the tail unless the operator scrolled up, and keeps
// the operator's selection.
//
// Qt lays out a whole paragraph again whenever text is added to it, so a
// line that never ends (a device that sends LF alone, datagrams without CR)
// would make every append cost the line's length. The view therefore starts
// a new paragraph once the last one holds kMaxBlock characters; such
// continuation paragraphs are marked and copying joins them again.
#pragma once

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QString>
#include <string_view>

class QMimeData;
class QTimer;

class TEditorView : public QPlainTextEdit {
 public:
  explicit TEditorView(QWidget* Parent = nullptr);

  // Costs what is appended, however long the text already is.
  void AppendBytes(std::string_view Cp1251);
  void ClearAll();
  // Shows what is pending now (normally done once per loop turn).
  void Flush();
  bool HasPending() const { return !pending_.isEmpty(); }
  // How many batches reached the document, for tests and benchmarks.
  long long FlushCount() const { return flushes_; }
  // The text between two document positions as the operator copies it:
  // line breaks as "\n", continuation breaks left out.
  QString TextBetween(int From, int To) const;

  // The longest paragraph the view makes on its own.
  static constexpr int kMaxBlock = 2000;
  // The block user state of a continuation paragraph.
  static constexpr int kContinuation = 1;

 protected:
  QMimeData* createMimeDataFromSelection() const override;

 private:
  // Shortest time between two batches.
  static constexpr int kFrameMs = 16;

  QString pending_;
  QElapsedTimer since_flush_;
  QTimer* frame_timer_;
  bool cr_pending_ = false;  // the bytes so far end in CR
  bool flush_posted_ = false;
  long long flushes_ = 0;
};
