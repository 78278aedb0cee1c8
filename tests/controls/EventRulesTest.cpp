#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "controls/Controls.h"
#include "controls/Headless.h"
#include "runtime/Exception.h"
#include "tests/controls/Fixture.h"

namespace {

class EventRules : public HeadlessTest {
 protected:
  void SetUp() override {
    HeadlessTest::SetUp();
    form = new TForm(nullptr);
    form->SetClientSize(400, 300);
    box = new TGroupBox(form);
    box->SetParent(form);
    box->SetBounds(0, 0, 200, 200);
  }
  void TearDown() override {
    delete form;
    HeadlessTest::TearDown();
  }
  template <class T>
  T* Make(TWinControl* parent) {
    auto* c = new T(form);
    c->SetParent(parent);
    return c;
  }
  TForm* form = nullptr;
  TGroupBox* box = nullptr;
};

TEST_F(EventRules, CheckBoxRaisesOnEveryChangeOfStateAndNeverOnTheSameState) {
  auto* cb = Make<TCheckBox>(box);
  std::vector<bool> seen;
  cb->OnClick = [&](TObject* s) {
    EXPECT_EQ(s, cb);
    seen.push_back(cb->Checked());  // the new state is visible in the handler
  };
  form->Realize();
  auto* peer = dynamic_cast<THeadlessCheckPeer*>(cb->Peer());
  ASSERT_NE(peer, nullptr);

  cb->SetChecked(true);  // program
  cb->SetChecked(true);  // same state: nothing
  EXPECT_EQ(seen, (std::vector<bool>{true}));
  EXPECT_TRUE(peer->Checked);

  cb->OperatorClick();  // operator toggles
  EXPECT_EQ(seen, (std::vector<bool>{true, false}));
  EXPECT_FALSE(peer->Checked);

  cb->OperatorToggle(false);  // the widget already shows it: no change, no event
  cb->OperatorToggle(true);
  EXPECT_EQ(seen, (std::vector<bool>{true, false, true}));

  // A handler that sets the box back raises once more, and only once.
  cb->OnClick = [&](TObject*) {
    seen.push_back(cb->Checked());
    cb->SetChecked(true);
  };
  cb->OperatorClick();
  EXPECT_EQ(seen, (std::vector<bool>{true, false, true, false, true}));
  EXPECT_TRUE(cb->Checked());
  EXPECT_TRUE(peer->Checked);
}

TEST_F(EventRules, RadioRaisesOnlyWhenBecomingSelectedAndUnselectsSiblingsOfItsParent) {
  auto* a = Make<TRadioButton>(box);
  auto* b = Make<TRadioButton>(box);
  auto* other_parent = Make<TPanel>(form);
  auto* c = Make<TRadioButton>(other_parent);
  std::vector<std::string> seen;
  a->OnClick = [&](TObject*) { seen.push_back("a"); };
  b->OnClick = [&](TObject*) { seen.push_back("b"); };
  c->OnClick = [&](TObject*) { seen.push_back("c"); };
  form->Realize();

  a->OperatorClick();
  a->OperatorClick();  // already selected: nothing
  EXPECT_EQ(seen, (std::vector<std::string>{"a"}));
  c->SetChecked(true);  // another parent: a stays selected
  EXPECT_TRUE(a->Checked());
  b->OperatorClick();
  EXPECT_FALSE(a->Checked());
  EXPECT_TRUE(b->Checked());
  EXPECT_TRUE(c->Checked());
  EXPECT_FALSE(dynamic_cast<THeadlessCheckPeer*>(a->Peer())->Checked);
  b->SetChecked(false);  // unselecting raises nothing
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "c", "b"}));
  // Only the selected one is a tab stop.
  EXPECT_TRUE(c->TabStop());
  EXPECT_FALSE(a->TabStop());
}

TEST_F(EventRules, ComboChangeOnlyOnTheOperatorsChoice) {
  auto* combo = Make<TComboBox>(box);
  for (const char* s : {"110", "300", "115200"}) combo->Items().Add(s);
  int changes = 0;
  std::string text_in_handler;
  combo->OnChange = [&](TObject*) {
    ++changes;
    text_in_handler = combo->Text();
  };
  combo->SetItemIndex(2);  // before realising
  form->Realize();
  auto* peer = dynamic_cast<THeadlessComboBoxPeer*>(combo->Peer());
  EXPECT_EQ(peer->Items.size(), 3u);
  EXPECT_EQ(peer->Index, 2);
  EXPECT_EQ(combo->Text(), "115200");

  combo->SetItemIndex(0);
  combo->SetItemIndex(7);  // outside: nothing selected
  EXPECT_EQ(combo->ItemIndex(), -1);
  EXPECT_EQ(combo->Text(), "");
  EXPECT_EQ(changes, 0);

  combo->OperatorSelect(1);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(text_in_handler, "300");
  EXPECT_EQ(peer->Index, 1);
  combo->OperatorSelect(5);  // no such item
  EXPECT_EQ(changes, 1);

  // Items added after realising reach the view when the list is next used.
  combo->Items().Add("921600");
  combo->SetItemIndex(3);
  EXPECT_EQ(peer->Items.size(), 4u);
  EXPECT_EQ(peer->Index, 3);
  EXPECT_EQ(combo->Text(), "921600");
  // Items removed below the selection leave nothing selected.
  combo->Items().Clear();
  EXPECT_EQ(combo->ItemIndex(), -1);
}

