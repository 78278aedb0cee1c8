#include "app/fBase.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "app/DateTimeText.h"
#include "app/fBaseDesign.h"
#include "controls/Cp1251.h"
#include "net/IdStack.h"
#include "serial/VaCommError.h"

namespace {

TControl* CreateControl(TDesignKind kind, TComponent* owner) {
  switch (kind) {
    case TDesignKind::Panel:
      return new TPanel(owner);
    case TDesignKind::GroupBox:
      return new TGroupBox(owner);
    case TDesignKind::Label:
      return new TLabel(owner);
    case TDesignKind::Edit:
      return new TEdit(owner);
    case TDesignKind::Memo:
      return new TMemo(owner);
    case TDesignKind::ComboBox:
      return new TComboBox(owner);
    case TDesignKind::CheckBox:
      return new TCheckBox(owner);
    case TDesignKind::RadioButton:
      return new TRadioButton(owner);
    case TDesignKind::Button:
      return new TButton(owner);
    case TDesignKind::StatusBar:
      return new TStatusBar(owner);
  }
  throw Exception("Unknown control kind in the form description");
}

// "SSI" anywhere, in any case of the letters a-z.
bool MentionsSsi(std::string_view data) {
  auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
  for (std::size_t i = 0; i + 3 <= data.size(); ++i) {
    if (upper(data[i]) == 'S' && upper(data[i + 1]) == 'S' && upper(data[i + 2]) == 'I')
      return true;
  }
  return false;
}

// The text a local lookup gives, or empty when the host cannot tell it: a
// host whose own name or address cannot be looked up still gets a console.
template <class F>
std::string LocalText(F&& lookup) {
  try {
    return lookup();
  } catch (const Exception&) {
    return std::string();
  }
}

// Whether text reads as UTF-8, the encoding of the window's texts.
bool ReadsAsUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t more = lead < 0x80             ? 0
                             : (lead & 0xE0) == 0xC0 ? 1
                             : (lead & 0xF0) == 0xE0 ? 2
                             : (lead & 0xF8) == 0xF0 ? 3
                                                     : text.size();
    if (more >= text.size() - i) return false;
    for (std::size_t k = 1; k <= more; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += more + 1;
  }
  return true;
}

// Listens on port and no other: an activation on another port, by the box or
// by a send, is ended first, and the server makes its binding afresh rather
// than binding again the port an earlier activation used.
void ListenOn(TIdUDPServer& server, int port) {
  if (server.Active()) {
    TIdSocketHandles& bindings = server.Bindings();
    if (bindings.Count() == 1 && bindings.Items(0)->Port() == port) return;
    server.SetActive(false);
  }
  server.Bindings().Clear();
  server.SetDefaultPort(port);
  server.SetActive(true);
}

// Shows what the operator's own network action failed on: a socket error or
// a number that cannot be read from a box. Any other error goes on to the
// hook.
void ShowNetworkFailure(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const EIdException& e) {
    ShowMessage(e.what());
  } catch (const EConvertError& e) {
    ShowMessage(e.what());
  }
}

template <class T>
T* Find(const TComponent& owner, std::string_view name) {
  auto* c = dynamic_cast<T*>(owner.FindComponent(std::string(name)));
  if (!c) throw Exception("Form description lacks " + std::string(name));
  return c;
}

}  // namespace

TBaseform::TBaseform(TComponent* AOwner) : TForm(AOwner) {
  BeginLoading();
  ReadDesign();
  EndLoading();
  ConnectHandlers();
  // An error here goes to the hook that FormCreate installed first thing;
  // the window opens all the same.
  RunGuarded(this, [this] { FormCreate(this); });
}

TBaseform::~TBaseform() {
  // The components' threads may still hand calls to this window while they
  // stop; let them go while the window is whole, then drop the hook, which
  // refers to it. The responder goes first: its steps write to the port.
  responder_.reset();
  ResponderThread = nullptr;
  delete UDPServer;
  UDPServer = nullptr;
  delete VaComm;
  VaComm = nullptr;
  SetApplicationOnException(nullptr);
}

