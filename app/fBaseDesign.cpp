#include "app/fBaseDesign.h"

#include <array>

namespace {

using K = TDesignKind;

const TFont kArial8Bold{"Arial", 8, true, true};
const TFont kArial9Bold{"Arial", 9, true, true};
const TFont kSansSerif6{"MS Sans Serif", 6, false, false};
const TFont kFixedsys{"Fixedsys", 9, false, false};

constexpr std::array<std::string_view, 16> kPorts = {
    "Порт 1",  "Порт 2",  "Порт 3",  "Порт 4",  "Порт 5",  "Порт 6",  "Порт 7",  "Порт 8",
    "Порт 9",  "Порт 10", "Порт 11", "Порт 12", "Порт 13", "Порт 14", "Порт 15", "Порт 16"};

// "256000" stands before "230400", as the operators know the list.
constexpr std::array<std::string_view, 19> kRates = {
    "110",   "300",   "600",   "1200",   "2400",   "4800",   "9600",   "14400",  "19200", "28800",
    "38400", "56000", "57600", "115200", "128000", "256000", "230400", "460800", "921600"};

const std::array<TControlDesign, 33> kControls = {{
    // The log pane fills the upper left.
    {.Name = "vPanel", .Kind = K::Panel, .Align = alClient, .BorderWidth = 5},
    {.Name = "MemMess",
     .Kind = K::Memo,
     .Parent = "vPanel",
     .Align = alClient,
     .Font = &kArial8Bold,
     .TabStop = false,
     .Color = clCream},
    // Right column.
    {.Name = "sPanel", .Kind = K::Panel, .Width = 238, .Align = alRight, .BorderWidth = 5},
    {.Name = "GrBxInit",
     .Kind = K::GroupBox,
     .Parent = "sPanel",
     .Left = 5,
     .Top = 5,
     .Height = 57,
     .Align = alTop,
     .Caption = "Инициализация COM порта"},
    {.Name = "RButDirect", .Kind = K::RadioButton, .Parent = "GrBxInit",
     .Left = 6, .Top = 15, .Width = 86, .Height = 17, .Caption = "Текстовый"},
    {.Name = "RButPack", .Kind = K::RadioButton, .Parent = "GrBxInit",
     .Left = 6, .Top = 37, .Width = 80, .Height = 17, .Caption = "Пакетный"},
    {.Name = "ChBxTreat", .Kind = K::CheckBox, .Parent = "GrBxInit",
     .Left = 95, .Top = 37, .Width = 50, .Height = 16, .Caption = "Treat"},
    {.Name = "BtSet", .Kind = K::Button, .Parent = "GrBxInit",
     .Left = 164, .Top = 30, .Width = 60, .Height = 24, .Caption = "Настройки"},
    {.Name = "GroupBox1",
     .Kind = K::GroupBox,
     .Parent = "sPanel",
     .Left = 5,
     .Top = 62,
     .Height = 250,
     .Align = alTop,
     .Caption = "Инициализация сети"},
    {.Name = "LHostName", .Kind = K::Label, .Parent = "GroupBox1",
     .Left = 18, .Top = 21, .Caption = "Имя ПК:"},
    {.Name = "LHostAddress", .Kind = K::Label, .Parent = "GroupBox1",
     .Left = 18, .Top = 37, .Caption = "Мой IP:"},
    {.Name = "LPort", .Kind = K::Label, .Parent = "GroupBox1",
     .Left = 18, .Top = 53, .Caption = "Порт:"},
    {.Name = "EdPort", .Kind = K::Edit, .Parent = "GroupBox1",
     .Left = 123, .Top = 52, .Width = 37, .Height = 17, .Font = &kSansSerif6},
    {.Name = "LBufferSize", .Kind = K::Label, .Parent = "GroupBox1",
     .Left = 18, .Top = 69, .Caption = "Объем буфера:  "},
    {.Name = "LRemHost", .Kind = K::Label, .Parent = "GroupBox1",
     .Left = 18, .Top = 86, .Caption = "Удаленный IP: "},
    {.Name = "edtHost", .Kind = K::Edit, .Parent = "GroupBox1", .Left = 123, .Top = 86,
     .Width = 87, .Height = 17, .Caption = "192.168.0.150", .Font = &kSansSerif6},
    {.Name = "Label1", .Kind = K::Label, .Parent = "GroupBox1",
     .Left = 18, .Top = 106, .Caption = "Удаленный порт: "},
    {.Name = "edtPort", .Kind = K::Edit, .Parent = "GroupBox1", .Left = 123, .Top = 105,
     .Width = 37, .Height = 17, .Caption = "10501", .Font = &kSansSerif6},
    {.Name = "ChBxActiv", .Kind = K::CheckBox, .Parent = "GroupBox1",
     .Left = 18, .Top = 125, .Width = 75, .Height = 13, .Caption = "Активация"},
    // Bottom strip.
    {.Name = "iPanel", .Kind = K::Panel, .Height = 100, .Align = alBottom},
    {.Name = "GrBxSet", .Kind = K::GroupBox, .Parent = "iPanel", .Left = 0, .Top = 0,
     .Width = 209, .Height = 71, .Caption = "Настройка порта", .Visible = false},
    {.Name = "ComboPortNum", .Kind = K::ComboBox, .Parent = "GrBxSet", .Left = 6, .Top = 16,
     .Width = 90, .Height = 21, .Font = &kFixedsys, .Items = kPorts},
    {.Name = "ComboBaudrate", .Kind = K::ComboBox, .Parent = "GrBxSet", .Left = 6, .Top = 42,
     .Width = 90, .Height = 21, .Font = &kFixedsys, .Items = kRates},
    {.Name = "ChBxDTR", .Kind = K::CheckBox, .Parent = "GrBxSet",
     .Left = 99, .Top = 24, .Width = 46, .Height = 16, .Caption = "DTR"},
    {.Name = "ChBxRTS", .Kind = K::CheckBox, .Parent = "GrBxSet",
     .Left = 146, .Top = 24, .Width = 46, .Height = 16, .Caption = "RTS"},
    {.Name = "BtnOpen", .Kind = K::Button, .Parent = "GrBxSet",
     .Left = 100, .Top = 43, .Width = 48, .Height = 28, .Caption = "Старт"},
    {.Name = "BtnClose", .Kind = K::Button, .Parent = "GrBxSet",
     .Left = 152, .Top = 43, .Width = 48, .Height = 28, .Caption = "Стоп"},
    {.Name = "GrBxCmdLn", .Kind = K::GroupBox, .Parent = "iPanel", .Left = 214, .Top = 28,
     .Width = 415, .Height = 43, .Caption = "Командная строка:"},
    {.Name = "EdCmdLn", .Kind = K::Edit, .Parent = "GrBxCmdLn", .Left = 5, .Top = 14,
     .Width = 296, .Height = 23, .Font = &kArial9Bold},
    {.Name = "BtTransmit", .Kind = K::Button, .Parent = "GrBxCmdLn",
     .Left = 306, .Top = 15, .Width = 50, .Height = 22, .Caption = "COM"},
    {.Name = "BtnETX", .Kind = K::Button, .Parent = "GrBxCmdLn",
     .Left = 360, .Top = 15, .Width = 50, .Height = 22, .Caption = "Сеть"},
    {.Name = "ButtonReset", .Kind = K::Button, .Parent = "iPanel",
     .Left = 220, .Top = 2, .Width = 90, .Height = 18, .Caption = "Очистить"},
    {.Name = "StatusBar", .Kind = K::StatusBar, .Parent = "iPanel", .Height = 26,
     .Align = alBottom},
}};

const std::array<TStatusPanelDesign, 9> kStatusPanels = {{
    {50, taCenter},       // DTR
    {50, taCenter},       // DSR
    {50, taCenter},       // RTS
    {50, taCenter},       // CTS
    {50, taLeftJustify},  // RING
    {50, taLeftJustify},  // DCD
    {150, taLeftJustify}, // port state
    {150, taLeftJustify},
    {50, taLeftJustify},
}};

const TFormDesign kBaseform{
    .Caption = "Конфигуратор TORIN5  ДОРМАКС ",
    .Hint = "KESTREL 410",
    .Width = 644,
    .Height = 453,
    .BorderWidth = 3,
    .Font = TFont{"MS Sans Serif", 8, false, false},
    .Color = clBtnFace,
    .ActiveControl = "BtnETX",
    .Controls = kControls,
    .StatusBar = "StatusBar",
    .StatusPanels = kStatusPanels,
    .TimerInterval = 5,
    .UdpDefaultPort = 50000,
};

}  // namespace

const TFormDesign& BaseformDesign() { return kBaseform; }
