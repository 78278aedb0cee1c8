// WinSock 2, loaded at run time. The program does not import WS2_32.DLL: every
// socket call goes through an entry variable that starts out at a placeholder;
// the first call through a placeholder looks the export up in the loaded
// library, stores it in the entry and goes on into it.
#pragma once

// The stack's header first: its error classes, and its names before the
// system headers' macros.
// clang-format off
#include "net/IdStack.h"
#include <winsock2.h>
// clang-format on

// The library's file name.
inline constexpr const char* IdWinsockLibrary = "WS2_32.DLL";

extern int(WSAAPI* IdWSAStartup)(WORD version, LPWSADATA data);
extern int(WSAAPI* IdWSACleanup)();
extern int(WSAAPI* IdWSAGetLastError)();
extern void(WSAAPI* IdWSASetLastError)(int code);
extern SOCKET(WSAAPI* IdSocket)(int family, int type, int protocol);
extern int(WSAAPI* IdBind)(SOCKET s, const sockaddr* name, int length);
extern int(WSAAPI* IdSendTo)(SOCKET s, const char* buffer, int length, int flags,
                             const sockaddr* to, int toLength);
extern int(WSAAPI* IdRecvFrom)(SOCKET s, char* buffer, int length, int flags, sockaddr* from,
                               int* fromLength);
extern int(WSAAPI* IdSelect)(int count, fd_set* readSet, fd_set* writeSet, fd_set* errorSet,
                             const timeval* timeout);
extern int(WSAAPI* IdSetSockOpt)(SOCKET s, int level, int option, const char* value, int length);
extern int(WSAAPI* IdShutdown)(SOCKET s, int how);
extern int(WSAAPI* IdCloseSocket)(SOCKET s);
extern int(WSAAPI* IdGetSockName)(SOCKET s, sockaddr* name, int* length);
extern int(WSAAPI* IdGetHostName)(char* name, int length);
extern hostent*(WSAAPI* IdGetHostByName)(const char* name);
// The computer's own name in UTF-16 (KERNEL32's GetComputerNameExW; not part
// of WinSock, a variable so tests can give the computer another name).
extern BOOL(WINAPI* IdGetComputerNameExW)(COMPUTER_NAME_FORMAT format, LPWSTR buffer,
                                         LPDWORD size);
extern u_short(WSAAPI* IdHtons)(u_short value);
extern u_short(WSAAPI* IdNtohs)(u_short value);

// Loads the library (when it is not loaded yet) and calls WSAStartup with the
// arguments, returning its result; 0 without any call when already loaded.
// EIdWS2StubError when the library cannot be loaded or lacks WSAStartup.
int StartSocketLibrary(WORD version, LPWSADATA data);
// The same from a library of another name (tests provoke the failures with it).
int StartSocketLibraryFrom(const char* libraryName, WORD version, LPWSADATA data);

// Releases the library and points every entry back at its placeholder.
void UnloadSocketLibrary();
// What runs at process end: WSACleanup when the start-up succeeded and the
// library is still loaded, then the release.
void FinishSocketLibrary();

// The loaded library, null while none is.
HMODULE SocketLibraryHandle();
// Recorded by the stack after a successful start-up.
void NoteSocketLibraryStarted();
