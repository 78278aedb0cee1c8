// Acts on a running console window from another process, as an operator's
// mouse would: waits for the window, clicks a control found by its caption,
// closes the window. A caption comes as the hexadecimal digits of its UTF-8
// bytes, which no code page on the way can garble.
// Also tells what an executable says of itself: its file version and its
// manifest.
//   t5_operator wait SECONDS | click CAPTION-IN-HEX | close | about EXE
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const wchar_t kCaption[] = L"Конфигуратор TORIN5  ДОРМАКС ";

std::wstring FromHex(const char* hex) {
  std::string utf8;
  for (std::size_t i = 0; hex[i] && hex[i + 1]; i += 2) {
    const char pair[3] = {hex[i], hex[i + 1], 0};
    utf8 += static_cast<char>(std::strtoul(pair, nullptr, 16));
  }
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

struct Search {
  std::wstring caption;
  HWND found = nullptr;
};

BOOL CALLBACK Match(HWND child, LPARAM param) {
  auto* s = reinterpret_cast<Search*>(param);
  wchar_t text[256] = {};
  GetWindowTextW(child, text, 256);
  if (s->caption == text && IsWindowVisible(child)) {
    s->found = child;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string verb = argv[1];
  if (verb == "wait") {
    const DWORD limit = GetTickCount() + 1000u * static_cast<DWORD>(argc > 2 ? atoi(argv[2]) : 30);
    while (!FindWindowW(nullptr, kCaption)) {
      if (static_cast<int>(GetTickCount() - limit) > 0) {
        std::fprintf(stderr, "no console window\n");
        return 1;
      }
      Sleep(100);
    }
    return 0;
  }
  if (verb == "about" && argc > 2) {
    const std::string path = argv[2];
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    std::vector<char> block(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoA(path.c_str(), 0, size, block.data()) ||
        !VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&info), &length)) {
      std::fprintf(stderr, "no version record\n");
      return 1;
    }
    std::printf("version %u.%u.%u.%u\n", HIWORD(info->dwFileVersionMS),
                LOWORD(info->dwFileVersionMS), HIWORD(info->dwFileVersionLS),
                LOWORD(info->dwFileVersionLS));
    HMODULE exe = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC found = exe ? FindResourceA(exe, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)) : nullptr;
    if (!found) {
      std::fprintf(stderr, "no manifest\n");
      return 1;
    }
    const char* text = static_cast<const char*>(LockResource(LoadResource(exe, found)));
    std::fwrite(text, 1, SizeofResource(exe, found), stdout);
    return 0;
  }
  if (verb == "close") {
    const HWND form = FindWindowW(nullptr, kCaption);
    if (!form) {
      std::fprintf(stderr, "no console window\n");
      return 1;
    }
    PostMessageW(form, WM_CLOSE, 0, 0);
    return 0;
  }
  if (verb == "click" && argc > 2) {
    // The window may be there before its controls are shown: look again for
    // up to 20 s.
    const DWORD limit = GetTickCount() + 20000;
    Search s{FromHex(argv[2])};
    for (;;) {
      const HWND form = FindWindowW(nullptr, kCaption);
      if (form && IsWindowVisible(form))
        EnumChildWindows(form, Match, reinterpret_cast<LPARAM>(&s));
      if (s.found) break;
      if (static_cast<int>(GetTickCount() - limit) > 0) {
        std::fprintf(stderr, "no control \"%s\"\n", argv[2]);
        return 1;
      }
      Sleep(50);
    }
    SendMessageW(s.found, BM_CLICK, 0, 0);
    return 0;
  }
  return 2;
}
