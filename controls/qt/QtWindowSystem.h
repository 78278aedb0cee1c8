// The window system on Qt 6 Widgets: one QWidget per control, placed at the
// geometry the neutral layout computed; the loop is QApplication's.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>

#include "controls/Controls.h"
#include "controls/WindowSystem.h"

class QApplication;
class QObject;
class QSocketNotifier;
class QTimer;
class QWidget;

class TQtWindowSystem : public TWindowSystem {
 public:
  // Uses the QApplication that exists or creates one; argc and argv must
  // outlive this object.
  TQtWindowSystem(int& argc, char** argv);
  ~TQtWindowSystem() override;

  std::unique_ptr<TFormPeer> CreatePeer(TForm& Control) override;
  std::unique_ptr<TControlPeer> CreatePeer(TPanel& Control) override;
  std::unique_ptr<TControlPeer> CreatePeer(TGroupBox& Control) override;
  std::unique_ptr<TLabelPeer> CreatePeer(TLabel& Control) override;
  std::unique_ptr<TControlPeer> CreatePeer(TButton& Control) override;
  std::unique_ptr<TCheckPeer> CreatePeer(TCheckBox& Control) override;
  std::unique_ptr<TCheckPeer> CreatePeer(TRadioButton& Control) override;
  std::unique_ptr<TEditPeer> CreatePeer(TEdit& Control) override;
  std::unique_ptr<TComboBoxPeer> CreatePeer(TComboBox& Control) override;
  std::unique_ptr<TMemoPeer> CreatePeer(TMemo& Control) override;
  std::unique_ptr<TStatusBarPeer> CreatePeer(TStatusBar& Control) override;

  void Run(TForm& MainForm) override;
  void Terminate() override;
  bool Terminated() const override { return terminated_; }
  void ProcessMessages() override;
  void Wake() override;
  // The loop watches the call queue's event directly: nothing to post.
  void CallQueued() override {}
  int StartTimer(int IntervalMs, std::function<void()> OnTick) override;
  void StopTimer(int TimerId) override;
  void ShowMessageBox(const std::string& Text) override;
  TRect WorkArea() const override;
  TSize TextExtent(const TFont& Font, const std::string& Text) const override;

  // The widget behind a realised control (nullptr when it has none).
  static QWidget* WidgetOf(const TControl& Control);
  // Renders the form's client area, as it would show, into a PNG file.
  bool Grab(TForm& Form, const std::string& Path);

 private:
  std::unique_ptr<QApplication> own_app_;
  std::unique_ptr<QObject> timer_owner_;
  std::unique_ptr<QSocketNotifier> calls_notifier_;
  std::map<int, QTimer*> timers_;
  int next_timer_id_ = 1;
  bool terminated_ = false;
  // Shared with posted wake calls, which may outlive this object.
  std::shared_ptr<std::atomic<bool>> wake_posted_;
};
