#include <gtest/gtest.h>

#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <random>
#include <string>

#include "controls/Controls.h"
#include "controls/qt/QtLogView.h"
#include "controls/qt/QtWindowSystem.h"
#include "tests/controls/qt/QtFixture.h"

namespace {

// What the document must hold for a model made of CR LF, ASCII and
// 0xC0-0xFF (the Cyrillic letters U+0410-U+044F in order).
QString Expected(const std::string& model) {
  QString out;
  for (char ch : model) {
    const unsigned char b = static_cast<unsigned char>(ch);
    if (b == '\r') continue;
    if (b == '\n') {
      out += QChar(QChar::ParagraphSeparator);
    } else if (b >= 0xC0) {
      out += QChar(char16_t(0x0410 + (b - 0xC0)));
    } else {
      out += QChar(char16_t(b));
    }
  }
  return out;
}

class LogView : public QtTest {
 protected:
  void SetUp() override {
    QtTest::SetUp();
    form = std::make_unique<TForm>(nullptr);
    form->SetClientSize(400, 200);
    memo = new TMemo(form.get());
    memo->SetParent(form.get());
    memo->SetAlign(alClient);
    memo->SetReadOnly(true);
    memo->SetScrollBars(ssVertical);
    form->Show();
    view = dynamic_cast<TLogView*>(TQtWindowSystem::WidgetOf(*memo));
    ASSERT_NE(view, nullptr);
  }
  void TearDown() override {
    form.reset();
    QtTest::TearDown();
  }
  QString Shown() const { return view->document()->toRawText(); }

  std::unique_ptr<TForm> form;
  TMemo* memo = nullptr;
  TLogView* view = nullptr;
};

TEST_F(LogView, ShowsWindows1251AsCyrillicAndCrLfAsLineBreaks) {
  std::string all;
  for (int b = 0xC0; b <= 0xFF; ++b) all += static_cast<char>(b);
  memo->AppendText(all);
  memo->AppendText("\r\nRx- 1E 02 \r");  // the CR's LF comes with the next append
  memo->AppendText("\nend\rX");          // a CR without LF breaks nothing
  ASSERT_TRUE(SpinUntil([&] { return !view->HasPending(); }));
  EXPECT_EQ(view->toPlainText(),
            QString("АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдежзийклмнопрстуфхцчшщъыьэюя\n"
                    "Rx- 1E 02 \nendX"));
  EXPECT_EQ(view->blockCount(), 3);
  EXPECT_TRUE(view->isReadOnly());
  EXPECT_EQ(view->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

  memo->ClearText();
  memo->AppendText("\xA8\xB8\xB9");
  view->Flush();
  EXPECT_EQ(view->toPlainText(), QString("Ёё№"));
}

TEST_F(LogView, AppendsAreBatchedAndKeepUpWithTheModel) {
  std::mt19937 rng(7);
  std::string model;
  ASSERT_TRUE(SpinUntil([&] { return !view->HasPending(); }));
  const long long flushes_before = view->FlushCount();
  for (int i = 0; i < 5000; ++i) {
    std::string chunk;
    const int n = 1 + static_cast<int>(rng() % 12);
    for (int k = 0; k < n; ++k) {
      const int r = static_cast<int>(rng() % 40);
      chunk += r == 0 ? std::string("\r\n") : std::string(1, static_cast<char>(0xC0 + rng() % 64));
      if (r == 1) chunk += static_cast<char>('0' + rng() % 10);
    }
    model += chunk;
    memo->AppendText(chunk);
  }
  // Nothing reached the document yet: it all goes in as one batch later.
  EXPECT_EQ(view->FlushCount(), flushes_before);
  ASSERT_TRUE(SpinUntil([&] { return !view->HasPending(); }));
  EXPECT_EQ(view->FlushCount(), flushes_before + 1);
  EXPECT_EQ(Shown(), Expected(model));

  // Appends that come faster than the display redraws share batches, and
  // the text stays exact on top of a large one.
  const long long flushes_mid = view->FlushCount();
  for (int i = 0; i < 100; ++i) {
    memo->AppendText("\xF2\xE5\xF1\xF2\r\n");
    model += "\xF2\xE5\xF1\xF2\r\n";
    QCoreApplication::processEvents();
  }
  ASSERT_TRUE(SpinUntil([&] { return !view->HasPending(); }));
  EXPECT_LT(view->FlushCount() - flushes_mid, 100);
  EXPECT_EQ(Shown(), Expected(model));
}

TEST_F(LogView, ALoneAppendIsShownWithinAFrame) {
  ASSERT_TRUE(SpinUntil([&] { return !view->HasPending(); }));
  memo->AppendText("one");
  QElapsedTimer timer;
  timer.start();
  ASSERT_TRUE(SpinUntil([&] { return !view->HasPending(); }));
  EXPECT_LT(timer.elapsed(), 1000);
  EXPECT_TRUE(Shown().endsWith(QString("one")));
}

TEST_F(LogView, FollowsTheTailUnlessTheOperatorScrolledUpAndKeepsTheSelection) {
  for (int i = 0; i < 300; ++i) memo->AppendText("line\r\n");
  ASSERT_TRUE(SpinUntil([&] { return !view->HasPending(); }));
  QScrollBar* bar = view->verticalScrollBar();
  ASSERT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());

  memo->AppendText("more\r\n");
  ASSERT_TRUE(SpinUntil([&] { return !view->HasPending(); }));
  EXPECT_EQ(bar->value(), bar->maximum());

  // The operator scrolls up and selects something; appends leave both.
  QTextCursor sel(view->document());
  sel.setPosition(5);
  sel.setPosition(9, QTextCursor::KeepAnchor);
  view->setTextCursor(sel);
  bar->setValue(10);
  for (int i = 0; i < 50; ++i) memo->AppendText("tail\r\n");
  ASSERT_TRUE(SpinUntil([&] { return !view->HasPending(); }));
  EXPECT_EQ(bar->value(), 10);
  EXPECT_EQ(view->textCursor().selectedText(), QString("line"));

  // Back at the bottom, it follows again.
  bar->setValue(bar->maximum());
  memo->AppendText("last\r\n");
  ASSERT_TRUE(SpinUntil([&] { return !view->HasPending(); }));
  EXPECT_EQ(bar->value(), bar->maximum());
}

TEST_F(LogView, ALineThatNeverEndsIsShownInShortParagraphsAndCopiedWhole) {
  memo->SetWordWrap(true);
  ASSERT_TRUE(SpinUntil([&] { return !view->HasPending(); }));
  // 1 MB without a line break, in pieces shorter than a paragraph, each one
  // shown at once: every flush adds to a paragraph no longer than the limit,
  // so none of them lays out the whole line again.
  std::mt19937 rng(11);
  QString model;
  for (int i = 0; i < 700; ++i) {
    std::string piece;
    for (int k = 0; k < 1500; ++k) {
      const unsigned r = rng() % 6;
      const unsigned char b = static_cast<unsigned char>(r == 0  ? ' '
                                                         : r < 3 ? 0xC0 + rng() % 64
                                                                 : 'a' + rng() % 26);
      piece += static_cast<char>(b);
      model += b >= 0xC0 ? QChar(char16_t(0x0410 + (b - 0xC0))) : QChar(char16_t(b));
    }
    memo->AppendText(piece);
    view->Flush();
    ASSERT_LE(view->document()->lastBlock().length() - 1, TLogView::kMaxBlock) << "piece " << i;
  }
  memo->AppendText("\r\nnext");
  model += QChar(u'\n');
  model += QString("next");
  view->Flush();

  int continuations = 0;
  for (QTextBlock b = view->document()->begin(); b.isValid(); b = b.next()) {
    EXPECT_LE(b.length() - 1, TLogView::kMaxBlock);
    if (b.userState() == TLogView::kContinuation) ++continuations;
  }
  EXPECT_EQ(continuations, (700 * 1500 - 1) / TLogView::kMaxBlock);  // full paragraphs
  // The real line after it is no continuation.
  EXPECT_NE(view->document()->lastBlock().userState(), TLogView::kContinuation);
  EXPECT_EQ(view->document()->lastBlock().text(), QString("next"));

  // Copying everything gives the text without the continuation breaks.
  view->selectAll();
  view->copy();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), model);
}

