#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "controls/Controls.h"
#include "controls/Cp1251.h"
#include "controls/qt/QtLogView.h"
#include "controls/qt/QtWindowSystem.h"
#include "tests/controls/qt/QtFixture.h"

#include "tests/app/ProcessStats.h"

namespace {

const TFont kPaneFont{"Arial", 8, true, true};

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
    memo->SetFont(kPaneFont);
    form->Show();
    view = dynamic_cast<TLogView*>(TQtWindowSystem::WidgetOf(*memo));
    ASSERT_NE(view, nullptr);
    QGuiApplication::clipboard()->clear();
  }
  void TearDown() override {
    form.reset();
    QtTest::TearDown();
  }
  void Settle() {
    ASSERT_TRUE(SpinUntil([&] { return !view->HasPending(); }));
  }
  QString Clipboard() const { return QGuiApplication::clipboard()->text(); }
  QWidget* Viewport() const { return view->viewport(); }
  // The middle of row Row, x pixels into the text.
  QPoint At(int Row, double X) const {
    return QPoint(TLogView::kMargin + static_cast<int>(std::lround(X)),
                  Row * view->RowHeight() + view->RowHeight() / 2);
  }
  // Width of the first n characters as the font measures them on its own.
  double WidthOf(const QString& s, int n) const {
    QFont f = view->font();
    f.setKerning(false);
    f.setStyleStrategy(QFont::PreferNoShaping);
    const QFontMetricsF fm(f);
    double x = 0;
    for (int i = 0; i < n; ++i) x += fm.horizontalAdvance(s[i]);
    return x;
  }
  QAction* MenuAction(QMenu& menu, const char* text) {
    for (QAction* a : menu.actions()) {
      if (a->text() == QString::fromUtf8(text)) return a;
    }
    return nullptr;
  }

  std::unique_ptr<TForm> form;
  TMemo* memo = nullptr;
  TLogView* view = nullptr;
};

