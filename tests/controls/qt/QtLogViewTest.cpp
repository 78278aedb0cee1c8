#include <gtest/gtest.h>

#include <QAction>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QMenu>
#include <QScrollBar>
#include <QTest>
#include <cmath>
#include <memory>
#include <string>

#include "controls/Controls.h"
#include "controls/Cp1251.h"
#include "controls/qt/QtLogView.h"
#include "controls/qt/QtWindowSystem.h"
#include "tests/controls/qt/QtFixture.h"

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

}  // namespace
