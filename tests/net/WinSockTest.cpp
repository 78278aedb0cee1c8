// Cases that only Windows has: the socket library loaded at run time, its
// start-up and cleanup, the loader's failures, and the server end to end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "net/IdComponent.h"
#include "net/IdUDPServer.h"
#include "tests/net/NetTestSupport.h"

// After the stack: the loader's header brings the system headers.
#include "net/IdWinSock2.h"

using nettest::Clock;
using nettest::PumpUntil;
using nettest::UdpPeer;

namespace {

// Set in the child process that runs the fresh-process case.
constexpr const char* kFreshProcessVariable = "T5_NET_FRESH_PROCESS";
// The child's exit status when every check passed.
constexpr DWORD kFreshProcessPassed = 42;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The DLL names in the running program's import table.
std::vector<std::string> ImportedLibraries() {
  const auto* base = reinterpret_cast<const unsigned char*>(::GetModuleHandleA(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  std::vector<std::string> names;
  if (dir.VirtualAddress == 0) return names;
  for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
       d->Name != 0; ++d) {
    names.push_back(Lower(reinterpret_cast<const char*>(base + d->Name)));
  }
  return names;
}

// Runs one case of this program in a new process and returns its exit status.
DWORD RunInChildProcess(const std::string& filter) {
  char path[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, path, sizeof path);
  std::string command = std::string("\"") + path + "\" --gtest_filter=" + filter;
  ::SetEnvironmentVariableA(kFreshProcessVariable, "1");
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const BOOL started = ::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0,
                                        nullptr, nullptr, &startup, &process);
  ::SetEnvironmentVariableA(kFreshProcessVariable, nullptr);
  if (!started) return static_cast<DWORD>(-1);
  DWORD status = static_cast<DWORD>(-1);
  if (::WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
    ::GetExitCodeProcess(process.hProcess, &status);
  } else {
    ::TerminateProcess(process.hProcess, status);
  }
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return status;
}

// The loader's error as raised by call, or a heading naming what went wrong.
EIdWS2StubError CaughtStubError(const std::function<void()>& call) {
  try {
    call();
  } catch (const EIdWS2StubError& e) {
    return e;
  }
  return EIdWS2StubError("no loader error was raised", 0);
}

}  // namespace

TEST(WinSockTest, ProgramImportsNoSocketLibrary) {
  const std::vector<std::string> names = ImportedLibraries();
  // The table was really read.
  EXPECT_NE(std::find(names.begin(), names.end(), "kernel32.dll"), names.end());
  EXPECT_EQ(std::find(names.begin(), names.end(), "ws2_32.dll"), names.end());
}

TEST(WinSockTest, LibraryLifecycleInAFreshProcess) {
  EXPECT_EQ(RunInChildProcess("WinSockFreshProcess.LoadedOnFirstStackStartedOnceReleasedAtEnd"),
            kFreshProcessPassed);
}

// Runs only in the child that LibraryLifecycleInAFreshProcess starts: the
// library must not have been touched by any other case.
TEST(WinSockFreshProcess, LoadedOnFirstStackStartedOnceReleasedAtEnd) {
  if (std::getenv(kFreshProcessVariable) == nullptr) GTEST_SKIP() << "runs in a child process";

  ASSERT_EQ(::GetModuleHandleA(IdWinsockLibrary), nullptr);
  ASSERT_FALSE(SocketLibraryStarted());
  // A socket call before the library is there names its function.
  EIdWS2StubError early = CaughtStubError([] { IdSocket(AF_INET, SOCK_DGRAM, 0); });
  ASSERT_EQ(early.Heading(), "Error on call Winsock2 library function socket");
  ASSERT_EQ(early.SystemCode(), WSANOTINITIALISED);
  ASSERT_EQ(std::string(early.what()), early.Heading() + ": " + SysErrorMessage(WSANOTINITIALISED));

  HMODULE loaded = nullptr;
  {
    TIdComponent first(nullptr);
    loaded = ::GetModuleHandleA(IdWinsockLibrary);
    ASSERT_NE(loaded, nullptr);
    ASSERT_EQ(SocketLibraryHandle(), loaded);
    ASSERT_EQ(SocketLibraryStartCount(), 1);
    const int s = GlobalStack->NewSocket(Id_SOCK_DGRAM, 0);
    ASSERT_EQ(GlobalStack->CloseSocketHandle(s), 0);
  }
  ASSERT_EQ(GlobalStack, nullptr);
  {
    TIdComponent again(nullptr);
    ASSERT_EQ(SocketLibraryStartCount(), 1);
    ASSERT_EQ(SocketLibraryHandle(), loaded);
  }

  // Holding a reference of our own shows what the end of the process does
  // to the library: its start-up is undone and our reference is the last.
  const HMODULE own = ::LoadLibraryA(IdWinsockLibrary);
  ASSERT_EQ(own, loaded);
  FinishSocketLibrary();
  ASSERT_EQ(SocketLibraryHandle(), nullptr);
  using SocketFn = SOCKET(WSAAPI*)(int, int, int);
  using LastErrorFn = int(WSAAPI*)();
  const auto ownSocket =
      reinterpret_cast<SocketFn>(reinterpret_cast<void (*)()>(::GetProcAddress(own, "socket")));
  const auto ownLastError = reinterpret_cast<LastErrorFn>(
      reinterpret_cast<void (*)()>(::GetProcAddress(own, "WSAGetLastError")));
  ASSERT_EQ(ownSocket(AF_INET, SOCK_DGRAM, 0), INVALID_SOCKET);
  ASSERT_EQ(ownLastError(), WSANOTINITIALISED);
  // The entries point at their placeholders again.
  ASSERT_EQ(CaughtStubError([] { IdSocket(AF_INET, SOCK_DGRAM, 0); }).Heading(),
            "Error on call Winsock2 library function socket");
  ::FreeLibrary(own);
  ASSERT_EQ(::GetModuleHandleA(IdWinsockLibrary), nullptr);

  struct LoaderFailure {
    const char* library;
    std::string heading;
    int systemCode;
  };
  const LoaderFailure failures[] = {
      {"T5_NO_SUCH_LIBRARY.DLL", "Error on loading Winsock2 library (T5_NO_SUCH_LIBRARY.DLL)",
       ERROR_MOD_NOT_FOUND},
      // A library without the start-up function.
      {"KERNEL32.DLL", "Error on call Winsock2 library function WSAStartup", ERROR_PROC_NOT_FOUND},
  };
  for (const LoaderFailure& f : failures) {
    WSADATA data;
    const EIdWS2StubError e =
        CaughtStubError([&] { StartSocketLibraryFrom(f.library, MAKEWORD(2, 2), &data); });
    ASSERT_EQ(e.Heading(), f.heading) << f.library;
    ASSERT_EQ(e.SystemCode(), f.systemCode) << f.library;
    ASSERT_EQ(std::string(e.what()), f.heading + ": " + SysErrorMessage(f.systemCode));
    UnloadSocketLibrary();
  }
  std::fflush(stdout);
  std::exit(static_cast<int>(kFreshProcessPassed));
}

