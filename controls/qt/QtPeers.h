// Qt widgets behind the controls: one peer per control, owning its widget.
// Peers change a widget only when it shows something else, and hand the
// operator's actions back to their control.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <string>

#include "controls/Controls.h"
#include "controls/WindowSystem.h"

class QFont;
class TLogView;

// UTF-8 text to Qt; bytes that are not UTF-8 are read as Windows-1251, so a
// message in the console's own code page still reads right.
QString ToQString(const std::string& Text);
std::string FromQString(const QString& Text);
// The fonts the window was designed with, mapped to fonts Linux has.
QFont MapFont(const TFont& Font);

class TQtPeerBase : public QObject {
 public:
  TQtPeerBase(TControl& Control, QWidget* Widget);
  ~TQtPeerBase() override;
  QWidget* Widget() const { return widget_; }
  TControl& Control() const { return control_; }

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;

  TControl& control_;
  QPointer<QWidget> widget_;
};

// The parts every peer shares. Fill: whether a button-face background is
// painted (panels, forms) rather than inherited from the parent.
class TQtCommon {
 public:
  static void SetBounds(QWidget* w, int l, int t, int wd, int h);
  static void SetVisible(QWidget* w, bool v);
  static void SetEnabled(QWidget* w, bool v);
  static void SetFont(QWidget* w, const TFont& f);
  static void SetColor(QWidget* w, TColor c, bool TextArea, bool Fill);
  static void SetTabStop(QWidget* w, bool v, bool Focusable);
  static void SetFocus(QWidget* w);
};

template <class Interface, class W>
class TQtPeer : public Interface, public TQtPeerBase {
 public:
  TQtPeer(TControl& Control, W* Widget, bool Focusable, bool TextArea = false, bool Fill = false)
      : TQtPeerBase(Control, Widget), focusable_(Focusable), text_area_(TextArea), fill_(Fill) {}
  W* w() const { return static_cast<W*>(widget_.data()); }
  void SetBounds(int l, int t, int wd, int h) override {
    if (w()) TQtCommon::SetBounds(w(), l, t, wd, h);
  }
  void SetVisible(bool v) override {
    if (w()) TQtCommon::SetVisible(w(), v);
  }
  void SetEnabled(bool v) override {
    if (w()) TQtCommon::SetEnabled(w(), v);
  }
  void SetCaption(const std::string& c) override {
    if (w()) ApplyCaption(ToQString(c));
  }
  void SetFont(const TFont& f) override {
    if (w()) TQtCommon::SetFont(w(), f);
  }
  void SetColor(TColor c) override {
    if (w()) TQtCommon::SetColor(w(), c, text_area_, fill_);
  }
  void SetTabStop(bool v) override {
    if (w()) TQtCommon::SetTabStop(w(), v, focusable_);
  }
  void SetFocus() override {
    if (w()) TQtCommon::SetFocus(w());
  }

 protected:
  virtual void ApplyCaption(const QString&) {}

 private:
  bool focusable_;
  bool text_area_;
  bool fill_;
};

// Peers, created by TQtWindowSystem; Parent is the parent control's widget.
std::unique_ptr<TFormPeer> MakeQtFormPeer(TForm& Control);
std::unique_ptr<TControlPeer> MakeQtPanelPeer(TPanel& Control, QWidget* Parent);
std::unique_ptr<TControlPeer> MakeQtGroupBoxPeer(TGroupBox& Control, QWidget* Parent);
std::unique_ptr<TLabelPeer> MakeQtLabelPeer(TLabel& Control, QWidget* Parent);
std::unique_ptr<TControlPeer> MakeQtButtonPeer(TButton& Control, QWidget* Parent);
std::unique_ptr<TCheckPeer> MakeQtCheckBoxPeer(TCheckBox& Control, QWidget* Parent);
std::unique_ptr<TCheckPeer> MakeQtRadioButtonPeer(TRadioButton& Control, QWidget* Parent);
std::unique_ptr<TEditPeer> MakeQtEditPeer(TEdit& Control, QWidget* Parent);
std::unique_ptr<TComboBoxPeer> MakeQtComboBoxPeer(TComboBox& Control, QWidget* Parent);
std::unique_ptr<TMemoPeer> MakeQtMemoPeer(TMemo& Control, QWidget* Parent);
std::unique_ptr<TStatusBarPeer> MakeQtStatusBarPeer(TStatusBar& Control, QWidget* Parent);
