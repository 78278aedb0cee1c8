#include "controls/qt/QtPeers.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFont>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QResizeEvent>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStringDecoder>
#include <functional>
#include <vector>

#include "controls/Cp1251.h"
#include "controls/qt/QtLogView.h"

// -------------------------------------------------------------------- helpers

QString ToQString(const std::string& Text) {
  QStringDecoder utf8(QStringConverter::Utf8);
  QString s = utf8(QByteArrayView(Text.data(), static_cast<qsizetype>(Text.size())));
  if (!utf8.hasError()) return s;
  s.clear();
  s.reserve(static_cast<qsizetype>(Text.size()));
  for (unsigned char b : Text) s += QChar(Cp1251Char(b));
  return s;
}

std::string FromQString(const QString& Text) {
  return Text.toUtf8().toStdString();
}

QFont MapFont(const TFont& Font) {
  QFont f;
  const std::string& n = Font.Name;
  if (n == "MS Sans Serif" || n == "Microsoft Sans Serif" || n == "Tahoma") {
    // The condensed cut keeps captions within the widths they were designed for.
    f.setFamilies({"DejaVu Sans Condensed", "DejaVu Sans", "Liberation Sans"});
    f.setStyleHint(QFont::SansSerif);
  } else if (n == "Arial") {
    f.setFamilies({"Liberation Sans", "Arimo", "DejaVu Sans"});
    f.setStyleHint(QFont::SansSerif);
  } else if (n == "Fixedsys" || n == "Courier New" || n == "Courier" || n == "Terminal") {
    f.setFamilies({"DejaVu Sans Mono", "Liberation Mono"});
    f.setStyleHint(QFont::TypeWriter);
    f.setFixedPitch(true);
  } else {
    f.setFamilies({QString::fromStdString(n)});
  }
  f.setPointSize(Font.Size > 0 ? Font.Size : 8);
  f.setBold(Font.Bold);
  return f;
}

TQtPeerBase::TQtPeerBase(TControl& Control, QWidget* Widget) : control_(Control), widget_(Widget) {
  Widget->installEventFilter(this);
}

TQtPeerBase::~TQtPeerBase() {
  // The widget's children belong to the children's peers, which are gone
  // by now; deleting the widget takes whatever Qt added itself. Nothing may
  // reach this half-destroyed peer while it goes.
  if (QWidget* w = widget_.data()) {
    w->removeEventFilter(this);
    QObject::disconnect(w, nullptr, this, nullptr);
    delete w;
  }
}

bool TQtPeerBase::eventFilter(QObject* Watched, QEvent* Event) {
  if (Watched == widget_ && Event->type() == QEvent::FocusIn) control_.OperatorFocus();
  return QObject::eventFilter(Watched, Event);
}

void TQtCommon::SetBounds(QWidget* w, int l, int t, int wd, int h) {
  const QRect r(l, t, wd, h);
  if (w->geometry() != r) w->setGeometry(r);
}

void TQtCommon::SetVisible(QWidget* w, bool v) {
  if (v == w->isHidden()) w->setVisible(v);
}

void TQtCommon::SetEnabled(QWidget* w, bool v) {
  // The widget's own flag: a disabled parent must not hide that the control
  // itself was never disabled.
  if (w->testAttribute(Qt::WA_ForceDisabled) == v) w->setEnabled(v);
}

void TQtCommon::SetFont(QWidget* w, const TFont& f) {
  const QFont q = MapFont(f);
  if (w->font() != q) w->setFont(q);
}

