#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "controls/Controls.h"
#include "controls/qt/QtPeers.h"
#include "controls/qt/QtWindowSystem.h"
#include "runtime/Exception.h"
#include "runtime/Thread.h"
#include "tests/controls/Worker.h"
#include "tests/controls/qt/QtFixture.h"

// Fontconfig keeps a cache for the life of the process; under LeakSanitizer
// that is not ours to report.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

namespace {

// A key that types a character no ASCII key code names.
void TypeChar(QWidget* w, const QString& ch) {
  QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, ch);
  QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, ch);
  QApplication::sendEvent(w, &press);
  QApplication::sendEvent(w, &release);
}

template <class W>
W* WidgetAs(const TControl* c) {
  return qobject_cast<W*>(TQtWindowSystem::WidgetOf(*c));
}

class QtBinding : public QtTest {
 protected:
  void SetUp() override {
    QtTest::SetUp();
    form = std::make_unique<TForm>(nullptr);
    form->SetClientSize(400, 300);
    box = Make<TGroupBox>(form.get(), 0, 0, 300, 200);
    box->SetCaption("Настройка порта");
  }
  void TearDown() override {
    form.reset();
    QtTest::TearDown();
  }
  template <class T>
  T* Make(TWinControl* parent, int l, int t, int w, int h) {
    auto* c = new T(form.get());
    c->SetParent(parent);
    c->SetBounds(l, t, w, h);
    return c;
  }
  void ShowForm() {
    form->Show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(TQtWindowSystem::WidgetOf(*form)));
  }
  std::unique_ptr<TForm> form;
  TGroupBox* box = nullptr;
};

TEST_F(QtBinding, WidgetsShowTheControlsState) {
  auto* btn = Make<TButton>(box, 10, 20, 60, 24);
  btn->SetCaption("Старт");
  auto* hidden = Make<TLabel>(box, 10, 50, 0, 0);
  hidden->SetVisible(false);
  form->SetCaption("Конфигуратор TORIN5  ДОРМАКС ");
  ShowForm();
  QWidget* fw = TQtWindowSystem::WidgetOf(*form);
  EXPECT_EQ(fw->windowTitle(), QString("Конфигуратор TORIN5  ДОРМАКС "));
  EXPECT_EQ(fw->size(), QSize(400, 300));
  EXPECT_EQ(WidgetAs<QGroupBox>(box)->title(), QString("Настройка порта"));
  EXPECT_EQ(WidgetAs<QPushButton>(btn)->text(), QString("Старт"));
  EXPECT_EQ(WidgetAs<QPushButton>(btn)->geometry(), QRect(10, 20, 60, 24));
  EXPECT_TRUE(WidgetAs<QPushButton>(btn)->isVisible());
  EXPECT_FALSE(WidgetAs<QLabel>(hidden)->isVisible());
  box->SetVisible(false);
  EXPECT_FALSE(WidgetAs<QPushButton>(btn)->isVisible());
  box->SetVisible(true);
  EXPECT_TRUE(WidgetAs<QPushButton>(btn)->isVisible());
}

TEST_F(QtBinding, OperatorClickReachesTheButtonAndErrorsStayOutOfTheLoop) {
  auto* btn = Make<TButton>(box, 10, 20, 60, 24);
  int clicks = 0;
  btn->OnClick = [&](TObject* s) {
    EXPECT_EQ(s, btn);
    if (++clicks == 2) throw Exception("Port not open");
  };
  ShowForm();
  QTest::mouseClick(WidgetAs<QPushButton>(btn), Qt::LeftButton);
  EXPECT_EQ(clicks, 1);
  QTest::mouseClick(WidgetAs<QPushButton>(btn), Qt::LeftButton);
  EXPECT_EQ(clicks, 2);
  EXPECT_EQ(hooked, (std::vector<std::string>{"Port not open"}));
  EXPECT_EQ(hooked_senders[0], btn);
}