void TBaseform::ReadDesign() {
  const TFormDesign& d = BaseformDesign();
  SetName("Baseform");
  SetCaption(std::string(d.Caption));
  SetBounds(0, 0, d.Width, d.Height);
  SetBorderWidth(d.BorderWidth);
  SetFont(d.Font);
  SetColor(d.Color);
  SetPosition(poDesktopCenter);

  for (const TControlDesign& c : d.Controls) {
    TControl* control = CreateControl(c.Kind, this);
    control->SetName(std::string(c.Name));
    control->SetParent(c.Parent.empty() ? this : Find<TWinControl>(*this, c.Parent));
    if (c.Font) control->SetFont(*c.Font);
    // Bounds first: aligned siblings are ordered by their designed position.
    control->SetBounds(c.Left, c.Top, c.Width, c.Height);
    control->SetAlign(c.Align);
    control->SetColor(c.Color);
    control->SetTabStop(c.TabStop);
    control->SetVisible(c.Visible);
    if (auto* edit = dynamic_cast<TEdit*>(control)) {
      edit->SetText(std::string(c.Caption));
    } else {
      control->SetCaption(std::string(c.Caption));
    }
    if (auto* win = dynamic_cast<TWinControl*>(control)) win->SetBorderWidth(c.BorderWidth);
    if (auto* combo = dynamic_cast<TComboBox*>(control)) {
      for (std::string_view item : c.Items) combo->Items().Add(std::string(item));
      combo->ItemsChanged();
    }
  }

  vPanel = Find<TPanel>(*this, "vPanel");
  MemMess = Find<TMemo>(*this, "MemMess");
  sPanel = Find<TPanel>(*this, "sPanel");
  GrBxInit = Find<TGroupBox>(*this, "GrBxInit");
  RButDirect = Find<TRadioButton>(*this, "RButDirect");
  RButPack = Find<TRadioButton>(*this, "RButPack");
  ChBxTreat = Find<TCheckBox>(*this, "ChBxTreat");
  BtSet = Find<TButton>(*this, "BtSet");
  GroupBox1 = Find<TGroupBox>(*this, "GroupBox1");
  LHostName = Find<TLabel>(*this, "LHostName");
  LHostAddress = Find<TLabel>(*this, "LHostAddress");
  LPort = Find<TLabel>(*this, "LPort");
  EdPort = Find<TEdit>(*this, "EdPort");
  LBufferSize = Find<TLabel>(*this, "LBufferSize");
  LRemHost = Find<TLabel>(*this, "LRemHost");
  edtHost = Find<TEdit>(*this, "edtHost");
  Label1 = Find<TLabel>(*this, "Label1");
  edtPort = Find<TEdit>(*this, "edtPort");
  ChBxActiv = Find<TCheckBox>(*this, "ChBxActiv");
  iPanel = Find<TPanel>(*this, "iPanel");
  GrBxSet = Find<TGroupBox>(*this, "GrBxSet");
  ComboPortNum = Find<TComboBox>(*this, "ComboPortNum");
  ComboBaudrate = Find<TComboBox>(*this, "ComboBaudrate");
  ChBxDTR = Find<TCheckBox>(*this, "ChBxDTR");
  ChBxRTS = Find<TCheckBox>(*this, "ChBxRTS");
  BtnOpen = Find<TButton>(*this, "BtnOpen");
  BtnClose = Find<TButton>(*this, "BtnClose");
  GrBxCmdLn = Find<TGroupBox>(*this, "GrBxCmdLn");
  EdCmdLn = Find<TEdit>(*this, "EdCmdLn");
  BtTransmit = Find<TButton>(*this, "BtTransmit");
  BtnETX = Find<TButton>(*this, "BtnETX");
  ButtonReset = Find<TButton>(*this, "ButtonReset");
  StatusBar = Find<TStatusBar>(*this, std::string(d.StatusBar));

  MemMess->SetReadOnly(true);
  MemMess->SetWordWrap(true);
  MemMess->SetScrollBars(ssVertical);
  for (const TStatusPanelDesign& p : d.StatusPanels) StatusBar->AddPanel(p.Width, p.Alignment);
  StatusBar->SetPanelText(6, "Com-порт не выбран");

  SysTimer = new TTimer(this);
  SysTimer->SetName("SysTimer");
  SysTimer->SetEnabled(false);
  SysTimer->SetInterval(d.TimerInterval);

  VaComm = new TVaComm(this);
  VaComm->SetName("VaComm");
  VaComm->SetBaudrate(brUser);  // the rate comes from UserBaudrate
  TVaFlowControl flow;
  flow.SetOutCtsFlow(false);
  flow.SetOutDsrFlow(false);
  flow.SetControlDtr(dtrDisabled);
  flow.SetControlRts(rtsDisabled);
  flow.SetXonXoffOut(false);
  flow.SetXonXoffIn(false);
  flow.SetDsrSensitivity(false);
  flow.SetTxContinueOnXoff(false);
  VaComm->SetFlowControl(flow);
  VaComm->SetDeviceName("COM%d");
  VaComm->SetMonitorEvents({ceError, ceRxChar, ceTxEmpty, ceRxFlag});

  UDPServer = new TIdUDPServer(this);
  UDPServer->SetName("UDPServer");
  UDPServer->SetDefaultPort(d.UdpDefaultPort);

  SetActiveControl(Find<TWinControl>(*this, d.ActiveControl));
}