namespace {

QColor QtColor(TColor c, QPalette::ColorRole Fallback, const QPalette& App) {
  if (!IsSystemColor(c)) return QColor((c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF);
  switch (c) {
    case clBtnFace:
      return App.color(QPalette::Button);
    case clWindow:
      return App.color(QPalette::Base);
    case clWindowText:
      return App.color(QPalette::Text);
    case clHighlight:
      return App.color(QPalette::Highlight);
    case clHighlightText:
      return App.color(QPalette::HighlightedText);
    default:
      return App.color(Fallback);
  }
}

}  // namespace

void TQtCommon::SetColor(QWidget* w, TColor c, bool TextArea, bool Fill) {
  const QPalette::ColorRole role = TextArea ? QPalette::Base : QPalette::Window;
  const QPalette app = QApplication::palette(w);
  QPalette pal = w->palette();
  pal.setColor(role, QtColor(c, role, app));
  if (TextArea) {
    // The text must read on this background whatever the desktop's theme.
    const TTextColors t = TextColorsOn(c);
    pal.setColor(QPalette::Text, QtColor(t.Text, QPalette::Text, app));
    pal.setColor(QPalette::Highlight, QtColor(t.Highlight, QPalette::Highlight, app));
    pal.setColor(QPalette::HighlightedText,
                 QtColor(t.HighlightText, QPalette::HighlightedText, app));
  }
  if (pal != w->palette()) w->setPalette(pal);
  if (!TextArea) w->setAutoFillBackground(Fill || !IsSystemColor(c));
}

void TQtCommon::SetTabStop(QWidget* w, bool v, bool Focusable) {
  const Qt::FocusPolicy p = !Focusable ? Qt::NoFocus : v ? Qt::StrongFocus : Qt::ClickFocus;
  if (w->focusPolicy() != p) w->setFocusPolicy(p);
}

void TQtCommon::SetFocus(QWidget* w) {
  if (!w->hasFocus()) w->setFocus(Qt::OtherFocusReason);
}

namespace {

Qt::Alignment AlignmentOf(TAlignment a) {
  switch (a) {
    case taRightJustify:
      return Qt::AlignRight | Qt::AlignVCenter;
    case taCenter:
      return Qt::AlignHCenter | Qt::AlignVCenter;
    default:
      return Qt::AlignLeft | Qt::AlignVCenter;
  }
}

// ----------------------------------------------------------------------- form

class TFormWidget : public QWidget {
 public:
  explicit TFormWidget(TForm& Form) : form_(Form) {}

 protected:
  void closeEvent(QCloseEvent* e) override {
    // Closing is the form's decision (OnClose may refuse); it hides itself.
    e->ignore();
    form_.OperatorClose();
  }
  void resizeEvent(QResizeEvent* e) override {
    QWidget::resizeEvent(e);
    const QSize s = e->size();
    if (s.width() != form_.ClientWidth() || s.height() != form_.ClientHeight()) {
      form_.OperatorResize(s.width(), s.height());
    }
  }
  void moveEvent(QMoveEvent* e) override {
    QWidget::moveEvent(e);
    form_.OperatorMove(x(), y());
  }

 private:
  TForm& form_;
};

class TQtFormPeer : public TQtPeer<TFormPeer, TFormWidget> {
 public:
  explicit TQtFormPeer(TForm& Form) : TQtPeer(Form, new TFormWidget(Form), false, false, true) {}
  void SetBounds(int l, int t, int wd, int h) override {
    if (!w()) return;
    if (w()->pos() != QPoint(l, t)) w()->move(l, t);
    if (w()->size() != QSize(wd, h)) w()->resize(wd, h);
  }

 protected:
  void ApplyCaption(const QString& c) override {
    if (w()->windowTitle() != c) w()->setWindowTitle(c);
  }
};

// ------------------------------------------------------- panels and labels

class TPanelWidget : public QWidget {
 public:
  using QWidget::QWidget;
  void SetCaption(const QString& c) {
    if (c == caption_) return;
    caption_ = c;
    update();
  }

 protected:
  void paintEvent(QPaintEvent* e) override {
    QWidget::paintEvent(e);
    if (caption_.isEmpty()) return;
    QPainter p(this);
    p.drawText(rect(), Qt::AlignCenter, caption_);
  }

 private:
  QString caption_;
};

class TQtPanelPeer : public TQtPeer<TControlPeer, TPanelWidget> {
 public:
  TQtPanelPeer(TPanel& Control, QWidget* Parent)
      : TQtPeer(Control, new TPanelWidget(Parent), false, false, true) {}