TEST(WinSockServerTest, EveryDatagramIsAnsweredWithOneLineFeed) {
  const int port = nettest::FreePort();
  ASSERT_NE(port, 0);
  TIdUDPServer server(nullptr);
  server.SetDefaultPort(port);
  std::vector<std::string> got;
  server.OnUDPRead = [&](TObject*, TMemoryStream& AData, TIdSocketHandle& ABinding) {
    std::string data(static_cast<std::size_t>(AData.Size()), '\0');
    AData.Read(data.data(), AData.Size());
    got.push_back(data);
    server.SendText(ABinding.RemoteIP(), ABinding.RemotePort(), "\n");
  };
  server.SetActive(true);

  UdpPeer peer;
  ASSERT_TRUE(peer.ok());
  constexpr int kDatagrams = 200;
  std::vector<long long> roundTripsUs;
  for (int i = 0; i < kDatagrams; ++i) {
    const std::string sent = "SSI " + std::to_string(i) + "\r";
    const auto start = Clock::now();
    ASSERT_TRUE(peer.SendTo(port, sent));
    std::optional<nettest::Datagram> answer;
    ASSERT_TRUE(PumpUntil([&] { return (answer = peer.Receive(0)).has_value(); })) << i;
    roundTripsUs.push_back(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
    ASSERT_EQ(answer->data, "\n") << i;
    ASSERT_EQ(answer->port, port) << "the answer leaves from the server's port";
    ASSERT_EQ(got.size(), static_cast<std::size_t>(i) + 1);
    ASSERT_EQ(got.back(), sent);
  }
  server.SetActive(false);
  std::sort(roundTripsUs.begin(), roundTripsUs.end());
  std::printf("round trip over %d datagrams: median %lld us, 90%% %lld us, max %lld us\n",
              kDatagrams, roundTripsUs[kDatagrams / 2], roundTripsUs[kDatagrams * 9 / 10],
              roundTripsUs.back());
}

namespace {

// What the fake computer-name source answers.
const wchar_t* g_fakeComputerName = nullptr;

BOOL WINAPI FakeComputerName(COMPUTER_NAME_FORMAT, LPWSTR buffer, LPDWORD size) {
  if (g_fakeComputerName == nullptr) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  const DWORD length = static_cast<DWORD>(std::wcslen(g_fakeComputerName));
  if (*size <= length) {
    *size = length + 1;
    ::SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  std::wcscpy(buffer, g_fakeComputerName);
  *size = length;
  return TRUE;
}

}  // namespace

// The computer's name reaches the window as UTF-8 whatever the system's code
// page, and its addresses are found whatever the name is.
TEST(WinSockTest, ComputerNameIsUtf8AndItsAddressesAreFoundWhateverItIs) {
  TIdComponent component(nullptr);
  char ansi[256] = {};
  ASSERT_EQ(IdGetHostName(ansi, sizeof ansi), 0);
  struct Case {
    const wchar_t* system;  // null: the system will not tell
    std::string shown;
  };
  const Case cases[] = {
      {L"FIELD-PC", "FIELD-PC"},
      // A Russian Windows's default name, "ПК-ИВАНОВ".
      {L"\x041F\x041A-\x0418\x0412\x0410\x041D\x041E\x0412",
       "\xD0\x9F\xD0\x9A-\xD0\x98\xD0\x92\xD0\x90\xD0\x9D\xD0\x9E\xD0\x92"},
      {nullptr, ansi},
  };
  const auto original = IdGetComputerNameExW;
  IdGetComputerNameExW = &FakeComputerName;
  for (const Case& c : cases) {
    g_fakeComputerName = c.system;
    EXPECT_EQ(component.LocalComputerName(), c.shown);
    std::string address;
    EXPECT_NO_THROW(address = GlobalStack->FirstLocalAddress()) << c.shown;
    EXPECT_EQ(std::count(address.begin(), address.end(), '.'), 3) << address;
  }
  IdGetComputerNameExW = original;
  // The real source names this computer.
  EXPECT_FALSE(component.LocalComputerName().empty());
}