void TBaseform::ConnectHandlers() {
  log_.OnAppend = [this](std::string_view s) { MemMess->AppendText(s); };
  log_.OnClear = [this] { MemMess->ClearText(); };
  // The view reads the pane's own text: no second copy of it.
  MemMess->ShowText(&log_.Store());
  // Closing the pane's find field gives the command line back its focus; a
  // save's progress shows in the last status panel.
  MemMess->OnFindClose = [this](TObject*) { FocusCommandLine(); };
  MemMess->OnSaveProgress = [this](TObject*, const std::string& t) {
    StatusBar->SetPanelText(StatusBar->PanelCount() - 1, t);
  };
  OnClose = [this](TObject* s, TCloseAction& a) { FormClose(s, a); };
  BtSet->OnClick = [this](TObject* s) { BtSetClick(s); };
  ButtonReset->OnClick = [this](TObject* s) { ButtonResetClick(s); };
  ChBxActiv->OnClick = [this](TObject* s) { ChBxActivClick(s); };
  BtnETX->OnClick = [this](TObject* s) { BtnETXClick(s); };
  BtnOpen->OnClick = [this](TObject* s) { BtnOpenClick(s); };
  BtnClose->OnClick = [this](TObject* s) { BtnCloseClick(s); };
  RButDirect->OnClick = [this](TObject* s) { RButDirectClick(s); };
  RButPack->OnClick = [this](TObject* s) { RButPackClick(s); };
  ComboPortNum->OnChange = [this](TObject* s) { ComboPortNumChange(s); };
  ComboBaudrate->OnChange = [this](TObject* s) { ComboBaudrateChange(s); };
  ChBxDTR->OnClick = [this](TObject* s) { ChBxDTRClick(s); };
  ChBxRTS->OnClick = [this](TObject* s) { ChBxRTSClick(s); };
  BtTransmit->OnClick = [this](TObject* s) { BtTransmitClick(s); };
  EdCmdLn->OnKeyPress = [this](TObject* s, char& k) { EdCmdLnKeyPress(s, k); };
  EdCmdLn->OnMoveKey = [this](TObject* s, TMoveKey k) { EdCmdLnMoveKey(s, k); };
  SysTimer->OnTimer = [this](TObject* s) { SysTimerTimer(s); };
  // A pulled device is closed after its one message, as "Стоп" closes it.
  VaComm->SetCloseWhenGone(true);
  VaComm->OnOpen = [this](TObject* s) { VaCommOpen(s); };
  VaComm->OnClose = [this](TObject* s) { VaCommClose(s); };
  VaComm->OnRxChar = [this](TObject* s, std::int32_t n) { VaCommRxChar(s, n); };
  VaComm->OnRxBuf = [this](TObject* s, PVaData d, std::int32_t n) { VaCommRxBuf(s, d, n); };
  VaComm->OnRxFlag = [this](TObject* s) { VaCommRxFlag(s); };
  UDPServer->OnUDPRead = [this](TObject* s, TMemoryStream& data, TIdSocketHandle& binding) {
    UDPServerUDPRead(s, data, binding);
  };
}