 protected:
  void ApplyCaption(const QString& c) override { w()->SetCaption(c); }
};

class TQtGroupBoxPeer : public TQtPeer<TControlPeer, QGroupBox> {
 public:
  TQtGroupBoxPeer(TGroupBox& Control, QWidget* Parent)
      : TQtPeer(Control, new QGroupBox(Parent), false) {
    // The caption sits on the frame line, so children placed just below the
    // caption (as designed) stay inside the frame.
    w()->setStyleSheet(
        "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 6px; }"
        "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
        " left: 6px; padding: 0px 2px; }");
  }

 protected:
  void ApplyCaption(const QString& c) override {
    if (w()->title() != c) w()->setTitle(c);
  }
};

class TQtLabelPeer : public TQtPeer<TLabelPeer, QLabel> {
 public:
  TQtLabelPeer(TLabel& Control, QWidget* Parent) : TQtPeer(Control, new QLabel(Parent), false) {
    w()->setTextFormat(Qt::PlainText);
  }
  void SetAlignment(TAlignment a) override {
    const Qt::Alignment q = (AlignmentOf(a) & Qt::AlignHorizontal_Mask) | Qt::AlignTop;
    if (w()->alignment() != q) w()->setAlignment(q);
  }

 protected:
  void ApplyCaption(const QString& c) override {
    if (w()->text() != c) w()->setText(c);
  }
};

// -------------------------------------------------------------------- buttons

class TQtButtonPeer : public TQtPeer<TControlPeer, QPushButton> {
 public:
  TQtButtonPeer(TButton& Control, QWidget* Parent)
      : TQtPeer(Control, new QPushButton(Parent), true) {
    w()->setAutoDefault(false);
    QObject::connect(w(), &QPushButton::clicked, this, [&Control] { Control.OperatorClick(); });
  }

 protected:
  void ApplyCaption(const QString& c) override {
    if (w()->text() != c) w()->setText(c);
  }
};

class TQtCheckBoxPeer : public TQtPeer<TCheckPeer, QCheckBox> {
 public:
  TQtCheckBoxPeer(TCheckBox& Control, QWidget* Parent)
      : TQtPeer(Control, new QCheckBox(Parent), true) {
    // clicked comes from the operator only, with the state the box now shows.
    QObject::connect(w(), &QCheckBox::clicked, this,
                     [&Control](bool checked) { Control.OperatorToggle(checked); });
  }
  void SetChecked(bool v) override {
    if (w() && w()->isChecked() != v) {
      const QSignalBlocker block(w());
      w()->setChecked(v);
    }
  }

 protected:
  void ApplyCaption(const QString& c) override {
    if (w()->text() != c) w()->setText(c);
  }
};

class TQtRadioButtonPeer : public TQtPeer<TCheckPeer, QRadioButton> {
 public:
  TQtRadioButtonPeer(TRadioButton& Control, QWidget* Parent)
      : TQtPeer(Control, new QRadioButton(Parent), true) {
    QObject::connect(w(), &QRadioButton::clicked, this, [&Control](bool checked) {
      if (checked) Control.OperatorClick();
    });
  }
  void SetChecked(bool v) override {
    if (!w() || w()->isChecked() == v) return;
    const QSignalBlocker block(w());
    if (v) {
      w()->setChecked(true);
    } else {
      // An exclusive button refuses to be unchecked directly.
      w()->setAutoExclusive(false);
      w()->setChecked(false);
      w()->setAutoExclusive(true);
    }
  }