TEST_F(LogView, PaneLooksAsDesignedAndCopiesCyrillicAndLineBreaksExactly) {
  memo->SetColor(clCream);
  EXPECT_EQ(view->palette().color(QPalette::Base), QColor(0xFF, 0xFB, 0xF0));
  EXPECT_TRUE(view->font().bold());
  EXPECT_EQ(view->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

  std::string all;
  for (int b = 0xC0; b <= 0xFF; ++b) all += static_cast<char>(b);
  memo->AppendText(all);
  memo->AppendText("\r\nRx- 1E 02 \r");  // the CR's LF comes with the next append
  memo->AppendText("\n\xA8\xB8\xB9 end");
  Settle();
  QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(Clipboard(),
            QString::fromUtf8("АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдежзийклмнопрстуфхцчшщъыьэюя\n"
                              "Rx- 1E 02 \nЁё№ end"));

  // What the pane paints is what it holds: the first row's pixels are not
  // all background once text is there, and are after clearing.
  auto first_row_blank = [&] {
    const QImage shot = view->viewport()->grab().toImage();
    const QRgb base = view->palette().color(QPalette::Base).rgb();
    for (int y = 0; y < view->RowHeight(); ++y) {
      for (int x = 0; x < shot.width(); ++x) {
        if (shot.pixel(x, y) != base) return false;
      }
    }
    return true;
  };
  EXPECT_FALSE(first_row_blank());
  memo->ClearText();
  EXPECT_TRUE(first_row_blank());
  view->SelectAll();
  EXPECT_EQ(view->SelectedText(), QString());
}

TEST_F(LogView, LongLinesWrapToTheWidthAndReWrapOnResize) {
  // One line of 700 'x' and one of 700 'x' in words of 9 and a blank.
  std::string words;
  for (int i = 0; i < 70; ++i) words += "xxxxxxxxx ";
  memo->AppendText(std::string(700, 'x') + "\r\n" + words);
  Settle();
  const double wx = WidthOf("x", 1);
  auto expect_rows_for_width = [&] {
    const double width = view->viewport()->width() - 2 * TLogView::kMargin;
    const int per_row = static_cast<int>(std::floor(width / wx));
    EXPECT_EQ(view->Layout().RowsOfLine(0), static_cast<std::size_t>((700 + per_row - 1) / per_row))
        << "width " << width;
    // Whole words per row: a row holds as many words of 9 as fit, its
    // blank hanging at the end.
    const int words_per_row = static_cast<int>(std::floor((width + wx) / (10 * wx)));
    EXPECT_EQ(view->Layout().RowsOfLine(1),
              static_cast<std::size_t>((70 + words_per_row - 1) / words_per_row));
  };
  expect_rows_for_width();
  const std::size_t wide = view->Layout().RowsOfLine(0);
  form->SetClientSize(250, 200);
  ASSERT_TRUE(SpinUntil([&] { return view->width() == 250; }));
  expect_rows_for_width();
  EXPECT_GT(view->Layout().RowsOfLine(0), wide);
}

TEST_F(LogView, FollowsTheTailAtTheBottomAndStaysPutWhenScrolledUp) {
  for (int i = 0; i < 300; ++i) memo->AppendText("line " + std::to_string(i) + "\r\n");
  Settle();
  QScrollBar* bar = view->verticalScrollBar();
  ASSERT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());
  EXPECT_TRUE(view->Layout().Following());

  // Up a page with the keyboard and a notch with the wheel.
  QTest::keyClick(view, Qt::Key_PageUp);
  QWheelEvent wheel(QPointF(20, 20), Viewport()->mapToGlobal(QPointF(20, 20)), QPoint(),
                    QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QCoreApplication::sendEvent(Viewport(), &wheel);
  EXPECT_FALSE(view->Layout().Following());
  const int rows = view->Layout().Rows();
  const std::size_t top = view->Layout().Top();
  // The bottom's top line was 301 - rows; a page is rows - 1, a notch 3.
  EXPECT_EQ(view->Layout().VisibleRows(1)[0].Bytes,
            "line " + std::to_string(301 - rows - (rows - 1) - 3));
  const int value = bar->value();
  const int max = bar->maximum();
  for (int i = 0; i < 50; ++i) memo->AppendText("tail\r\n");
  Settle();
  EXPECT_EQ(view->Layout().Top(), top);
  EXPECT_EQ(bar->value(), value);
  EXPECT_GT(bar->maximum(), max);

  // Dragging the bar to the end follows again.
  bar->setValue(bar->maximum());
  EXPECT_TRUE(view->Layout().Following());
  memo->AppendText("last\r\n");
  Settle();
  EXPECT_EQ(bar->value(), bar->maximum());
  const auto shown = view->Layout().VisibleRows(rows);
  EXPECT_EQ(shown[shown.size() - 2].Bytes, "last");

  QTest::keyClick(view, Qt::Key_Home, Qt::ControlModifier);
  EXPECT_EQ(bar->value(), 0);
  EXPECT_EQ(view->Layout().VisibleRows(1)[0].Bytes, "line 0");
  QTest::keyClick(view, Qt::Key_End, Qt::ControlModifier);
  EXPECT_TRUE(view->Layout().Following());
}

TEST_F(LogView, MouseSelectsAcrossWrappedAndUnwrappedLinesAndCopiesTheExactText) {
  const QString first = QString::fromUtf8("Начало строки");
  QString wrapped;
  for (int i = 0; i < 120; ++i) wrapped += QString::fromUtf8(i % 2 ? "ж" : "z");
  const QString last = QString::fromUtf8("Конец 1E 02");
  memo->AppendText(Utf8ToCp1251(first.toStdString()) + "\r\n" +
                   Utf8ToCp1251(wrapped.toStdString()) + "\r\n" + Utf8ToCp1251(last.toStdString()));
  Settle();
  ASSERT_GE(view->Layout().RowsOfLine(1), 2u);
  const int last_row = 1 + static_cast<int>(view->Layout().RowsOfLine(1));

  // From the third character of the first line to the fifth of the last.
  const QPoint from = At(0, WidthOf(first, 2) + 1);
  const QPoint to = At(last_row, WidthOf(last, 5) - 1);
  QTest::mousePress(Viewport(), Qt::LeftButton, Qt::NoModifier, from);
  QTest::mouseMove(Viewport(), At(1, 30));
  QTest::mouseMove(Viewport(), to);
  QTest::mouseRelease(Viewport(), Qt::LeftButton, Qt::NoModifier, to);
  QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(Clipboard(), first.mid(2) + "\n" + wrapped + "\n" + last.left(5));

  // Shift-click moves the end; a double click takes a word.
  QTest::mouseClick(Viewport(), Qt::LeftButton, Qt::ShiftModifier, At(0, WidthOf(first, 6) + 1));
  EXPECT_EQ(view->SelectedText(), first.mid(2, 4));
  QTest::mouseDClick(Viewport(), Qt::LeftButton, Qt::NoModifier,
                     At(last_row, WidthOf(last, 7) + 1));
  EXPECT_EQ(view->SelectedText(), QString("1E"));
}

TEST_F(LogView, ContextMenuCopiesAndSelectsAll) {
  memo->AppendText("\xCF\xF0\xE8\xE2\xE5\xF2\r\nmir");
  Settle();
  {
    std::unique_ptr<QMenu> menu(view->MakeContextMenu(nullptr));
    QAction* copy = MenuAction(*menu, "Копировать");
    QAction* all = MenuAction(*menu, "Выделить всё");
    ASSERT_NE(copy, nullptr);
    ASSERT_NE(all, nullptr);
    EXPECT_FALSE(copy->isEnabled());  // nothing selected yet
    all->trigger();
  }
  std::unique_ptr<QMenu> menu(view->MakeContextMenu(nullptr));
  QAction* copy = MenuAction(*menu, "Копировать");
  ASSERT_TRUE(copy->isEnabled());
  copy->trigger();
  EXPECT_EQ(Clipboard(), QString::fromUtf8("Привет\nmir"));
}

TEST_F(LogView, AppendsArePaintedOncePerFrameAndOnlyWhenOnScreen) {
  Settle();
  ASSERT_TRUE(SpinUntil([&] { return view->isVisible(); }));
  QElapsedTimer timer;
  timer.start();
  memo->AppendText("one");
  Settle();
  EXPECT_LT(timer.elapsed(), 1000);  // a lone append is shown at once
  const long long frames = view->FrameCount();
  const long long paints = view->PaintCount();
  for (int i = 0; i < 2000; ++i) {
    memo->AppendText("\xF2\xE5\xF1\xF2\r\n");
    if (i % 10 == 0) QCoreApplication::processEvents();
  }
  Settle();
  QCoreApplication::processEvents();
  EXPECT_GE(view->FrameCount() - frames, 1);
  EXPECT_LT(view->FrameCount() - frames, 200);
  EXPECT_GE(view->PaintCount() - paints, 1);
  EXPECT_LT(view->PaintCount() - paints, 200);

  // Scrolled up, away from the end: appends move the scroll bar only.
  QTest::keyClick(view, Qt::Key_Home, Qt::ControlModifier);
  QCoreApplication::processEvents();
  const long long before = view->PaintCount();
  const int max = view->verticalScrollBar()->maximum();
  for (int i = 0; i < 100; ++i) {
    memo->AppendText("more\r\n");
    QCoreApplication::processEvents();
  }
  Settle();
  QCoreApplication::processEvents();
  EXPECT_GT(view->verticalScrollBar()->maximum(), max);
  EXPECT_EQ(view->PaintCount(), before);
}

// Relative luminance contrast, 1 (none) to 21 (black on white).
double Contrast(const QColor& a, const QColor& b) {
  auto lum = [](const QColor& c) {
    auto ch = [](double v) {
      return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * ch(c.redF()) + 0.7152 * ch(c.greenF()) + 0.0722 * ch(c.blueF());
  };
  const double x = lum(a), y = lum(b);
  return (std::max(x, y) + 0.05) / (std::min(x, y) + 0.05);
}

TEST_F(LogView, TextAndSelectionReadOnTheCreamBackgroundUnderAnyDesktopPalette) {
  const QPalette saved = QGuiApplication::palette();
  QPalette dark;
  dark.setColor(QPalette::Window, QColor(0x20, 0x20, 0x20));
  dark.setColor(QPalette::Base, QColor(0x18, 0x18, 0x18));
  dark.setColor(QPalette::Text, QColor(0xF0, 0xF0, 0xF0));
  dark.setColor(QPalette::WindowText, QColor(0xF0, 0xF0, 0xF0));
  dark.setColor(QPalette::Highlight, QColor(0x30, 0x8C, 0xC6));
  dark.setColor(QPalette::HighlightedText, QColor(0xFF, 0xFF, 0xFF));
  struct Case {
    const char* name;
    QPalette desktop;
  };
  for (const Case& c : {Case{"light", saved}, Case{"dark", dark}}) {
    SCOPED_TRACE(c.name);
    QApplication::setPalette(c.desktop);
    memo->SetColor(clCream);
    memo->ClearText();
    memo->AppendText("\xC6\xC6\xC6\xC6\xC6\xC6 WWWW MMMM \xC6\xC6\xC6\xC6\xC6\xC6");
    Settle();
    const QPalette pal = view->palette();
    EXPECT_EQ(pal.color(QPalette::Base), QColor(0xFF, 0xFB, 0xF0));
    EXPECT_GE(Contrast(pal.color(QPalette::Text), pal.color(QPalette::Base)), 7.0);
    EXPECT_GE(Contrast(pal.color(QPalette::HighlightedText), pal.color(QPalette::Highlight)), 7.0);
    EXPECT_GE(Contrast(pal.color(QPalette::Highlight), pal.color(QPalette::Base)), 3.0);
    // And what is painted: dark ink on the first row, light ink on the
    // selected part of it.
    QTest::mousePress(Viewport(), Qt::LeftButton, Qt::NoModifier, At(0, 0));
    QTest::mouseRelease(Viewport(), Qt::LeftButton, Qt::NoModifier,
                        At(0, view->Layout().XOf(view->Layout().VisibleRows(1)[0], 6)));
    const QImage shot = Viewport()->grab().toImage();
    const int split = TLogView::kMargin + static_cast<int>(view->Layout().CharWidth(0xC6) * 6);
    auto ink = [&](int x0, int x1, const QColor& colour) {
      int n = 0;
      for (int y = 0; y < view->RowHeight(); ++y) {
        for (int x = x0; x < std::min(x1, shot.width()); ++x) {
          if (Contrast(shot.pixelColor(x, y), colour) < 1.5) ++n;
        }
      }
      return n;
    };
    EXPECT_GT(ink(split + 2, shot.width(), pal.color(QPalette::Text)), 10);
    EXPECT_GT(ink(0, split, pal.color(QPalette::HighlightedText)), 10);
  }
  QApplication::setPalette(saved);
}

TEST_F(LogView, ScrollBarArrowsMoveOneRowAndItsPageClicksAPage) {
  // Packet-mode lines, short and long enough to wrap over several rows.
  std::string text;
  for (int i = 0; i < 200; ++i) {
    std::string line = "Rx- ";
    for (int k = 0; k < (i % 3 == 0 ? 90 : 5); ++k) line += "1E ";
    text += line + "\r\n";
  }
  memo->AppendText(text);
  Settle();
  QTest::keyClick(view, Qt::Key_Home, Qt::ControlModifier);
  const int rows = view->Layout().Rows();
  std::vector<std::size_t> starts;
  for (const TLogLayout::Row& r : view->Layout().RowsFrom(0, 60)) starts.push_back(r.Start);
  ASSERT_EQ(starts.size(), 60u);
  QScrollBar* bar = view->verticalScrollBar();
  for (int k = 1; k <= 20; ++k) {
    bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);  // what an arrow click does
    ASSERT_EQ(view->Layout().Top(), starts[k]) << "click " << k;
    EXPECT_EQ(bar->value(), view->Layout().ScrollValue());
  }
  bar->triggerAction(QAbstractSlider::SliderSingleStepSub);
  EXPECT_EQ(view->Layout().Top(), starts[19]);
  bar->triggerAction(QAbstractSlider::SliderPageStepAdd);
  EXPECT_EQ(view->Layout().Top(), starts[19 + rows - 1]);
  bar->triggerAction(QAbstractSlider::SliderPageStepSub);
  EXPECT_EQ(view->Layout().Top(), starts[19]);
  // A wheel notch over the bar turns three rows, as over the text.
  QWheelEvent wheel(QPointF(2, 20), bar->mapToGlobal(QPointF(2, 20)), QPoint(), QPoint(0, -120),
                    Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QCoreApplication::sendEvent(bar, &wheel);
  EXPECT_EQ(view->Layout().Top(), starts[22]);
}

TEST_F(LogView, EveryPrintableByteIsDrawnAsWideAsItIsMeasuredAndShows) {
  QFont f = view->font();
  f.setKerning(false);
  f.setStyleStrategy(QFont::PreferNoShaping);
  const QFontMetricsF fm(f);
  // DEL, the unassigned byte and the soft hyphen among ordinary ones.
  for (int b : {0x7F, 0x98, 0xAD, 0x41, 0xC6, 0xA0}) {
    SCOPED_TRACE(b);
    memo->ClearText();
    memo->AppendText(std::string(20, static_cast<char>(b)) + "|");
    Settle();
    const TLogLayout::Row row = view->Layout().VisibleRows(1)[0];
    const double measured = view->Layout().XOf(row, row.End());
    // Qt lays the painted characters out as a string, as it draws them.
    EXPECT_NEAR(fm.horizontalAdvance(view->PaintedRows()[0]), measured, 1.0);
    if (b == 0xA0) continue;  // a no-break space shows no ink
    EXPECT_GE(measured - view->Layout().CharWidth('|'), 20.0);
    const QImage shot = Viewport()->grab().toImage();
    const QRgb base = view->palette().color(QPalette::Base).rgb();
    int ink = 0;
    const int end = TLogView::kMargin + static_cast<int>(view->Layout().CharWidth(b) * 20) - 1;
    for (int y = 0; y < view->RowHeight(); ++y) {
      for (int x = TLogView::kMargin; x < end; ++x) ink += shot.pixel(x, y) != base;
    }
    EXPECT_GT(ink, 20);
  }
}

TEST_F(LogView, ADragHeldPastAnEdgeKeepsScrollingUntilReleased) {
  for (int i = 0; i < 300; ++i) memo->AppendText("line " + std::to_string(i) + "\r\n");
  Settle();
  QTest::keyClick(view, Qt::Key_Home, Qt::ControlModifier);
  const int rows = view->Layout().Rows();
  QTest::mousePress(Viewport(), Qt::LeftButton, Qt::NoModifier, At(0, 1));
  // One move below the bottom edge, then the mouse holds still.
  QTest::mouseMove(Viewport(), QPoint(20, Viewport()->height() + 10));
  auto top_line = [&] { return std::stoi(view->Layout().VisibleRows(1)[0].Bytes.substr(5)); };
  ASSERT_TRUE(SpinUntil([&] { return top_line() >= 10; }));
  QTest::mouseRelease(Viewport(), Qt::LeftButton, Qt::NoModifier,
                      QPoint(20, Viewport()->height() + 10));
  const std::size_t top = view->Layout().Top();
  // The selection reaches the bottom row shown.
  EXPECT_EQ(view->Layout().SelStart(), 0u);
  EXPECT_GE(view->Layout().SelEnd(), view->Layout().VisibleRows(rows)[rows - 1].Start);
  // Let go, it stops.
  EXPECT_FALSE(SpinUntil([&] { return view->Layout().Top() != top; }, 300));

  // Back inside, a drag past the top edge scrolls up the same way.
  QTest::mousePress(Viewport(), Qt::LeftButton, Qt::NoModifier, At(rows - 1, 1));
  QTest::mouseMove(Viewport(), QPoint(20, -10));
  const int from = top_line();
  ASSERT_TRUE(SpinUntil([&] { return top_line() <= from - 5; }));
  QTest::mouseRelease(Viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(20, -10));
}

TEST_F(LogView, ADoubleClickTakesTheWordUnderItAndNothingOnBlankSpace) {
  memo->AppendText("abc def\r\nxyz");
  Settle();
  struct Case {
    const char* name;
    QPoint at;
    QString selected;
  };
  const Case cases[] = {
      {"on a word", At(0, WidthOf("abc def", 5) + 1), "def"},
      {"past the end of a row", At(0, WidthOf("abc def", 7) + 40), ""},
      {"below the last row", At(4, 5), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    view->SelectAll();
    QTest::mouseDClick(Viewport(), Qt::LeftButton, Qt::NoModifier, c.at);
    EXPECT_EQ(view->SelectedText(), c.selected);
  }
}

TEST_F(LogView, ALargeCopyLeavesTheWindowLiveAndOneTooLargeIsRefused) {
  std::vector<std::string> refused;
  view->OnRefused = [&](const std::string& t) { refused.push_back(t); };
  // About 40 MB of Cyrillic and hex lines.
  std::string chunk;
  for (int i = 0; i < 10000; ++i)
    chunk += "\xD1\xF2\xF0\xEE\xEA\xE0 Rx- 1E 02 05 01 C3 0A 1B 2C 3D 4E 5F\r\n";
  const QByteArray chunk_utf8 = TLogView::ToUnicode(chunk).toUtf8();
  for (int i = 0; i < 100; ++i) memo->AppendText(chunk);
  Settle();
  QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
  ASSERT_TRUE(view->Copying());
  // The loop goes on while the copy is made.
  bool ran_while_copying = false;
  QTimer::singleShot(0, view, [&] { ran_while_copying = view->Copying(); });
  ASSERT_TRUE(SpinUntil([&] { return !view->Copying(); }, 60000));
  EXPECT_TRUE(ran_while_copying);
  EXPECT_GT(view->CopyTurns(), 2);
  const QMimeData* data = QGuiApplication::clipboard()->mimeData();
  ASSERT_NE(data, nullptr);
  const QByteArray got = data->data("text/plain");
  ASSERT_EQ(got.size(), 100 * chunk_utf8.size());
  for (int i = 0; i < 100; i += 33) {
    ASSERT_EQ(got.mid(i * chunk_utf8.size(), chunk_utf8.size()), chunk_utf8) << "chunk " << i;
  }
  EXPECT_TRUE(refused.empty());

  // Clearing the pane while a copy is made drops it.
  QGuiApplication::clipboard()->clear();
  QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
  ASSERT_TRUE(view->Copying());
  memo->ClearText();
  EXPECT_FALSE(view->Copying());
  QCoreApplication::processEvents();
  EXPECT_EQ(Clipboard(), QString());

  // Over the limit: a message, the clipboard left alone.
  memo->AppendText(chunk);
  Settle();
  view->SetCopyLimit(chunk.size() - 1);
  view->SelectAll();
  QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
  EXPECT_FALSE(view->Copying());
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0], "Выделенный текст слишком велик для буфера обмена.");
  EXPECT_EQ(Clipboard(), QString());
  view->SetCopyLimit(static_cast<std::size_t>(-1));
}

// Present only in a sanitizer's build, whose shadow memory an address-space
// limit leaves no room for.
extern "C" void __asan_init() __attribute__((weak));
extern "C" void __tsan_init() __attribute__((weak));

// Memory runs out half way through a copy: the copy is refused, the
// program goes on.
TEST_F(LogView, ACopyThatRunsOutOfMemoryIsRefusedAndTheProgramLives) {
  if (__asan_init || __tsan_init) GTEST_SKIP() << "no address-space limit under a sanitizer";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto probe = [&] {
    std::vector<std::string> refused;
    view->OnRefused = [&](const std::string& t) { refused.push_back(t); };
    std::string chunk;
    while (chunk.size() < (1 << 20)) chunk += "Rx- 1E 02 05 01 C3 0A 1B 2C 3D 4E 5F\r\n";
    for (int i = 0; i < 96; ++i) memo->AppendText(chunk);
    Settle();
    view->SelectAll();
    // Room for a third of the copy and not more.
    const rlim_t limit = (static_cast<rlim_t>(StatusKiB("VmSize:")) << 10) + (32u << 20);
    const rlimit r{limit, limit};
    setrlimit(RLIMIT_AS, &r);
    view->Copy();
    SpinUntil([&] { return !view->Copying(); }, 60000);
    const QMimeData* held = QGuiApplication::clipboard()->mimeData();
    const bool ok =
        !view->Copying() && refused.size() == 1 && (!held || held->data("text/plain").isEmpty());
    std::exit(ok ? 0 : 1);
  };
  EXPECT_EXIT(probe(), ::testing::ExitedWithCode(0), "");
}

}  // namespace

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