TEST_F(EventRules, KeyPressSeesTheKeyBeforeTheEditAndCanSwallowOrChangeIt) {
  auto* ed = Make<TEdit>(box);
  std::vector<std::string> text_before;
  ed->OnKeyPress = [&](TObject*, char& key) {
    text_before.push_back(ed->Text());
    if (key == 13) key = 0;     // swallowed
    if (key == '*') key = '+';  // changed
  };
  form->Realize();
  ed->OperatorType("ab");
  EXPECT_EQ(text_before, (std::vector<std::string>{"", "a"}));
  EXPECT_EQ(ed->Text(), "ab");
  EXPECT_EQ(ed->OperatorKey(13), 0);
  EXPECT_EQ(ed->OperatorKey('*'), '+');
  EXPECT_EQ(ed->Text(), "ab+");
  ed->OperatorKey('\xE6');  // Windows-1251 'ж'
  EXPECT_EQ(ed->Text(), "ab+ж");
  ed->OperatorKey(8);  // backspace takes the whole two-byte character
  EXPECT_EQ(ed->Text(), "ab+");
  ed->OperatorKey(0x18);  // control keys insert nothing
  EXPECT_EQ(ed->Text(), "ab+");

  ed->SetReadOnly(true);
  ed->OperatorKey('x');
  EXPECT_EQ(ed->Text(), "ab+");
  EXPECT_EQ(text_before.size(), 8u);  // the handler saw every key, read-only or not

  // A failing handler: the error goes to the hook and the key goes nowhere.
  ed->SetReadOnly(false);
  ed->OnKeyPress = [](TObject*, char&) { throw Exception("bad key"); };
  EXPECT_EQ(ed->OperatorKey('z'), 0);
  EXPECT_EQ(ed->Text(), "ab+");
  EXPECT_EQ(hooked, (std::vector<std::string>{"bad key"}));
}

TEST_F(EventRules, EditWithoutAPeerKeepsItsTextItself) {
  auto* ed = Make<TEdit>(box);
  ed->SetText("12");
  ed->OperatorType("3\b");
  EXPECT_EQ(ed->Text(), "12");
  form->Realize();
  EXPECT_EQ(dynamic_cast<THeadlessEditPeer*>(ed->Peer())->Value, "12");
}

TEST_F(EventRules, HandlerErrorsGoToTheHookAndNeverOutOfTheLoop) {
  auto* btn = Make<TButton>(box);
  auto* cb = Make<TCheckBox>(box);
  auto* combo = Make<TComboBox>(box);
  combo->Items().Add("x");
  btn->OnClick = [](TObject*) { throw Exception("button failed"); };
  cb->OnClick = [](TObject*) { throw std::runtime_error("box failed"); };
  combo->OnChange = [](TObject*) { throw 42; };  // not even a std::exception
  form->OnClose = [](TObject*, TCloseAction&) { throw Exception("close failed"); };
  form->Realize();

  EXPECT_NO_THROW(btn->OperatorClick());
  EXPECT_NO_THROW(cb->OperatorClick());
  EXPECT_NO_THROW(combo->OperatorSelect(0));
  EXPECT_NO_THROW(form->OperatorClose());
  ASSERT_EQ(hooked.size(), 4u);
  EXPECT_EQ(hooked[0], "button failed");
  EXPECT_EQ(hooked[1], "box failed");
  EXPECT_EQ(hooked[3], "close failed");
  EXPECT_EQ(hooked_senders[0], btn);
  EXPECT_EQ(hooked_senders[1], cb);
  EXPECT_EQ(hooked_senders[2], combo);
  // The box changed before its handler failed; that change stays.
  EXPECT_TRUE(cb->Checked());

  // A change made by the program is not guarded: its caller sees the error.
  EXPECT_THROW(cb->SetChecked(false), std::runtime_error);
  EXPECT_THROW(btn->Click(), Exception);
  EXPECT_EQ(hooked.size(), 4u);
}