 protected:
  void ApplyCaption(const QString& c) override {
    if (w()->text() != c) w()->setText(c);
  }
};

// ----------------------------------------------------------------------- edit

// The Latin letter on the key that carries a Cyrillic letter in the usual
// Russian layout, so Ctrl with that key means what it means on a Latin
// layout (Ctrl+Ч is Ctrl+X); 0 for a key without a letter of A-Z.
char LatinOfCyrillic(char32_t u) {
  if (u >= 0x0430 && u <= 0x044F) u -= 0x20;
  if (u < 0x0410 || u > 0x042F) return 0;
  // А Б В Г Д Е Ж З И Й К Л М Н О П Р С Т У Ф Х Ц Ч Ш Щ Ъ Ы Ь Э Ю Я
  static constexpr char kPosition[] = "F,DULT;PBQRKVYJGHCNEA[WXIO]SM'.Z";
  const char c = kPosition[u - 0x0410];
  return c >= 'A' && c <= 'Z' ? c : 0;
}

// A Cyrillic X keysym (as X11 and Wayland give it) as Unicode; 0 otherwise.
char32_t CyrillicOfKeysym(quint32 sym) {
  // Keysyms 0x6C0-0x6DF are the small letters in KOI8-R order, 0x6E0-0x6FF
  // the capitals.
  static constexpr char16_t kKoi8[33] = u"юабцдефгхийклмнопярстужвьызшэщчъ";
  if (sym >= 0x6C0 && sym <= 0x6FF) {
    const char32_t small = kKoi8[(sym - 0x6C0) & 0x1F];
    return sym >= 0x6E0 ? small - 0x20 : small;
  }
  return 0;
}

// The character a key event types, as the edit's key-press handler sees it.
// Native: whether the line edit makes the same of the event itself; a key
// found only through the layout position or a control character in the
// text is not one it acts on.
bool KeyOf(const QKeyEvent* e, char& key, bool& native) {
  const int k = e->key();
  const Qt::KeyboardModifiers m = e->modifiers();
  const bool ctrl = (m & Qt::ControlModifier) && !(m & Qt::AltModifier);
  native = true;
  if (k == Qt::Key_Return || k == Qt::Key_Enter) {
    key = 13;
  } else if (k == Qt::Key_Escape) {
    key = 27;
  } else if (k == Qt::Key_Backspace) {
    key = 8;
  } else if (ctrl && k >= Qt::Key_A && k <= Qt::Key_Z) {
    key = static_cast<char>(k - Qt::Key_A + 1);
  } else {
    char latin = 0;
    if (ctrl) {
      latin = LatinOfCyrillic(static_cast<char32_t>(k));
      if (!latin) latin = LatinOfCyrillic(CyrillicOfKeysym(e->nativeVirtualKey()));
    }
    const QString t = e->text();
    if (latin) {
      key = static_cast<char>(latin - 'A' + 1);
      native = false;
    } else if (t.size() == 1 && t[0].unicode() != 0 && t[0].unicode() < 0x20 &&
               t[0].unicode() != '\t') {
      key = static_cast<char>(t[0].unicode());
      native = false;
    } else if (t.size() == 1 && t[0].unicode() >= 0x20 && t[0].unicode() != 0x7F) {
      key = UnicodeToCp1251(t[0].unicode());
    } else {
      return false;
    }
  }
  return true;
}

class TQtEditPeer : public TQtPeer<TEditPeer, QLineEdit> {
 public:
  TQtEditPeer(TEdit& Control, QWidget* Parent) : TQtPeer(Control, new QLineEdit(Parent), true) {}