void TBaseform::FocusCommandLine() {
  EdCmdLn->SetFocus();
}

void TBaseform::FormCreate(TObject* Sender) {
  SetApplicationOnException([this](TObject* s, const std::exception& e) { AppException(s, e); });
  ComboPortNum->SetItemIndex(ComboPortNum->Items().IndexOf("Порт 1"));
  ComboBaudrate->SetItemIndex(ComboBaudrate->Items().IndexOf("115200"));
  VaComm->SetDatabits(db8);
  VaComm->SetParity(paNone);
  VaComm->SetStopbits(sb1);
  std::memset(RxAccumulator, 0, sizeof RxAccumulator);
  responder_ =
      NewThread<TUserThread>(false, VaComm, [this](const std::string& line) { LogAddLine(line); });
  ResponderThread = responder_.get();
  responder_->SetPriority(tpNormal);
  // A system that gives the name in its single-byte code page (a Cyrillic
  // computer name) gives it in Windows-1251, like every text of the console.
  std::string host = LocalText([this] { return UDPServer->LocalComputerName(); });
  if (!ReadsAsUtf8(host)) host = Cp1251ToUtf8(host);
  LHostName->SetCaption(LHostName->Caption() + host);
  LHostAddress->SetCaption(LHostAddress->Caption() +
                           LocalText([] { return GlobalStack->FirstLocalAddress(); }));
  EdPort->SetText(IntToStr(UDPServer->DefaultPort()));
  LBufferSize->SetCaption(LBufferSize->Caption() + IntToStr(UDPServer->BufferSize()));
}

void TBaseform::FormClose(TObject* Sender, TCloseAction& Action) {
  // The responder ends before the port closes, so no acknowledgement goes to
  // a port that is closing. Its last step runs on this thread, hence the
  // messages are handled while it ends.
  if (ResponderThread) {
    ResponderThread->RequestStop();
    while (ResponderThread->Running || !ResponderThread->Finished()) ProcessMessages();
  }
  // Closing a closed port does nothing; an open one is closed with its
  // threads, and the close pause follows.
  VaComm->Close();
}

void TBaseform::AppException(TObject* Sender, const std::exception& E) {
  // Only the serial component's errors are the operator's business; any
  // other error just ends the action that raised it.
  if (!dynamic_cast<const EVaCommError*>(&E)) return;
  // What reaches this hook is shown. Failures found in the background (the
  // status poll, the responder, the port's own threads) come through the
  // port's ReportFailure, which lets one through per failure episode; one
  // shown here counts for its episode too.
  VaComm->FailureShown();
  ShowMessage(E.what());
  // A device that is gone does not come back on this handle: the port is
  // closed as "Стоп" closes it, so the window no longer claims it active and
  // the re-plugged device can be opened again.
  VaComm->CloseIfGone(E);
}

void TBaseform::BtSetClick(TObject* Sender) {
  GrBxSet->SetVisible(!GrBxSet->Visible());
  FocusCommandLine();
}

void TBaseform::ButtonResetClick(TObject* Sender) {
  LogClear();
  FocusCommandLine();
}

// ---------------------------------------------------------------- serial console

void TBaseform::WritePort(const std::string& Text) {
  if (!VaComm->WriteText(Text)) LogAddLine(WriteErrorLine(VaComm->PortNum()));
}

void TBaseform::SelectBaudrate(std::string_view Text) {
  ComboBaudrate->SetItemIndex(ComboBaudrate->Items().IndexOf(std::string(Text)));
}

void TBaseform::BtnOpenClick(TObject* Sender) {
  try {
    VaComm->Close();
    VaComm->SetPortNum(ComboPortNum->ItemIndex() + 1);
    VaComm->SetUserBaudrate(StrToInt(ComboBaudrate->Text()));
    VaComm->Open();
  } catch (...) {
    // The list moves one port up, so that the next try is another port;
    // without a selection it stays without one.
    const int index = ComboPortNum->ItemIndex();
    if (index >= 0) ComboPortNum->SetItemIndex(index - 1);
    throw;
  }
  FocusCommandLine();
}