TEST_F(LogView, CopyingAcrossAContinuationBreakLeavesItOut) {
  std::string line;
  for (int i = 0; i < TLogView::kMaxBlock + 500; ++i) line += static_cast<char>('0' + i % 10);
  memo->AppendText(line + "\r\nxyz\xA0\xC0");
  ASSERT_TRUE(SpinUntil([&] { return !view->HasPending(); }));
  ASSERT_EQ(view->blockCount(), 3);
  ASSERT_EQ(view->document()->findBlockByNumber(1).userState(), TLogView::kContinuation);

  // From 10 characters before the continuation break into the next line;
  // the document holds one more character (the break) than the text.
  const int from = TLogView::kMaxBlock - 10;
  const int to = static_cast<int>(line.size()) + 1 + 1 + 5;
  QTextCursor sel(view->document());
  sel.setPosition(from);
  sel.setPosition(to, QTextCursor::KeepAnchor);
  view->setTextCursor(sel);
  view->copy();
  EXPECT_EQ(QGuiApplication::clipboard()->text(),
            QString::fromStdString(line.substr(from)) + QString("\nxyz А"));

  // A selection inside the continuation paragraph alone.
  sel.setPosition(TLogView::kMaxBlock + 1);
  sel.setPosition(TLogView::kMaxBlock + 4, QTextCursor::KeepAnchor);
  view->setTextCursor(sel);
  view->copy();
  EXPECT_EQ(QGuiApplication::clipboard()->text(),
            QString::fromStdString(line.substr(TLogView::kMaxBlock, 3)));
}

}  // namespace
