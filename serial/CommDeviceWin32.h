// The Win32 serial device's own seam: the system calls it makes on a port,
// gathered in one class whose defaults are the system's. Tests play a driver
// through it on a handle of their own: completing transfers late, never, or
// with what real drivers report. A transfer ends the system's way: the
// record's Internal and InternalHigh filled in and its event signalled; the
// device reads them with GetOverlappedResult.
#pragma once

// clang-format off
// The seam's constants share their names with the system's macros: its
// header must be read before the system's.
#include "serial/CommDevice.h"
#include <windows.h>
// clang-format on

#include <memory>

class Win32CommCalls {
 public:
  virtual ~Win32CommCalls() = default;

  virtual BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue);
  virtual BOOL SetCommState(HANDLE h, DCB* dcb);
  virtual BOOL GetCommState(HANDLE h, DCB* dcb);
  virtual BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts);
  virtual BOOL SetCommMask(HANDLE h, DWORD mask);
  virtual BOOL WaitCommEvent(HANDLE h, DWORD* mask, OVERLAPPED* ov);
  virtual BOOL ReadFile(HANDLE h, void* buffer, DWORD count, DWORD* done, OVERLAPPED* ov);
  virtual BOOL WriteFile(HANDLE h, const void* buffer, DWORD count, DWORD* done, OVERLAPPED* ov);
  virtual BOOL CancelIoEx(HANDLE h, OVERLAPPED* ov);
  virtual BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* stat);
  virtual BOOL EscapeCommFunction(HANDLE h, DWORD function);
  virtual BOOL GetCommModemStatus(HANDLE h, DWORD* status);
  virtual BOOL PurgeComm(HANDLE h, DWORD flags);
  virtual BOOL CloseHandle(HANDLE h);

  // The system timer's resolution, asked for while a port is open and given
  // back when it closes: without it a 1 ms sleep and a short window timer
  // last a whole default tick (about 15.6 ms). winmm's timeBeginPeriod and
  // timeEndPeriod, loaded at run time; false when the system refuses or
  // lacks them. The first request also asks that the resolution be kept
  // while the window is minimised or hidden.
  virtual bool BeginTimerPeriod(UINT ms);
  virtual void EndTimerPeriod(UINT ms);
};

// The resolution the device asks for while its port is open, in ms.
inline constexpr UINT kOpenPortTimerPeriodMs = 1;

// Asks the system to honour this process's timer resolution even when its
// window cannot be seen (a power-saving default since Windows 11). True when
// the system took the request; false where it has no such setting.
bool KeepTimerResolutionWhenHidden();

// The device on a handle opened with FILE_FLAG_OVERLAPPED, making its calls
// through calls; it owns the handle from here (closing it through calls).
// Null with the system's code in errno on failure.
std::shared_ptr<CommDevice> NewWin32CommDevice(HANDLE handle,
                                               std::shared_ptr<Win32CommCalls> calls);