TEST_F(EventRules, StatusPanelSetToTheSameTextDoesNotTouchTheView) {
  auto* sb = Make<TStatusBar>(form);
  for (int i = 0; i < 3; ++i) sb->AddPanel(50, taCenter);
  sb->SetPanelText(0, "DTR");
  form->Realize();
  auto* peer = dynamic_cast<THeadlessStatusBarPeer*>(sb->Peer());
  ASSERT_EQ(peer->Panels.size(), 3u);
  EXPECT_EQ(peer->Panels[0].Text, "DTR");
  EXPECT_EQ(peer->Panels[1].Alignment, taCenter);

  const int before = peer->Updates;
  for (int i = 0; i < 200; ++i) {
    sb->SetPanelText(0, "DTR");
    sb->SetPanelText(1, "");
  }
  EXPECT_EQ(peer->Updates, before);
  sb->SetPanelText(1, "DSR");
  EXPECT_EQ(peer->Updates, before + 1);
  EXPECT_EQ(peer->Panels[1].Text, "DSR");
  EXPECT_THROW(sb->SetPanelText(3, "x"), EListError);
  EXPECT_THROW(sb->PanelText(-1), EListError);

  // The same holds for every property the poll might rewrite.
  auto* lbl = Make<TLabel>(form);
  auto* cb = Make<TCheckBox>(form);
  auto* ed = Make<TEdit>(form);
  lbl->SetCaption("x");
  ed->SetText("y");
  const int lbl_before = THeadlessWindowSystem::StateOf(*lbl)->Updates;
  const int cb_before = THeadlessWindowSystem::StateOf(*cb)->Updates;
  const int ed_before = THeadlessWindowSystem::StateOf(*ed)->Updates;
  for (int i = 0; i < 10; ++i) {
    lbl->SetCaption("x");
    lbl->SetVisible(true);
    cb->SetChecked(false);
    ed->SetText("y");
    ed->SetFont(ed->Font());
  }
  EXPECT_EQ(THeadlessWindowSystem::StateOf(*lbl)->Updates, lbl_before);
  EXPECT_EQ(THeadlessWindowSystem::StateOf(*cb)->Updates, cb_before);
  EXPECT_EQ(THeadlessWindowSystem::StateOf(*ed)->Updates, ed_before);
}

TEST_F(EventRules, FocusFollowsTheProgramAndTheOperator) {
  auto* ed = Make<TEdit>(box);
  auto* btn = Make<TButton>(box);
  auto* hidden = Make<TPanel>(form);
  auto* inside_hidden = Make<TEdit>(hidden);
  hidden->SetVisible(false);

  form->SetActiveControl(btn);  // before the form is shown
  form->Show();
  EXPECT_EQ(form->ActiveControl(), btn);
  EXPECT_GE(THeadlessWindowSystem::StateOf(*btn)->FocusRequests, 1);

  ed->SetFocus();
  EXPECT_TRUE(ed->Focused());
  EXPECT_FALSE(btn->Focused());
  btn->OperatorFocus();
  EXPECT_EQ(form->ActiveControl(), btn);

  EXPECT_THROW(inside_hidden->SetFocus(), Exception);
  EXPECT_EQ(form->ActiveControl(), btn);
  TForm elsewhere(nullptr);
  auto* foreign = new TEdit(&elsewhere);
  foreign->SetParent(&elsewhere);
  EXPECT_THROW(form->SetActiveControl(foreign), Exception);

  // A control that goes away takes the focus with it, and so does its parent.
  delete btn;
  EXPECT_EQ(form->ActiveControl(), nullptr);
  ed->SetFocus();
  delete box;
  box = nullptr;
  EXPECT_EQ(form->ActiveControl(), nullptr);
  EXPECT_EQ(ed->Parent(), nullptr);  // detached, still owned by the form
  EXPECT_EQ(ed->Peer(), nullptr);
}

TEST_F(EventRules, CloseAsksTheHandlerAndEndsTheLoopOnlyForTheMainForm) {
  int closes = 0;
  TCloseAction answer = caNone;
  form->OnClose = [&](TObject*, TCloseAction& action) {
    EXPECT_EQ(action, caHide);
    ++closes;
    action = answer;
  };
  form->Show();
  SetMainForm(form);
  form->Close();
  EXPECT_TRUE(form->Visible());
  EXPECT_FALSE(ws.Terminated());

  answer = caHide;
  TForm second(nullptr);
  second.Show();
  second.Close();  // not the main form
  EXPECT_FALSE(second.Visible());
  EXPECT_FALSE(ws.Terminated());

  form->OperatorClose();
  EXPECT_EQ(closes, 2);
  EXPECT_FALSE(form->Visible());
  EXPECT_TRUE(ws.Terminated());
}

TEST_F(EventRules, LogPaneForwardsAppendsAndKeepsWhatCameBeforeItWasRealised) {
  auto* memo = Make<TMemo>(form);
  memo->AppendText("early\r\n");
  form->Realize();
  auto* peer = dynamic_cast<THeadlessMemoPeer*>(memo->Peer());
  EXPECT_EQ(peer->Text, "early\r\n");
  memo->AppendText("\xC0\xC1");
  memo->AppendText("");
  EXPECT_EQ(peer->Text, "early\r\n\xC0\xC1");
  memo->ClearText();
  EXPECT_EQ(peer->Text, "");
}

TEST_F(EventRules, MessageBoxIsRecordedAndReturnsAtOnce) {
  ShowMessage("Нет порта");
  ShowMessage("второй");
  EXPECT_EQ(ws.Messages(), (std::vector<std::string>{"Нет порта", "второй"}));
}

}  // namespace
