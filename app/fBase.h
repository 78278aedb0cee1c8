// The console's only window: its controls, the log pane, start-up and close,
// the application-wide exception hook and the handlers behind the controls.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "app/CommandHistory.h"
#include "app/LogPane.h"
#include "controls/Controls.h"
#include "net/IdUDPServer.h"
#include "packet/uThread.h"
#include "serial/VaComm.h"

class TBaseform : public TForm {
 public:
  // Builds the window from its form description and runs FormCreate.
  explicit TBaseform(TComponent* AOwner);
  ~TBaseform() override;

  // Controls, as the form description names them.
  TPanel* vPanel = nullptr;
  TMemo* MemMess = nullptr;
  TPanel* sPanel = nullptr;
  TGroupBox* GrBxInit = nullptr;
  TRadioButton* RButDirect = nullptr;
  TRadioButton* RButPack = nullptr;
  TCheckBox* ChBxTreat = nullptr;
  TButton* BtSet = nullptr;
  TGroupBox* GroupBox1 = nullptr;
  TLabel* LHostName = nullptr;
  TLabel* LHostAddress = nullptr;
  TLabel* LPort = nullptr;
  TEdit* EdPort = nullptr;
  TLabel* LBufferSize = nullptr;
  TLabel* LRemHost = nullptr;
  TEdit* edtHost = nullptr;
  TLabel* Label1 = nullptr;
  TEdit* edtPort = nullptr;
  TCheckBox* ChBxActiv = nullptr;
  TPanel* iPanel = nullptr;
  TGroupBox* GrBxSet = nullptr;
  TComboBox* ComboPortNum = nullptr;
  TComboBox* ComboBaudrate = nullptr;
  TCheckBox* ChBxDTR = nullptr;
  TCheckBox* ChBxRTS = nullptr;
  TButton* BtnOpen = nullptr;
  TButton* BtnClose = nullptr;
  TGroupBox* GrBxCmdLn = nullptr;
  TEdit* EdCmdLn = nullptr;
  TButton* BtTransmit = nullptr;
  TButton* BtnETX = nullptr;
  TButton* ButtonReset = nullptr;
  TStatusBar* StatusBar = nullptr;
  // Non-visual components.
  TTimer* SysTimer = nullptr;
  TVaComm* VaComm = nullptr;
  TIdUDPServer* UDPServer = nullptr;

  // The log pane. Every write to it goes through these.
  std::string LogText() const { return log_.Text(); }
  std::size_t LogSize() const { return log_.Size(); }
  void LogAppend(std::string_view s) { log_.LogAppend(s); }
  void LogAddLine(std::string_view s) { log_.LogAddLine(s); }
  void LogNewLine() { log_.LogNewLine(); }
  void LogClear() { log_.LogClear(); }
  void ShowPrintable(std::string_view bytes) { log_.ShowPrintable(bytes); }

  // Window events and handlers.
  void FormCreate(TObject* Sender);
  void FormClose(TObject* Sender, TCloseAction& Action);
  void AppException(TObject* Sender, const std::exception& E);
  void BtSetClick(TObject* Sender);
  void ButtonResetClick(TObject* Sender);

  // Serial console.
  void BtnOpenClick(TObject* Sender);
  void BtnCloseClick(TObject* Sender);
  void RButDirectClick(TObject* Sender);
  void RButPackClick(TObject* Sender);
  void ComboPortNumChange(TObject* Sender);
  void ComboBaudrateChange(TObject* Sender);
  void ChBxDTRClick(TObject* Sender);
  void ChBxRTSClick(TObject* Sender);
  void VaCommOpen(TObject* Sender);
  void VaCommClose(TObject* Sender);
  void VaCommRxChar(TObject* Sender, std::int32_t Count);
  void VaCommRxBuf(TObject* Sender, PVaData Data, std::int32_t Count);
  void VaCommRxFlag(TObject* Sender);
  void SysTimerTimer(TObject* Sender);
  void BtTransmitClick(TObject* Sender);
  void EdCmdLnKeyPress(TObject* Sender, char& Key);

  // Network console.
  void ChBxActivClick(TObject* Sender);
  void UDPServerUDPRead(TObject* Sender, TMemoryStream& AData, TIdSocketHandle& ABinding);
  void BtnETXClick(TObject* Sender);
  // Up and Down in the command line: the lines sent this run.
  void EdCmdLnMoveKey(TObject* Sender, TMoveKey Key);

 private:
  void ReadDesign();
  void ConnectHandlers();
  // Gives the keyboard focus back to the command line.
  void FocusCommandLine();
  // Writes text to the port; a write the port did not take gets its line.
  void WritePort(const std::string& Text);
  // Selects the item of that text in the rate list.
  void SelectBaudrate(std::string_view Text);

  TLogPane log_;
  TCommandHistory history_;
  std::unique_ptr<TUserThread> responder_;
};