TEST_F(QtBinding, CheckBoxOperatorAndProgramChangesRaiseOnceEach) {
  auto* cb = Make<TCheckBox>(box, 10, 20, 80, 16);
  std::vector<bool> seen;
  cb->OnClick = [&](TObject*) { seen.push_back(cb->Checked()); };
  ShowForm();
  QCheckBox* w = WidgetAs<QCheckBox>(cb);
  QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(4, w->height() / 2));
  EXPECT_EQ(seen, (std::vector<bool>{true}));
  EXPECT_TRUE(cb->Checked());
  cb->SetChecked(false);  // the program: raised once, shown, no echo from the widget
  QCoreApplication::processEvents();
  EXPECT_EQ(seen, (std::vector<bool>{true, false}));
  EXPECT_FALSE(w->isChecked());
  cb->SetChecked(false);
  QTest::keyClick(w, Qt::Key_Space);  // the keyboard toggles it too
  EXPECT_EQ(seen, (std::vector<bool>{true, false, true}));
  EXPECT_TRUE(w->isChecked());
}

TEST_F(QtBinding, RadioButtonsSelectOneAndRaiseOnlyWhenSelected) {
  auto* a = Make<TRadioButton>(box, 10, 20, 90, 17);
  auto* b = Make<TRadioButton>(box, 10, 40, 90, 17);
  std::vector<char> seen;
  a->OnClick = [&](TObject*) { seen.push_back('a'); };
  b->OnClick = [&](TObject*) { seen.push_back('b'); };
  ShowForm();
  QRadioButton* wa = WidgetAs<QRadioButton>(a);
  QRadioButton* wb = WidgetAs<QRadioButton>(b);
  QTest::mouseClick(wa, Qt::LeftButton, {}, QPoint(4, wa->height() / 2));
  QTest::mouseClick(wb, Qt::LeftButton, {}, QPoint(4, wb->height() / 2));
  QTest::mouseClick(wb, Qt::LeftButton, {}, QPoint(4, wb->height() / 2));  // again: nothing
  EXPECT_EQ(seen, (std::vector<char>{'a', 'b'}));
  EXPECT_FALSE(a->Checked());
  EXPECT_TRUE(b->Checked());
  EXPECT_FALSE(wa->isChecked());
  // The program may leave the group with nothing selected.
  b->SetChecked(false);
  EXPECT_FALSE(wb->isChecked());
  a->SetChecked(true);
  EXPECT_TRUE(wa->isChecked());
  EXPECT_EQ(seen, (std::vector<char>{'a', 'b', 'a'}));
}

TEST_F(QtBinding, ComboChangeOnTheOperatorsChoiceOnly) {
  auto* combo = Make<TComboBox>(box, 6, 16, 90, 21);
  for (int i = 1; i <= 16; ++i) combo->Items().Add("Порт " + std::to_string(i));
  int changes = 0;
  combo->OnChange = [&](TObject*) { ++changes; };
  combo->SetItemIndex(0);
  ShowForm();
  QComboBox* w = WidgetAs<QComboBox>(combo);
  EXPECT_EQ(w->count(), 16);
  EXPECT_EQ(w->currentText(), QString("Порт 1"));
  combo->SetItemIndex(2);
  EXPECT_EQ(w->currentIndex(), 2);
  EXPECT_EQ(changes, 0);

  QTest::keyClick(w, Qt::Key_Down);  // the operator picks the next port
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(combo->ItemIndex(), 3);
  EXPECT_EQ(combo->Text(), "Порт 4");

  // A choice from the open list.
  w->showPopup();
  ASSERT_TRUE(SpinUntil([&] { return w->view()->isVisible(); }));
  QAbstractItemView* view = w->view();
  const QModelIndex item = view->model()->index(7, 0);
  view->scrollTo(item);
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(item).center());
  ASSERT_TRUE(SpinUntil([&] { return changes == 2; }));
  EXPECT_EQ(combo->ItemIndex(), 7);

  // Items added later are there when the list opens.
  combo->Items().Add("COM-X");
  w->showPopup();
  EXPECT_EQ(w->count(), 17);
  w->hidePopup();
}