void TBaseform::BtnCloseClick(TObject* Sender) {
  VaComm->Close();
  FocusCommandLine();
}

void TBaseform::RButDirectClick(TObject* Sender) {
  RButPack->SetTag(0);
  SelectBaudrate("115200");
  BtnOpenClick(Sender);
  FocusCommandLine();
}

void TBaseform::RButPackClick(TObject* Sender) {
  RButPack->SetTag(1);
  SelectBaudrate("115200");
  BtnOpenClick(Sender);
  FocusCommandLine();
}

void TBaseform::ComboPortNumChange(TObject* Sender) {
  FocusCommandLine();
}

void TBaseform::ComboBaudrateChange(TObject* Sender) {
  FocusCommandLine();
}

void TBaseform::ChBxDTRClick(TObject* Sender) {
  const bool on = ChBxDTR->Checked();
  VaComm->SetDTR(on);
  StatusBar->SetPanelText(0, on ? "DTR" : "");
  FocusCommandLine();
}

void TBaseform::ChBxRTSClick(TObject* Sender) {
  const bool on = ChBxRTS->Checked();
  VaComm->SetRTS(on);
  StatusBar->SetPanelText(2, on ? "RTS" : "");
  FocusCommandLine();
}

void TBaseform::VaCommOpen(TObject* Sender) {
  StatusBar->SetPanelText(6, " Com-порт " + IntToStr(VaComm->PortNum()) + " [активен]");
  // Both lines low, then both high: the device sees a fresh DTR and RTS.
  VaComm->SetDTR(false);
  ChBxDTR->SetChecked(false);
  StatusBar->SetPanelText(0, "");
  VaComm->SetRTS(false);
  ChBxRTS->SetChecked(false);
  StatusBar->SetPanelText(2, "");
  VaComm->SetDTR(true);
  ChBxDTR->SetChecked(true);
  StatusBar->SetPanelText(0, "DTR");
  VaComm->SetRTS(true);
  ChBxRTS->SetChecked(true);
  StatusBar->SetPanelText(2, "RTS");
  SysTimer->SetEnabled(true);
}

void TBaseform::VaCommClose(TObject* Sender) {
  VaComm->SetDTR(false);
  VaComm->SetRTS(false);
  ChBxDTR->SetChecked(false);
  ChBxRTS->SetChecked(false);
  StatusBar->SetPanelText(0, "");
  StatusBar->SetPanelText(2, "");
  StatusBar->SetPanelText(6, " Com-порт не выбран");
  SysTimer->SetEnabled(false);
}

void TBaseform::VaCommRxChar(TObject* Sender, std::int32_t Count) {
  const std::string data = VaComm->ReadText();
  if (RButPack->Tag() == 0) {
    ShowPrintable(std::string_view(data.data(), std::min(data.find('\0'), data.size())));
    return;
  }
  RxQuietTicks = 10;
  // One append for the whole read: the same text as "Rx- " and one append
  // per byte, at a cost that does not grow with the pane.
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string line;
  line.reserve(4 + 3 * data.size());
  line += "Rx- ";
  for (char c : data) {
    const auto b = static_cast<unsigned char>(c);
    line += kHex[b >> 4];
    line += kHex[b & 15];
    line += ' ';
  }
  LogAppend(line);
  if (ChBxTreat->Checked()) StoreReceived(data);
  LogNewLine();
}

void TBaseform::VaCommRxBuf(TObject* Sender, PVaData Data, std::int32_t Count) {
  LogAddLine(" VaCommRxBuf ");
  ShowPrintable(std::string_view(static_cast<const char*>(Data),
                                 static_cast<std::size_t>(std::max<std::int32_t>(Count, 0))));
}

void TBaseform::VaCommRxFlag(TObject* Sender) {}