TEST_F(LogView, FindFieldFindsForwardAndBackSelectsAndShowsTheMatchAndClosesOnEsc) {
  int closed = 0;
  memo->OnFindClose = [&](TObject*) { ++closed; };
  // Some 20 MB of packet lines, the text to find near the top and the end.
  std::string lines;
  for (int i = 0; i < 100000; ++i)
    lines += "Rx- 1E 02 05 01 C3 0A 1B 2C 3D 4E 5F 60 71 82 93 A4 B5\r\n";
  const std::string needle = Utf8ToCp1251("Связь ПОТЕРЯНА");
  memo->AppendText(lines.substr(0, 5 * 56));
  memo->AppendText(needle + "\r\n");
  for (int i = 0; i < 3; ++i) memo->AppendText(lines);
  memo->AppendText(needle + "\r\n");
  memo->AppendText(lines.substr(0, 3 * 56));
  Settle();
  const std::size_t first = 5 * 56;
  const std::size_t second = memo->Text().Size() - 3 * 56 - 2 - needle.size();
  view->window()->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(view->window()));

  QTest::keyClick(view, Qt::Key_F, Qt::ControlModifier);
  QLineEdit* field = view->FindField();
  ASSERT_TRUE(field->isVisible());
  EXPECT_TRUE(field->hasFocus());
  // Typed key by key (QTest types Latin only).
  for (QChar ch : QString::fromUtf8("связь потеряна")) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
    QApplication::sendEvent(field, &press);
  }
  ASSERT_EQ(field->text(), QString::fromUtf8("связь потеряна"));

  struct Step {
    Qt::Key key;
    Qt::KeyboardModifiers mods;
    std::size_t expect;
  };
  const Step steps[] = {
      {Qt::Key_Return, Qt::NoModifier, first},     // from the top, where nothing is selected
      {Qt::Key_F3, Qt::NoModifier, second},        // the next one, far below
      {Qt::Key_Return, Qt::NoModifier, first},     // past the last: from the top again
      {Qt::Key_F3, Qt::ShiftModifier, second},     // before the first: from the end
      {Qt::Key_Return, Qt::ShiftModifier, first},  // the previous one
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.expect);
    QTest::keyClick(field, s.key, s.mods);
    ASSERT_TRUE(SpinUntil([&] { return !view->Finding(); }, 30000));
    EXPECT_EQ(view->Layout().SelStart(), s.expect);
    EXPECT_EQ(view->SelectedText(), QString::fromUtf8("Связь ПОТЕРЯНА"));
    EXPECT_EQ(view->FindStatus(), QString());
    // On screen.
    bool shown = false;
    for (const TLogLayout::Row& r : view->Layout().VisibleRows(view->Layout().Rows()))
      shown = shown || (r.Start <= s.expect && s.expect < r.End());
    EXPECT_TRUE(shown);
  }
  QTest::keyClicks(field, QString::fromUtf8("!"));
  QTest::keyClick(field, Qt::Key_Return);
  ASSERT_TRUE(SpinUntil([&] { return !view->Finding(); }, 30000));
  EXPECT_EQ(view->FindStatus(), QString::fromUtf8("Не найдено"));
  EXPECT_EQ(view->Layout().SelStart(), first);  // the selection stays

  QTest::keyClick(field, Qt::Key_Escape);
  EXPECT_FALSE(field->isVisible());
  EXPECT_EQ(closed, 1);
  EXPECT_TRUE(hooked.empty());
}

