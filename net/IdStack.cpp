#include "net/IdStack.h"

#include <algorithm>
#include <cstring>
#include <mutex>

TIdStack* GlobalStack = nullptr;
TIdStackClass StackClass = &NewPlatformStack;

namespace {

int g_live_component_count = 0;  // guarded by StackLock

struct SocketErrorEntry {
  int code;
  const char* text;
};

// Messages of the socket errors, by WinSock number.
constexpr SocketErrorEntry kSocketErrorTexts[] = {
    {10004, "Системный вызов прерван."},
    {10009, "Дефект номера файла"},
    {10013, "Доступ разрешен"},
    {10014, "Дефект адреса"},
    {10022, "Недействительным аргумент."},
    {10024, "Слишком много открытых файлов."},
    {10035, "Операция будет блокирована."},
    {10036, "Операция выполняется в данный момент."},
    {10037, "Операция все еще выполняется"},
    {10038, "Socket operation on non-socket."},
    {10039, "Требуеться адрес назначения"},
    {10040, "Сообщение слишком длинное"},
    {10041, "Данный тип протокола не поддерживается сокет"},
    {10042, "Ошибка опций протокола"},
    {10043, "Протокол не поддерживается"},
    {10044, "Тип Сокета не поддерживается."},
    {10045, "Операция не поддерживается сокет."},
    {10046, "Протокол не поддерживается"},
    {10047, "Адрес не поддерживается протоколом "},
    {10048, "Адрес все еще занят"},
    {10049, "Назначить адрес невозможно"},
    {10050, "Сеть отключилась"},
    {10051, "Сеть недоступна"},
    {10052, "Интернет отсутствует или перезапущен"},
    {10053, "Соединение прервано программой"},
    {10054, "Соединение с пиром перезапущено"},
    {10055, "Буфер переполнен"},
    {10056, "Удаленное подключение активно"},
    {10057, "Удаленное подключение не активно"},
    {10058, "Нельзя отправлять и получать данные после закрытия подключения"},
    {10059, "Маршрут не определен."},
    {10060, "Время соединения истекло"},
    {10061, "Соединение отклонено"},
    {10062, "Слишком много уровней символических ссылок"},
    {10063, "Ошибка в длине имени"},
    {10064, "Хост сервер отключен"},
    {10065, "Нет маршрута к хост серверу"},
    {10066, "Каталог заполнен"},
};

bool EqualsIgnoringCase(const std::string& a, const char* b) {
  const std::size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    char c = a[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != b[i]) return false;
  }
  return true;
}

}  // namespace

EIdWS2StubError::EIdWS2StubError(std::string heading, int systemCode)
    : EIdException(heading), heading_(std::move(heading)), system_code_(systemCode) {
  if (system_code_ != 0) {
    system_text_ = SysErrorMessage(system_code_);
    SetMessage(heading_ + ": " + system_text_);
  }
}

std::string CutToken(std::string& Text, const std::string& Delimiter) {
  const std::size_t at = Text.find(Delimiter);
  if (at == std::string::npos) {
    std::string all;
    all.swap(Text);
    return all;
  }
  std::string token = Text.substr(0, at);
  Text.erase(0, at + Delimiter.size());
  return token;
}

// ---------------------------------------------------------------- TIdStack

TIdStack* TIdStack::MakeStack() {
  return StackClass();
}

std::string TIdStack::FirstLocalAddress() {
  return LocalAddresses().Strings(0);
}

TStringList& TIdStack::LocalAddressList() {
  if (!local_address_list_) local_address_list_ = std::make_unique<TStringList>();
  return *local_address_list_;
}

TStringList& TIdStack::LocalAddresses() {
  LocalAddressList();
  FillLocalAddresses();
  return *local_address_list_;
}

std::string TIdStack::SocketErrorText(int code) {
  const char* text = "";
  for (const SocketErrorEntry& e : kSocketErrorTexts) {
    if (e.code == code) {
      text = e.text;
      break;
    }
  }
  return FormatSocketError(code, text);
}

std::string TIdStack::FormatSocketError(int code, const std::string& text) {
  return Format("Ошибка сокета # %d\r\n%s", code, text.c_str());
}

std::string TIdStack::AddressToText(TIdIn4Addr address) {
  std::uint8_t b[4];
  std::memcpy(b, &address, 4);
  return Format("%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

void TIdStack::TextToAddress(const std::string& text, TIdIn4Addr& address) {
  std::string rest = text;
  std::uint8_t b[4];
  for (int i = 0; i < 4; ++i) {
    // The last part is whatever remains, dots included, so "1.2.3.4.5" fails.
    const std::string part = i < 3 ? CutToken(rest, ".") : rest;
    b[i] = static_cast<std::uint8_t>(StrToInt(part) & 0xFF);
  }
  std::memcpy(&address, b, 4);
}

bool TIdStack::CheckSocketResult(int result, std::initializer_list<int> tolerated) {
  if (result != Id_SOCKET_ERROR) return false;
  const int code = LastPlatformError();
  last_socket_error_.store(code);
  if (std::find(tolerated.begin(), tolerated.end(), code) != tolerated.end()) return true;
  RaiseSocketErrorCode(code);
}

void TIdStack::RaiseSocketErrorCode(int code) {
  throw EIdSocketError(code, SocketErrorText(code));
}

TIdStackSocketHandle TIdStack::NewSocket(int type, int protocol) {
  const TIdStackSocketHandle s = OpenSocket(Id_PF_INET, type, protocol);
  if (s == Id_INVALID_SOCKET) throw EIdInvalidSocket();
  return s;
}

std::string TIdStack::ResolveToAddress(const std::string& host) {
  if (EqualsIgnoringCase(host, "LOCALHOST")) return "127.0.0.1";
  if (IsDottedQuad(host)) return host;
  return LookupHost(host);
}

bool TIdStack::IsDottedQuad(const std::string& text) {
  std::string rest = text;
  for (int i = 0; i < 4; ++i) {
    const std::string part = i < 3 ? CutToken(rest, ".") : rest;
    int value = 0;
    if (!TryStrToInt(part, value) || value < 0 || value > 255) return false;
  }
  return true;
}

TIdIn4Addr TIdStack::ParseAddress(const std::string& text) {
  TIdIn4Addr address = 0;
  TextToAddress(text, address);
  return address;
}

// ---------------------------------------------------------------- lifetime

TCriticalSection& StackLock() {
  static TCriticalSection lock;
  return lock;
}

int LiveComponentCount() {
  std::lock_guard<TCriticalSection> guard(StackLock());
  return g_live_component_count;
}

void IdComponentCreated() {
  std::lock_guard<TCriticalSection> guard(StackLock());
  if (g_live_component_count == 0) {
    // Counted only once the stack exists, so a failed creation leaves no trace.
    GlobalStack = TIdStack::MakeStack();
  }
  ++g_live_component_count;
}

void IdComponentDestroyed() {
  std::lock_guard<TCriticalSection> guard(StackLock());
  if (g_live_component_count <= 0) return;
  if (--g_live_component_count == 0) {
    delete GlobalStack;
    GlobalStack = nullptr;
  }
}