void TBaseform::SysTimerTimer(TObject* Sender) {
  try {
    StatusBar->SetPanelText(1, VaComm->GetModemState(2) ? "DSR" : "");
    StatusBar->SetPanelText(3, VaComm->GetModemState(1) ? "CTS" : "");
    StatusBar->SetPanelText(4, VaComm->GetModemState(3) ? "RING" : "");
    StatusBar->SetPanelText(5, VaComm->GetModemState(4) ? "DCD" : "");
  } catch (...) {
    // The tick stops at the failing line; a device that keeps failing is
    // reported once, not every 5 ms.
    VaComm->ReportFailure(SysTimer);
    return;
  }
  if (RxQuietTicks > 0) {
    RxQuietTicks = static_cast<std::uint8_t>(RxQuietTicks - 1);
    // A frame left incomplete is given up now: the responder looks again.
    if (RxQuietTicks == 0 && ResponderThread) ResponderThread->WakeUp();
  }
}

void TBaseform::BtTransmitClick(TObject* Sender) {
  history_.Add(EdCmdLn->Text());
  WritePort(Utf8ToCp1251(EdCmdLn->Text()) + "\r\n");
  FocusCommandLine();
}

void TBaseform::EdCmdLnKeyPress(TObject* Sender, char& Key) {
  switch (Key) {
    case '\r':
      history_.Add(EdCmdLn->Text());
      WritePort(Utf8ToCp1251(EdCmdLn->Text()) + "\r\n");
      break;
    case 24:  // Ctrl-X
    case 27:  // Esc
    case '+':
      WritePort(std::string(1, Key));
      break;
    default:
      break;
  }
  FocusCommandLine();
}

void TBaseform::EdCmdLnMoveKey(TObject* Sender, TMoveKey Key) {
  const std::optional<std::string> line =
      Key == mkUp ? history_.Older(EdCmdLn->Text()) : history_.Newer();
  if (line) EdCmdLn->SetText(*line);
}

// ---------------------------------------------------------------- network console

void TBaseform::ChBxActivClick(TObject* Sender) {
  if (!ChBxActiv->Checked()) {
    UDPServer->SetActive(false);
    return;
  }
  try {
    ListenOn(*UDPServer, StrToInt(EdPort->Text()));
  } catch (...) {
    // Ticked means listening: the box goes back (its handler finds the
    // server inactive) before the operator reads why.
    ChBxActiv->SetChecked(false);
    ShowNetworkFailure(std::current_exception());
  }
}

void TBaseform::UDPServerUDPRead(TObject* Sender, TMemoryStream& AData, TIdSocketHandle& ABinding) {
  const std::string data(reinterpret_cast<const char*>(AData.Memory()),
                         static_cast<std::size_t>(AData.Size()));
  edtHost->SetText(ABinding.RemoteIP());
  edtPort->SetText(IntToStr(ABinding.RemotePort()));

  // Shown up to the first zero byte. The stamp goes after every line break
  // of a datagram that mentions SSI anywhere, even past a zero byte.
  const std::string_view shown(data.data(), std::min(data.find('\0'), data.size()));
  const bool stamp = shown.find('\r') != std::string_view::npos && MentionsSsi(data);
  std::size_t start = 0;
  for (std::size_t cr = shown.find('\r'); cr != std::string_view::npos;
       cr = shown.find('\r', start)) {
    ShowPrintable(shown.substr(start, cr - start));
    LogNewLine();
    if (stamp) LogAppend(NowText() + " ");
    start = cr + 1;
  }
  ShowPrintable(shown.substr(start));

  // Every datagram is answered with one LF, to the sender just put in the
  // boxes; except a lone LF, which is itself such an answer: answering it
  // would start an endless exchange with another console, or with ourselves.
  if (data == "\n") return;
  UDPServer->SendText(edtHost->Text(), StrToInt(edtPort->Text()), "\n");
}

void TBaseform::BtnETXClick(TObject* Sender) {
  history_.Add(EdCmdLn->Text());
  try {
    const std::string text = Utf8ToCp1251(EdCmdLn->Text()) + "\r";
    const int port = StrToInt(edtPort->Text());
    const std::string host = edtHost->Text();
    // A send activates an inactive server, on the port in "Порт" as the box
    // would; an active one sends from where it listens.
    if (!UDPServer->Active()) ListenOn(*UDPServer, StrToInt(EdPort->Text()));
    UDPServer->SendText(host, port, text);
  } catch (...) {
    ShowNetworkFailure(std::current_exception());
  }
}