TEST_F(QtBinding, TypedKeysPassTheKeyPressHandlerFirst) {
  auto* ed = Make<TEdit>(box, 5, 14, 200, 23);
  std::vector<std::string> before;
  std::vector<int> keys;
  ed->OnKeyPress = [&](TObject*, char& key) {
    before.push_back(ed->Text());
    keys.push_back(static_cast<unsigned char>(key));
    if (key == 13) key = 0;
    if (key == '*') key = '+';
  };
  ShowForm();
  QLineEdit* w = WidgetAs<QLineEdit>(ed);
  QTest::keyClicks(w, "ab");
  EXPECT_EQ(before, (std::vector<std::string>{"", "a"}));
  EXPECT_EQ(ed->Text(), "ab");
  QTest::keyClick(w, Qt::Key_Return);
  QTest::keyClick(w, '*');
  EXPECT_EQ(ed->Text(), "ab+");
  TypeChar(w, QString::fromUtf8("ж"));
  EXPECT_EQ(ed->Text(), "ab+ж");
  EXPECT_EQ(keys.back(), 0xE6);
  QTest::keyClick(w, Qt::Key_Escape);
  EXPECT_EQ(keys.back(), 27);

  // Ctrl-X reaches the handler and keeps its editing effect: cut.
  w->selectAll();
  QTest::keyClick(w, Qt::Key_X, Qt::ControlModifier);
  EXPECT_EQ(keys.back(), 0x18);
  EXPECT_EQ(ed->Text(), "");

  ed->SetText("программа");  // the program's text shows and reads back
  EXPECT_EQ(w->text(), QString("программа"));
  EXPECT_EQ(ed->Text(), "программа");
  // The same text again leaves the widget alone: the operator's selection
  // and cursor stay where they were.
  w->setSelection(2, 3);
  ed->SetText("программа");
  EXPECT_EQ(w->selectedText(), QString("огр"));
  w->end(false);
  QTest::keyClick(w, Qt::Key_Backspace);
  EXPECT_EQ(ed->Text(), "программ");
  EXPECT_EQ(keys.back(), 8);

  ed->SetReadOnly(true);
  QTest::keyClicks(w, "z");
  EXPECT_EQ(ed->Text(), "программ");
  EXPECT_EQ(keys.back(), 'z');
}

// A key press as X11 reports it: Qt key, keysym, typed text.
void PressKey(QWidget* w, int key, Qt::KeyboardModifiers mods, quint32 keysym,
              const QString& text) {
  QKeyEvent press(QEvent::KeyPress, key, mods, 0, keysym, 0, text);
  QKeyEvent release(QEvent::KeyRelease, key, mods, 0, keysym, 0, text);
  QApplication::sendEvent(w, &press);
  QApplication::sendEvent(w, &release);
}

TEST_F(QtBinding, CtrlKeysWorkUnderACyrillicLayout) {
  auto* ed = Make<TEdit>(box, 5, 14, 200, 23);
  std::vector<int> keys;
  bool swallow = false;
  ed->OnKeyPress = [&](TObject*, char& key) {
    keys.push_back(static_cast<unsigned char>(key));
    if (swallow) key = 0;
  };
  ShowForm();
  QLineEdit* w = WidgetAs<QLineEdit>(ed);

  // Ctrl+С copies, Ctrl+М pastes: the keys of C and V.
  ed->SetText("abc");
  w->selectAll();
  PressKey(w, 0x0421, Qt::ControlModifier, 0x6F3, QString::fromUtf8("с"));
  EXPECT_EQ(keys.back(), 0x03);
  w->end(false);
  PressKey(w, 0x041C, Qt::ControlModifier, 0x6ED, QString::fromUtf8("м"));
  EXPECT_EQ(keys.back(), 0x16);
  EXPECT_EQ(ed->Text(), "abcabc");

  // Ctrl+Ч is Ctrl-X: the handler sees 0x18 and the selection is cut. The
  // keysym alone is enough when Qt gives no key code.
  w->setSelection(0, 3);
  PressKey(w, 0x0427, Qt::ControlModifier, 0x6FE, QString::fromUtf8("ч"));
  EXPECT_EQ(keys.back(), 0x18);
  EXPECT_EQ(ed->Text(), "abc");
  w->selectAll();
  PressKey(w, 0, Qt::ControlModifier, 0x6DE, QString());
  EXPECT_EQ(keys.back(), 0x18);
  EXPECT_EQ(ed->Text(), "");

  // A control character that comes only as text is a key as well.
  ed->SetText("xyz");
  w->selectAll();
  keys.clear();
  PressKey(w, 0, Qt::NoModifier, 0, QString("\x18"));
  EXPECT_EQ(keys, std::vector<int>{0x18});
  EXPECT_EQ(ed->Text(), "");

  // A handler that swallows the key keeps its effect out of the edit; a
  // Cyrillic letter without Ctrl still types itself.
  ed->SetText("xyz");
  w->selectAll();
  swallow = true;
  PressKey(w, 0x0427, Qt::ControlModifier, 0x6FE, QString::fromUtf8("ч"));
  EXPECT_EQ(keys.back(), 0x18);
  EXPECT_EQ(ed->Text(), "xyz");
  swallow = false;
  w->end(false);
  PressKey(w, 0x0427, Qt::NoModifier, 0x6DE, QString::fromUtf8("ч"));
  EXPECT_EQ(keys.back(), 0xF7);
  EXPECT_EQ(ed->Text(), "xyzч");
}

