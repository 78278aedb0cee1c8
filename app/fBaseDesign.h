// The main window's form description: every control with its parent, bounds,
// caption, font and design values, read when the window is created.
#pragma once

#include <span>
#include <string_view>

#include "controls/ControlTypes.h"

enum class TDesignKind {
  Panel,
  GroupBox,
  Label,
  Edit,
  Memo,
  ComboBox,
  CheckBox,
  RadioButton,
  Button,
  StatusBar
};

struct TControlDesign {
  std::string_view Name{};
  TDesignKind Kind = TDesignKind::Panel;
  std::string_view Parent{};  // empty: the form
  int Left = 0, Top = 0, Width = 0, Height = 0;
  TAlign Align = alNone;
  std::string_view Caption{};   // caption, or an edit's text (UTF-8)
  const TFont* Font = nullptr;  // nullptr: the parent's
  bool Visible = true;
  bool TabStop = true;
  int BorderWidth = 0;
  TColor Color = clBtnFace;
  std::span<const std::string_view> Items{};  // drop-down lists
};

struct TStatusPanelDesign {
  int Width;
  TAlignment Alignment;
};

struct TFormDesign {
  std::string_view Caption;
  std::string_view Hint;
  int Width, Height;  // outer size, frame included
  int BorderWidth;
  TFont Font;
  TColor Color;
  std::string_view ActiveControl;
  std::span<const TControlDesign> Controls;
  std::string_view StatusBar;
  std::span<const TStatusPanelDesign> StatusPanels;
  int TimerInterval;   // SysTimer, disabled at start
  int UdpDefaultPort;  // UDPServer, inactive at start
};

const TFormDesign& BaseformDesign();
