#include <windows.h>

#include <string>

#include "controls/LogFile.h"

namespace {

std::wstring Wide(const std::string& Utf8) {
  if (Utf8.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, Utf8.data(), static_cast<int>(Utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, Utf8.data(), static_cast<int>(Utf8.size()), out.data(), n);
  return out;
}

std::string Utf8(const wchar_t* Text, int Size) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, Text, Size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, Text, Size, out.data(), n, nullptr, nullptr);
  return out;
}

HANDLE H(long long Handle) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(Handle));
}

}  // namespace

TLogFile::~TLogFile() {
  if (handle_ != -1) CloseHandle(H(handle_));
}

void TLogFile::Failed(long Code) {
  switch (Code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_DRIVE:
      fault_ = TFault::NoPath;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_SHARING_VIOLATION:
      fault_ = TFault::NoAccess;
      break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      fault_ = TFault::DiskFull;
      break;
    default:
      fault_ = TFault::Other;
  }
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(Code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  DWORD len = n;
  while (len > 0 && (text[len - 1] == L'\r' || text[len - 1] == L'\n' || text[len - 1] == L' '))
    --len;
  system_text_ = text ? Utf8(text, static_cast<int>(len)) : "error " + std::to_string(Code);
  if (text) LocalFree(text);
}

bool TLogFile::Create(const std::string& Path) {
  path_ = Path;
  const HANDLE h = CreateFileW(Wide(Path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    Failed(static_cast<long>(GetLastError()));
    return false;
  }
  handle_ = static_cast<long long>(reinterpret_cast<intptr_t>(h));
  created_ = true;
  plain_ = GetFileType(h) == FILE_TYPE_DISK;
  return true;
}

bool TLogFile::Write(const char* Data, std::size_t Size) {
  while (Size > 0) {
    const DWORD piece = Size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(Size);
    DWORD done = 0;
    if (!WriteFile(H(handle_), Data, piece, &done, nullptr)) {
      Failed(static_cast<long>(GetLastError()));
      return false;
    }
    Data += done;
    Size -= done;
  }
  return true;
}

bool TLogFile::Close() {
  if (handle_ == -1) return true;
  const HANDLE h = H(handle_);
  handle_ = -1;
  if (!CloseHandle(h)) {
    Failed(static_cast<long>(GetLastError()));
    return false;
  }
  return true;
}

void TLogFile::Remove() {
  if (handle_ != -1) {
    CloseHandle(H(handle_));
    handle_ = -1;
  }
  if (created_ && plain_) DeleteFileW(Wide(path_).c_str());
  created_ = false;
}
