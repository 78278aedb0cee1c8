#include "controls/qt/QtWindowSystem.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QFontMetrics>
#include <QMessageBox>
#include <QMetaObject>
#include <QPixmap>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include "controls/qt/QtLogView.h"
#include "controls/qt/QtPeers.h"
#include "runtime/Thread.h"

namespace {

QWidget* ParentWidget(const TControl& Control) {
  return Control.Parent() ? TQtWindowSystem::WidgetOf(*Control.Parent()) : nullptr;
}

}  // namespace

TQtWindowSystem::TQtWindowSystem(int& argc, char** argv)
    : wake_posted_(std::make_shared<std::atomic<bool>>(false)) {
  if (!QApplication::instance()) own_app_ = std::make_unique<QApplication>(argc, argv);
  // The main form's closing ends the loop, not the last window to close.
  QApplication::setQuitOnLastWindowClosed(false);
  timer_owner_ = std::make_unique<QObject>();
  // Calls marshalled from workers signal this event; the loop's own poll
  // sees it, so a queued call costs no posted event and no extra wake-up.
  calls_notifier_ =
      std::make_unique<QSocketNotifier>(CallsQueuedEvent().Handle(), QSocketNotifier::Read);
  QObject::connect(calls_notifier_.get(), &QSocketNotifier::activated,
                   [] { RunGuarded(nullptr, [] { CheckSynchronize(0); }); });
}

TQtWindowSystem::~TQtWindowSystem() {
  if (WindowSystem() == this) SetWindowSystem(nullptr);
  calls_notifier_.reset();
  timer_owner_.reset();
  timers_.clear();
}

QWidget* TQtWindowSystem::WidgetOf(const TControl& Control) {
  auto* peer = dynamic_cast<TQtPeerBase*>(Control.Peer());
  return peer ? peer->Widget() : nullptr;
}

std::unique_ptr<TFormPeer> TQtWindowSystem::CreatePeer(TForm& Control) {
  return MakeQtFormPeer(Control);
}
std::unique_ptr<TControlPeer> TQtWindowSystem::CreatePeer(TPanel& Control) {
  return MakeQtPanelPeer(Control, ParentWidget(Control));
}
std::unique_ptr<TControlPeer> TQtWindowSystem::CreatePeer(TGroupBox& Control) {
  return MakeQtGroupBoxPeer(Control, ParentWidget(Control));
}
std::unique_ptr<TLabelPeer> TQtWindowSystem::CreatePeer(TLabel& Control) {
  return MakeQtLabelPeer(Control, ParentWidget(Control));
}
std::unique_ptr<TControlPeer> TQtWindowSystem::CreatePeer(TButton& Control) {
  return MakeQtButtonPeer(Control, ParentWidget(Control));
}
std::unique_ptr<TCheckPeer> TQtWindowSystem::CreatePeer(TCheckBox& Control) {
  return MakeQtCheckBoxPeer(Control, ParentWidget(Control));
}
std::unique_ptr<TCheckPeer> TQtWindowSystem::CreatePeer(TRadioButton& Control) {
  return MakeQtRadioButtonPeer(Control, ParentWidget(Control));
}
std::unique_ptr<TEditPeer> TQtWindowSystem::CreatePeer(TEdit& Control) {
  return MakeQtEditPeer(Control, ParentWidget(Control));
}
std::unique_ptr<TComboBoxPeer> TQtWindowSystem::CreatePeer(TComboBox& Control) {
  return MakeQtComboBoxPeer(Control, ParentWidget(Control));
}
std::unique_ptr<TMemoPeer> TQtWindowSystem::CreatePeer(TMemo& Control) {
  return MakeQtMemoPeer(Control, ParentWidget(Control));
}
std::unique_ptr<TStatusBarPeer> TQtWindowSystem::CreatePeer(TStatusBar& Control) {
  return MakeQtStatusBarPeer(Control, ParentWidget(Control));
}

void TQtWindowSystem::Run(TForm& MainForm) {
  SetMainForm(&MainForm);
  if (terminated_) return;
  MainForm.Show();
  if (terminated_) return;  // closed while being shown
  QApplication::exec();
}

void TQtWindowSystem::Terminate() {
  terminated_ = true;
  QCoreApplication::exit(0);
}

void TQtWindowSystem::ProcessMessages() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  RunGuarded(nullptr, [] { CheckSynchronize(0); });
}

void TQtWindowSystem::Wake() {
  // One posted call at a time is enough: it runs every call queued so far,
  // and a call queued after it started posts the next one.
  QCoreApplication* app = QCoreApplication::instance();
  if (!app || wake_posted_->exchange(true)) return;
  std::shared_ptr<std::atomic<bool>> posted = wake_posted_;
  QMetaObject::invokeMethod(
      app,
      [posted] {
        posted->store(false);
        RunGuarded(nullptr, [] { CheckSynchronize(0); });
      },
      Qt::QueuedConnection);
}

int TQtWindowSystem::StartTimer(int IntervalMs, std::function<void()> OnTick) {
  auto* t = new QTimer(timer_owner_.get());
  t->setTimerType(Qt::PreciseTimer);
  t->setInterval(std::max(0, IntervalMs));
  QObject::connect(t, &QTimer::timeout, t, std::move(OnTick));
  t->start();
  const int id = next_timer_id_++;
  timers_[id] = t;
  return id;
}

void TQtWindowSystem::StopTimer(int TimerId) {
  auto it = timers_.find(TimerId);
  if (it == timers_.end()) return;
  QTimer* t = it->second;
  timers_.erase(it);
  t->stop();
  t->disconnect();
  t->deleteLater();  // the tick that stops it may still be running
}

void TQtWindowSystem::ShowMessageBox(const std::string& Text) {
  QMessageBox box(QMessageBox::Information, QGuiApplication::applicationDisplayName(),
                  ToQString(Text), QMessageBox::Ok);
  box.exec();
}

TRect TQtWindowSystem::WorkArea() const {
  const QScreen* s = QGuiApplication::primaryScreen();
  if (!s) return {0, 0, 1024, 768};
  const QRect r = s->availableGeometry();
  return {r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
}

TSize TQtWindowSystem::TextExtent(const TFont& Font, const std::string& Text) const {
  const QFontMetrics fm(MapFont(Font));
  return {fm.horizontalAdvance(ToQString(Text)), fm.height()};
}

bool TQtWindowSystem::Grab(TForm& Form, const std::string& Path) {
  Form.Realize();
  QWidget* w = WidgetOf(Form);
  if (!w) return false;
  // Pending log appends must be on the picture.
  // The view has no meta-object of its own, so it is told from the other
  // scroll areas (a list's popup) by its C++ type.
  for (QAbstractScrollArea* a : w->findChildren<QAbstractScrollArea*>()) {
    if (auto* v = dynamic_cast<TLogView*>(a)) v->Flush();
  }
  w->ensurePolished();
  const QPixmap picture = w->grab();
  return !picture.isNull() && picture.save(QString::fromStdString(Path), "PNG");
}
