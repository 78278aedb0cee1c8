// Plain value types shared by the controls and the window systems.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class TObject;

enum TAlign { alNone, alTop, alBottom, alLeft, alRight, alClient };
enum TAlignment { taLeftJustify, taRightJustify, taCenter };
enum TCloseAction { caNone, caHide, caFree, caMinimize };
enum TPosition { poDesigned, poScreenCenter, poDesktopCenter };
enum TScrollStyle { ssNone, ssHorizontal, ssVertical, ssBoth };

struct TFont {
  std::string Name = "MS Sans Serif";
  int Size = 8;  // points
  bool Bold = false;
  bool Cyrillic = false;  // character set; every toolkit here is Unicode, kept for the record
  bool operator==(const TFont&) const = default;
};

// 0xRRGGBB, or one of the system colours below (high byte 0xFF), which the
// window system takes from its palette.
using TColor = std::uint32_t;
inline constexpr TColor clSystemColor = 0xFF000000u;
inline constexpr TColor clWindow = 0xFF000005u;
inline constexpr TColor clWindowText = 0xFF000008u;
inline constexpr TColor clHighlight = 0xFF00000Du;
inline constexpr TColor clHighlightText = 0xFF00000Eu;
inline constexpr TColor clBtnFace = 0xFF00000Fu;
inline constexpr TColor clBlack = 0x000000u;
inline constexpr TColor clWhite = 0xFFFFFFu;
inline constexpr TColor clCream = 0xFFFBF0u;
inline bool IsSystemColor(TColor c) {
  return (c & 0xFF000000u) == clSystemColor;
}

// The colours of text and of selected text on a background. A system
// background goes with the system's text colours; a fixed one with fixed
// colours that read on it, whatever the desktop's palette.
struct TTextColors {
  TColor Text, Highlight, HighlightText;
};
inline TTextColors TextColorsOn(TColor Background) {
  if (IsSystemColor(Background)) return {clWindowText, clHighlight, clHighlightText};
  const unsigned r = (Background >> 16) & 0xFF, g = (Background >> 8) & 0xFF, b = Background & 0xFF;
  const bool light = 299 * r + 587 * g + 114 * b >= 128000;
  if (light) return {clBlack, 0x000080u, clWhite};  // navy selection
  return {clWhite, 0xA6CAF0u, clBlack};             // light blue selection
}

struct TSize {
  int Width = 0;
  int Height = 0;
  bool operator==(const TSize&) const = default;
};

struct TRect {
  int Left = 0;
  int Top = 0;
  int Right = 0;
  int Bottom = 0;
  int Width() const { return Right - Left; }
  int Height() const { return Bottom - Top; }
  bool operator==(const TRect&) const = default;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;
// Key set to 0 swallows the key.
using TKeyPressEvent = std::function<void(TObject* Sender, char& Key)>;
// The keys that move rather than type: Up and Down in a one-line edit.
enum TMoveKey { mkUp, mkDown };
using TMoveKeyEvent = std::function<void(TObject* Sender, TMoveKey Key)>;
using TCloseEvent = std::function<void(TObject* Sender, TCloseAction& Action)>;

// Pixel height of a line of text in the given font at 96 dots per inch; the
// toolkit-neutral layout uses it where a control's client area depends on
// its font (a group box's caption).
int FontLineHeight(const TFont& Font);
// A toolkit-free estimate of the space a text takes (UTF-8), used when no
// window system can measure it.
TSize EstimateTextExtent(const TFont& Font, const std::string& Text);