  void SetText(const std::string& t) override {
    const QString q = ToQString(t);
    if (w() && w()->text() != q) w()->setText(q);
  }
  std::string Text() const override { return w() ? FromQString(w()->text()) : std::string(); }
  void SetReadOnly(bool v) override {
    if (w() && w()->isReadOnly() != v) w()->setReadOnly(v);
  }
  void KeyIntoEdit(char Key) override {
    if (in_event_ && Key == event_key_ && event_native_) {
      pass_event_ = true;  // the key event itself goes on into the edit
      return;
    }
    QLineEdit* e = w();
    if (!e || e->isReadOnly()) return;
    switch (static_cast<unsigned char>(Key)) {
      case 8:
        e->backspace();
        break;
      case 0x03:
        e->copy();
        break;
      case 0x16:
        e->paste();
        break;
      case 0x18:
        e->cut();
        break;
      case 0x1A:
        e->undo();
        break;
      default:
        if (static_cast<unsigned char>(Key) >= 0x20) e->insert(QString(QChar(Cp1251Char(Key))));
    }
  }

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override {
    if (Watched == widget_ && Event->type() == QEvent::KeyPress) {
      const auto* ke = static_cast<QKeyEvent*>(Event);
      if ((ke->key() == Qt::Key_Up || ke->key() == Qt::Key_Down) &&
          (ke->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        return static_cast<TEdit&>(control_).OperatorMoveKey(ke->key() == Qt::Key_Up ? mkUp
                                                                                     : mkDown);
      }
      char key = 0;
      bool native = true;
      if (KeyOf(static_cast<QKeyEvent*>(Event), key, native)) {
        const QPointer<QWidget> alive = widget_;
        in_event_ = true;
        event_key_ = key;
        event_native_ = native;
        pass_event_ = false;
        static_cast<TEdit&>(control_).OperatorKey(key);
        if (!alive) return true;
        in_event_ = false;
        return !pass_event_;
      }
    }
    return TQtPeer::eventFilter(Watched, Event);
  }

 private:
  bool in_event_ = false;
  char event_key_ = 0;
  bool event_native_ = true;  // the edit acts on the event itself
  bool pass_event_ = false;
};

// ------------------------------------------------------------------- combobox

class TComboWidget : public QComboBox {
 public:
  using QComboBox::QComboBox;
  std::function<void()> BeforePopup;
  void showPopup() override {
    if (BeforePopup) BeforePopup();
    QComboBox::showPopup();
  }
};

class TQtComboBoxPeer : public TQtPeer<TComboBoxPeer, TComboWidget> {
 public:
  TQtComboBoxPeer(TComboBox& Control, QWidget* Parent)
      : TQtPeer(Control, new TComboWidget(Parent), true, true) {
    w()->setEditable(false);
    w()->setMaxVisibleItems(8);
    w()->BeforePopup = [&Control] { RunGuarded(&Control, [&Control] { Control.ItemsChanged(); }); };
    // activated comes from the operator only, even for the same item again.
    QObject::connect(w(), &QComboBox::activated, this,
                     [&Control](int index) { Control.OperatorSelect(index); });
  }
  void SetItems(const std::vector<std::string>& Items) override {
    if (!w()) return;
    QStringList list;
    list.reserve(static_cast<qsizetype>(Items.size()));
    for (const std::string& s : Items) list << ToQString(s);
    const QSignalBlocker block(w());
    w()->clear();
    w()->addItems(list);
    w()->setCurrentIndex(-1);
  }
  void SetItemIndex(int i) override {
    if (w() && w()->currentIndex() != i) {
      const QSignalBlocker block(w());
      w()->setCurrentIndex(i);
    }
  }
  int ItemIndex() const override { return w() ? w()->currentIndex() : -1; }
};

// ----------------------------------------------------------------------- memo

class TQtMemoPeer : public TQtPeer<TMemoPeer, TLogView> {
 public:
  TQtMemoPeer(TMemo& Control, QWidget* Parent)
      : TQtPeer(Control, new TLogView(Parent), true, true) {
    w()->OnRefused = [](const std::string& Text) {
      if (TWindowSystem* ws = WindowSystem()) ws->ShowMessageBox(Text);
    };
    w()->OnSaveFailed = w()->OnRefused;
    w()->OnFindClosed = [&Control] { Control.OperatorFindClose(); };
    w()->OnSaveProgress = [&Control](const std::string& Text) { Control.SaveProgress(Text); };
  }
  // The view is read-only whatever the control says: it has no editing.
  void SetReadOnly(bool) override {}
  void SetWordWrap(bool v) override {
    if (w()) w()->SetWordWrap(v);
  }
  void SetScrollBars(TScrollStyle s) override {
    if (!w()) return;
    const bool vertical = s == ssVertical || s == ssBoth;
    w()->setVerticalScrollBarPolicy(vertical ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    w()->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  }
  void ShowText(const TLogText& t) override {
    if (w()) w()->ShowText(&t);
  }
  void AppendText(std::string_view) override {
    if (w()) w()->TextAppended();
  }
  void ClearText() override {
    if (w()) w()->TextCleared();
  }
};

// ------------------------------------------------------------------ statusbar

class TStatusWidget : public QWidget {
 public:
  using QWidget::QWidget;
  void AddPanel(int width, TAlignment a) {
    auto* l = new QLabel(this);
    l->setTextFormat(Qt::PlainText);
    l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    l->setAlignment(AlignmentOf(a));
    l->setContentsMargins(2, 0, 2, 0);
    l->show();
    labels_.push_back(l);
    widths_.push_back(width);
    Relayout();
  }
  void SetText(int i, const QString& t) {
    if (i < 0 || i >= static_cast<int>(labels_.size())) return;
    if (labels_[i]->text() != t) labels_[i]->setText(t);
  }

