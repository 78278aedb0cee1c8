#include <gtest/gtest.h>

#include "controls/Controls.h"
#include "controls/Headless.h"
#include "tests/controls/Fixture.h"

namespace {

TRect Bounds(const TControl* c) {
  return c->BoundsRect();
}
TRect R(int l, int t, int w, int h) {
  return {l, t, l + w, t + h};
}

// The console's frame: a bottom strip, a right column and the log pane.
class ConsoleLayout : public HeadlessTest {
 protected:
  void SetUp() override {
    HeadlessTest::SetUp();
    form = new TForm(nullptr);
    form->SetBounds(0, 0, 644, 453);
    form->SetBorderWidth(3);
    i_panel = Panel(form, alBottom, 0, 0, 100, 100);
    s_panel = Panel(form, alRight, 0, 0, 238, 50);
    s_panel->SetBorderWidth(5);
    v_panel = Panel(form, alClient, 0, 0, 10, 10);
    v_panel->SetBorderWidth(5);
    memo = new TMemo(form);
    memo->SetParent(v_panel);
    memo->SetAlign(alClient);
    // Added in the reverse order on purpose: the position decides.
    group1 = Box(s_panel, 0, 62, 250);
    init = Box(s_panel, 0, 0, 57);
    status = new TStatusBar(form);
    status->SetParent(i_panel);
    status->SetHeight(26);
    cmd = new TGroupBox(form);
    cmd->SetParent(i_panel);
    cmd->SetBounds(214, 28, 415, 43);
  }
  void TearDown() override {
    delete form;
    HeadlessTest::TearDown();
  }
  TPanel* Panel(TWinControl* parent, TAlign a, int l, int t, int w, int h) {
    auto* p = new TPanel(form);
    p->SetParent(parent);
    p->SetBounds(l, t, w, h);
    p->SetAlign(a);
    return p;
  }
  TGroupBox* Box(TWinControl* parent, int l, int t, int h) {
    auto* g = new TGroupBox(form);
    g->SetParent(parent);
    g->SetBounds(l, t, 100, h);
    g->SetAlign(alTop);
    return g;
  }
  TForm* form = nullptr;
  TPanel *i_panel = nullptr, *s_panel = nullptr, *v_panel = nullptr;
  TMemo* memo = nullptr;
  TGroupBox *group1 = nullptr, *init = nullptr, *cmd = nullptr;
  TStatusBar* status = nullptr;
};

TEST_F(ConsoleLayout, AlignedChildrenShareTheClientAreaInsideTheBorder) {
  EXPECT_EQ(form->ClientWidth(), 636);
  EXPECT_EQ(form->ClientHeight(), 419);
  EXPECT_EQ(Bounds(i_panel), R(3, 316, 630, 100));
  EXPECT_EQ(Bounds(s_panel), R(395, 3, 238, 313));
  EXPECT_EQ(Bounds(v_panel), R(3, 3, 392, 313));
  EXPECT_EQ(Bounds(memo), R(5, 5, 382, 303));
  EXPECT_EQ(Bounds(init), R(5, 5, 228, 57));
  EXPECT_EQ(Bounds(group1), R(5, 62, 228, 250));
  EXPECT_EQ(Bounds(status), R(0, 74, 630, 26));
  EXPECT_EQ(Bounds(cmd), R(214, 28, 415, 43));
}

TEST_F(ConsoleLayout, ResizeGivesTheExtraSpaceToTheClientAndKeepsTheStripsFixed) {
  form->Realize();
  form->OperatorResize(800, 600);
  EXPECT_EQ(form->Width(), 808);
  EXPECT_EQ(Bounds(i_panel), R(3, 497, 794, 100));
  EXPECT_EQ(Bounds(s_panel), R(559, 3, 238, 494));
  EXPECT_EQ(Bounds(memo), R(5, 5, 546, 484));
  EXPECT_EQ(Bounds(group1), R(5, 62, 228, 250));
  EXPECT_EQ(Bounds(status), R(0, 74, 794, 26));
  EXPECT_EQ(Bounds(cmd), R(214, 28, 415, 43));
  // The views got the same geometry; the form's view gets its client size.
  const THeadlessPeerState* m = THeadlessWindowSystem::StateOf(*memo);
  EXPECT_EQ(R(m->Left, m->Top, m->Width, m->Height), R(5, 5, 546, 484));
  const THeadlessPeerState* f = THeadlessWindowSystem::StateOf(*form);
  EXPECT_EQ(f->Width, 800);
  EXPECT_EQ(f->Height, 600);

  // Shrinking below the fixed strips leaves the client nothing, never less.
  form->OperatorResize(200, 90);
  EXPECT_EQ(v_panel->Width(), 0);
  EXPECT_EQ(v_panel->Height(), 0);
  EXPECT_EQ(memo->Width(), 0);
}

TEST_F(ConsoleLayout, HiddenChildrenTakeNoSpace) {
  i_panel->SetVisible(false);
  EXPECT_EQ(Bounds(s_panel), R(395, 3, 238, 413));
  EXPECT_EQ(Bounds(memo), R(5, 5, 382, 403));
  i_panel->SetVisible(true);
  EXPECT_EQ(Bounds(s_panel), R(395, 3, 238, 313));
  init->SetVisible(false);
  EXPECT_EQ(Bounds(group1), R(5, 5, 228, 250));
}

TEST_F(ConsoleLayout, ChangingAnAlignedChildsSizeOrTheBorderRelaysOut) {
  i_panel->SetHeight(120);
  EXPECT_EQ(Bounds(i_panel), R(3, 296, 630, 120));
  EXPECT_EQ(Bounds(memo), R(5, 5, 382, 283));
  form->SetBorderWidth(0);
  EXPECT_EQ(Bounds(i_panel), R(0, 299, 636, 120));
  EXPECT_EQ(Bounds(s_panel), R(398, 0, 238, 299));
  memo->SetAlign(alNone);  // keeps where it was
  v_panel->SetWidth(100);
  EXPECT_EQ(Bounds(memo), R(5, 5, 388, 289));
}

TEST(Layout, AllFiveAlignmentsInTheirOrder) {
  TPanel p(nullptr);
  p.SetBounds(0, 0, 300, 200);
  auto add = [&](TAlign a, int w, int h) {
    auto* c = new TPanel(&p);
    c->SetParent(&p);
    c->SetBounds(0, 0, w, h);
    c->SetAlign(a);
    return c;
  };
  // Created in the opposite order from the one the layout uses.
  TPanel* client = add(alClient, 1, 1);
  TPanel* right = add(alRight, 60, 1);
  TPanel* left = add(alLeft, 50, 1);
  TPanel* bottom = add(alBottom, 1, 30);
  TPanel* top = add(alTop, 1, 20);
  EXPECT_EQ(Bounds(top), R(0, 0, 300, 20));
  EXPECT_EQ(Bounds(bottom), R(0, 170, 300, 30));
  EXPECT_EQ(Bounds(left), R(0, 20, 50, 150));
  EXPECT_EQ(Bounds(right), R(240, 20, 60, 150));
  EXPECT_EQ(Bounds(client), R(50, 20, 190, 150));

  // Two bottom strips: the lower one stays lowest.
  TPanel* bottom2 = add(alBottom, 1, 10);
  bottom2->SetTop(500);
  EXPECT_EQ(Bounds(bottom2), R(0, 190, 300, 10));
  EXPECT_EQ(Bounds(bottom), R(0, 160, 300, 30));
  EXPECT_EQ(Bounds(client), R(50, 20, 190, 140));
}

TEST(Layout, GroupBoxKeepsAlignedChildrenOffItsCaptionAndFrame) {
  TGroupBox g(nullptr);
  g.SetBounds(0, 0, 200, 100);
  auto* c = new TPanel(&g);
  c->SetParent(&g);
  c->SetAlign(alClient);
  EXPECT_EQ(Bounds(c), R(2, 15, 196, 83));
  g.SetFont(TFont{"Arial", 16, true, true});  // a taller caption
  EXPECT_EQ(Bounds(c), R(2, 25, 196, 73));
}

class FormPlacement : public HeadlessTest {};

TEST_F(FormPlacement, CentredInTheWorkAreaOnlyWhenFirstShown) {
  ws.SetWorkArea({0, 0, 1024, 768});
  TForm form(nullptr);
  form.SetBounds(0, 0, 644, 453);
  form.SetPosition(poDesktopCenter);
  form.Show();
  EXPECT_EQ(form.Left(), 190);
  EXPECT_EQ(form.Top(), 157);
  form.OperatorMove(10, 20);
  form.Hide();
  form.Show();
  EXPECT_EQ(form.Left(), 10);
  EXPECT_EQ(form.Top(), 20);
}

TEST_F(FormPlacement, CentredWithinTheWorkAreaThatPanelsLeave) {
  // A panel of 40 pixels on the left and one of 28 at the top.
  ws.SetWorkArea({40, 28, 1280, 1024});
  TForm form(nullptr);
  form.SetBounds(0, 0, 644, 453);
  form.SetPosition(poScreenCenter);
  form.Show();
  EXPECT_EQ(form.Left(), 40 + (1240 - 644) / 2);
  EXPECT_EQ(form.Top(), 28 + (996 - 453) / 2);

  // Larger than the work area: its top left corner stays inside it.
  ws.SetWorkArea({40, 28, 640, 480});
  TForm big(nullptr);
  big.SetBounds(0, 0, 700, 500);
  big.SetPosition(poDesktopCenter);
  big.Show();
  EXPECT_EQ(big.Left(), 40);
  EXPECT_EQ(big.Top(), 28);
}

TEST_F(FormPlacement, FontsComeFromTheParentUntilAControlHasItsOwn) {
  TForm form(nullptr);
  auto* panel = new TPanel(&form);
  panel->SetParent(&form);
  auto* label = new TLabel(&form);
  label->SetParent(panel);
  auto* edit = new TEdit(&form);
  edit->SetParent(panel);
  const TFont arial{"Arial", 9, true, true};
  edit->SetFont(arial);
  form.Realize();
  label->SetCaption("Имя ПК:");
  const int narrow = label->Width();

  const TFont big{"MS Sans Serif", 12, false, false};
  form.SetFont(big);
  EXPECT_EQ(label->Font(), big);
  EXPECT_EQ(THeadlessWindowSystem::StateOf(*label)->Font, big);
  EXPECT_GT(label->Width(), narrow);  // auto-size follows the font
  EXPECT_EQ(edit->Font(), arial);
  EXPECT_EQ(THeadlessWindowSystem::StateOf(*edit)->Font, arial);

  label->SetAutoSize(false);
  label->SetCaption("Имя ПК: a much longer caption");
  EXPECT_EQ(label->Width(), THeadlessWindowSystem::StateOf(*label)->Width);
  EXPECT_LT(label->Width(), EstimateTextExtent(big, label->Caption()).Width);
}

}  // namespace