TEST_F(QtBinding, AControlDisabledInsideADisabledParentStaysDisabled) {
  auto* ed = Make<TEdit>(box, 5, 14, 200, 23);
  auto* btn = Make<TButton>(box, 5, 40, 80, 23);
  ShowForm();
  box->SetEnabled(false);
  ed->SetEnabled(false);
  box->SetEnabled(true);
  EXPECT_FALSE(WidgetAs<QLineEdit>(ed)->isEnabled());
  EXPECT_TRUE(WidgetAs<QPushButton>(btn)->isEnabled());
  ed->SetEnabled(true);
  EXPECT_TRUE(WidgetAs<QLineEdit>(ed)->isEnabled());
}

TEST_F(QtBinding, FocusFollowsTheProgramAndTheOperator) {
  auto* ed = Make<TEdit>(box, 5, 14, 200, 23);
  auto* btn = Make<TButton>(box, 5, 50, 60, 24);
  form->SetActiveControl(btn);
  ShowForm();
  QWidget* fw = TQtWindowSystem::WidgetOf(*form);
  fw->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(fw));
  EXPECT_TRUE(SpinUntil([&] { return WidgetAs<QPushButton>(btn)->hasFocus(); }));
  ed->SetFocus();
  EXPECT_TRUE(SpinUntil([&] { return WidgetAs<QLineEdit>(ed)->hasFocus(); }));
  QTest::mouseClick(WidgetAs<QPushButton>(btn), Qt::LeftButton);
  EXPECT_TRUE(SpinUntil([&] { return form->ActiveControl() == btn; }));
}

TEST_F(QtBinding, WindowResizeComesBackAsLayout) {
  form->SetBorderWidth(3);
  box->SetAlign(alBottom);
  box->SetHeight(100);
  auto* client = Make<TPanel>(form.get(), 0, 0, 10, 10);
  client->SetAlign(alClient);
  ShowForm();
  QWidget* fw = TQtWindowSystem::WidgetOf(*form);
  fw->resize(600, 500);
  ASSERT_TRUE(SpinUntil([&] { return form->ClientWidth() == 600; }));
  EXPECT_EQ(form->ClientHeight(), 500);
  EXPECT_EQ(TQtWindowSystem::WidgetOf(*client)->geometry(), QRect(3, 3, 594, 394));
  EXPECT_EQ(TQtWindowSystem::WidgetOf(*box)->geometry(), QRect(3, 397, 594, 100));
  // And the program's resize reaches the window.
  form->SetClientSize(500, 400);
  EXPECT_EQ(fw->size(), QSize(500, 400));
}

TEST_F(QtBinding, ClosingTheWindowAsksTheForm) {
  TCloseAction answer = caNone;
  int asked = 0;
  form->OnClose = [&](TObject*, TCloseAction& a) {
    ++asked;
    a = answer;
  };
  ShowForm();
  QWidget* fw = TQtWindowSystem::WidgetOf(*form);
  fw->close();
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(fw->isVisible());
  EXPECT_TRUE(form->Visible());
  answer = caHide;
  fw->close();
  EXPECT_EQ(asked, 2);
  EXPECT_FALSE(fw->isVisible());
  EXPECT_FALSE(form->Visible());
}