 protected:
  void resizeEvent(QResizeEvent* e) override {
    QWidget::resizeEvent(e);
    Relayout();
  }

 private:
  // Panels side by side from the left, 2 pixels apart; the last one takes
  // the rest of the width.
  void Relayout() {
    int x = 0;
    const int h = std::max(0, height() - 2);
    for (std::size_t i = 0; i < labels_.size(); ++i) {
      int w = widths_[i];
      if (i + 1 == labels_.size()) w = std::max(w, width() - x);
      labels_[i]->setGeometry(x, 2, std::max(0, w - 2), h);
      x += w;
    }
  }
  std::vector<QLabel*> labels_;
  std::vector<int> widths_;
};

class TQtStatusBarPeer : public TQtPeer<TStatusBarPeer, TStatusWidget> {
 public:
  TQtStatusBarPeer(TStatusBar& Control, QWidget* Parent)
      : TQtPeer(Control, new TStatusWidget(Parent), false) {}
  void AddPanel(int Width, TAlignment Alignment) override {
    if (w()) w()->AddPanel(Width, Alignment);
  }
  void SetPanelText(int Index, const std::string& Text) override {
    if (w()) w()->SetText(Index, ToQString(Text));
  }
};

}  // namespace

std::unique_ptr<TFormPeer> MakeQtFormPeer(TForm& Control) {
  return std::make_unique<TQtFormPeer>(Control);
}
std::unique_ptr<TControlPeer> MakeQtPanelPeer(TPanel& Control, QWidget* Parent) {
  return std::make_unique<TQtPanelPeer>(Control, Parent);
}
std::unique_ptr<TControlPeer> MakeQtGroupBoxPeer(TGroupBox& Control, QWidget* Parent) {
  return std::make_unique<TQtGroupBoxPeer>(Control, Parent);
}
std::unique_ptr<TLabelPeer> MakeQtLabelPeer(TLabel& Control, QWidget* Parent) {
  return std::make_unique<TQtLabelPeer>(Control, Parent);
}
std::unique_ptr<TControlPeer> MakeQtButtonPeer(TButton& Control, QWidget* Parent) {
  return std::make_unique<TQtButtonPeer>(Control, Parent);
}
std::unique_ptr<TCheckPeer> MakeQtCheckBoxPeer(TCheckBox& Control, QWidget* Parent) {
  return std::make_unique<TQtCheckBoxPeer>(Control, Parent);
}
std::unique_ptr<TCheckPeer> MakeQtRadioButtonPeer(TRadioButton& Control, QWidget* Parent) {
  return std::make_unique<TQtRadioButtonPeer>(Control, Parent);
}
std::unique_ptr<TEditPeer> MakeQtEditPeer(TEdit& Control, QWidget* Parent) {
  return std::make_unique<TQtEditPeer>(Control, Parent);
}
std::unique_ptr<TComboBoxPeer> MakeQtComboBoxPeer(TComboBox& Control, QWidget* Parent) {
  return std::make_unique<TQtComboBoxPeer>(Control, Parent);
}
std::unique_ptr<TMemoPeer> MakeQtMemoPeer(TMemo& Control, QWidget* Parent) {
  return std::make_unique<TQtMemoPeer>(Control, Parent);
}
std::unique_ptr<TStatusBarPeer> MakeQtStatusBarPeer(TStatusBar& Control, QWidget* Parent) {
  return std::make_unique<TQtStatusBarPeer>(Control, Parent);
}