TEST_F(LogView, SaveWritesThePaneAsUtf8WithCrLfCancelsOnASecondCtrlSAndTellsAFailure) {
  std::vector<std::string> progress, failed;
  memo->OnSaveProgress = [&](TObject*, const std::string& t) { progress.push_back(t); };
  view->OnSaveFailed = [&](const std::string& t) { failed.push_back(t); };
  std::string path;
  view->AskSavePath = [&] { return path; };
  std::string chunk;
  for (int i = 0; i < 10000; ++i)
    chunk += "\xD1\xF2\xF0\xEE\xEA\xE0 Rx- 1E 02 05 01 C3 0A 1B 2C 3D 4E 5F\r\n";
  for (int i = 0; i < 100; ++i) memo->AppendText(chunk);  // about 40 MB
  Settle();
  view->window()->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(view->window()));
  const std::string dir = ::testing::TempDir();

  // Saved whole: the bytes as a copy converts them, CR LF kept.
  path = dir + "/t5-saved.txt";
  std::remove(path.c_str());
  QTest::keyClick(view, Qt::Key_S, Qt::ControlModifier);
  ASSERT_TRUE(view->Saving());
  ASSERT_TRUE(SpinUntil([&] { return !view->Saving(); }, 60000));
  EXPECT_TRUE(failed.empty());
  ASSERT_GE(progress.size(), 2u);
  EXPECT_EQ(progress.front().rfind("Сохранение ", 0), 0u);
  EXPECT_EQ(progress.back(), "");
  const std::string saved = Slurp(path);
  ASSERT_EQ(saved.size(), 100 * Cp1251ToUtf8(chunk).size());
  EXPECT_TRUE(saved == Cp1251ToUtf8(memo->Text().Text()));
  std::remove(path.c_str());

  // A second Ctrl+S stops the save and leaves no file.
  path = dir + "/t5-cancelled.txt";
  QTest::keyClick(view, Qt::Key_S, Qt::ControlModifier);
  ASSERT_TRUE(view->Saving());
  QTest::keyClick(view, Qt::Key_S, Qt::ControlModifier);
  EXPECT_FALSE(view->Saving());
  EXPECT_EQ(progress.back(), "");
  EXPECT_FALSE(std::ifstream(path).good());

  // A folder that is not there: told once, nothing written.
  path = dir + "/t5-no-such-folder/log.txt";
  std::unique_ptr<QMenu> menu(view->MakeContextMenu(nullptr));
  QAction* save = MenuAction(*menu, "Сохранить в файл...");
  ASSERT_NE(save, nullptr);
  save->trigger();
  ASSERT_TRUE(SpinUntil([&] { return !view->Saving(); }, 60000));
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0], "Не удалось сохранить журнал в файл " + path + "\nТакой папки нет.");
  EXPECT_EQ(progress.back(), "");
  EXPECT_TRUE(hooked.empty());
}