TEST_F(QtBinding, StatusPanelsShowTheirTexts) {
  auto* sb = new TStatusBar(form.get());
  sb->SetParent(form.get());
  sb->SetHeight(26);
  sb->AddPanel(50, taCenter);
  sb->AddPanel(150, taLeftJustify);
  sb->SetPanelText(1, "Com-порт не выбран");
  ShowForm();
  QWidget* w = TQtWindowSystem::WidgetOf(*sb);
  EXPECT_EQ(w->geometry(), QRect(0, 274, 400, 26));
  const QList<QLabel*> labels = w->findChildren<QLabel*>();
  ASSERT_EQ(labels.size(), 2);
  EXPECT_EQ(labels[1]->text(), QString("Com-порт не выбран"));
  sb->SetPanelText(0, "DTR");
  EXPECT_EQ(labels[0]->text(), QString("DTR"));
  EXPECT_EQ(labels[0]->width(), 48);
  EXPECT_GE(labels[1]->width(), 340);  // the last panel takes the rest
}

TEST_F(QtBinding, TimersTickFromTheQtLoop) {
  TTimer timer(nullptr);
  timer.SetInterval(5);
  int ticks = 0;
  timer.OnTimer = [&](TObject*) {
    if (++ticks == 2) throw Exception("tick failed");
  };
  ASSERT_TRUE(SpinUntil([&] { return ticks >= 5; }));
  EXPECT_EQ(hooked.front(), "tick failed");
  timer.SetEnabled(false);
  const int stopped = ticks;
  SpinUntil([] { return false; }, 50);
  EXPECT_EQ(ticks, stopped);
}

TEST_F(QtBinding, WakeFromAWorkerRunsItsCallFromTheQtLoop) {
  std::atomic<bool> ran{false};
  bool on_main = false;
  auto worker = NewThread<Worker>([&] {
    on_main = IsMainThread();
    ran = true;
  });
  // Only Qt's own loop runs here: it sees the call through its watch on
  // the call queue's event, with no wake posted for it.
  EXPECT_TRUE(SpinUntil([&] { return ran.load(); }));
  EXPECT_TRUE(on_main);
}

// Presses OK on the message box as soon as one is shown. Should none show
// up in time, whatever modal window is up then is closed, so the exec()
// that waits for it returns all the same.
class MessageBoxAnswer {
 public:
  explicit MessageBoxAnswer(int timeoutMs = 5000)
      : deadline_(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { Look(); });
    timer_.start(5);
  }
  bool answered = false;
  QString text;

 private:
  void Look() {
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* box = qobject_cast<QMessageBox*>(modal); box && box->isVisible()) {
      timer_.stop();
      answered = true;
      text = box->text();
      box->button(QMessageBox::Ok)->click();
    } else if (std::chrono::steady_clock::now() > deadline_) {
      timer_.stop();
      if (modal) modal->close();
    }
  }
  std::chrono::steady_clock::time_point deadline_;
  QTimer timer_;
};

TEST_F(QtBinding, MessageBoxShowsTheTextAndReturnsOnOk) {
  MessageBoxAnswer answer;
  ShowMessage("Порт занят");
  EXPECT_TRUE(answer.answered);
  EXPECT_EQ(answer.text, QString("Порт занят"));
  // A message in the console's own code page reads right as well.
  EXPECT_EQ(ToQString("\xCF\xEE\xF0\xF2"), QString("Порт"));
}

TEST_F(QtBinding, GrabWritesAPicture) {
  auto* memo = Make<TMemo>(form.get(), 0, 0, 10, 10);
  memo->SetAlign(alClient);
  memo->AppendText("\xC0\xC1\xC2\r\n");
  // A list's popup is a scroll area too, and must be left alone.
  Make<TComboBox>(form.get(), 0, 0, 50, 20)->Items().Add("x");
  const std::string path = testing::TempDir() + "grab_test.png";
  ASSERT_TRUE(ws.Grab(*form, path));
  QImage image(QString::fromStdString(path));
  EXPECT_EQ(image.size(), QSize(400, 300));
  QFile::remove(QString::fromStdString(path));
}

}  // namespace
