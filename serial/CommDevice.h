// The seam between the serial component and the operating system: one small
// device class with the comm calls the component needs. The component talks
// only to this interface; each system has its implementation in a file of
// its own (CommDeviceLinux, CommDeviceWin32), and tests put in a scriptable
// fake through TVaCustomComm::CreateHandle.
#pragma once

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>

#include "runtime/Events.h"

// Comm event mask bits.
inline constexpr std::uint32_t EV_RXCHAR = 0x0001;
inline constexpr std::uint32_t EV_RXFLAG = 0x0002;
inline constexpr std::uint32_t EV_TXEMPTY = 0x0004;
inline constexpr std::uint32_t EV_CTS = 0x0008;
inline constexpr std::uint32_t EV_DSR = 0x0010;
inline constexpr std::uint32_t EV_RLSD = 0x0020;
inline constexpr std::uint32_t EV_BREAK = 0x0040;
inline constexpr std::uint32_t EV_ERR = 0x0080;
inline constexpr std::uint32_t EV_RING = 0x0100;
inline constexpr std::uint32_t EV_PERR = 0x0200;
inline constexpr std::uint32_t EV_RX80FULL = 0x0400;
inline constexpr std::uint32_t EV_EVENT1 = 0x0800;
inline constexpr std::uint32_t EV_EVENT2 = 0x1000;

// Communication error bits reported by ClearCommError.
inline constexpr std::uint32_t CE_RXOVER = 0x0001;
inline constexpr std::uint32_t CE_OVERRUN = 0x0002;
inline constexpr std::uint32_t CE_RXPARITY = 0x0004;
inline constexpr std::uint32_t CE_FRAME = 0x0008;
inline constexpr std::uint32_t CE_BREAK = 0x0010;

// Modem status bits.
inline constexpr std::uint32_t MS_CTS_ON = 0x0010;
inline constexpr std::uint32_t MS_DSR_ON = 0x0020;
inline constexpr std::uint32_t MS_RING_ON = 0x0040;
inline constexpr std::uint32_t MS_RLSD_ON = 0x0080;

// Line functions for EscapeCommFunction.
inline constexpr std::uint32_t SETXOFF = 1;
inline constexpr std::uint32_t SETXON = 2;
inline constexpr std::uint32_t SETRTS = 3;
inline constexpr std::uint32_t CLRRTS = 4;
inline constexpr std::uint32_t SETDTR = 5;
inline constexpr std::uint32_t CLRDTR = 6;
inline constexpr std::uint32_t SETBREAK = 8;
inline constexpr std::uint32_t CLRBREAK = 9;

inline constexpr std::uint8_t NOPARITY = 0;
inline constexpr std::uint8_t ODDPARITY = 1;
inline constexpr std::uint8_t EVENPARITY = 2;
inline constexpr std::uint8_t MARKPARITY = 3;
inline constexpr std::uint8_t SPACEPARITY = 4;
inline constexpr std::uint8_t ONESTOPBIT = 0;
inline constexpr std::uint8_t ONE5STOPBITS = 1;
inline constexpr std::uint8_t TWOSTOPBITS = 2;
inline constexpr std::uint32_t DTR_CONTROL_DISABLE = 0;
inline constexpr std::uint32_t DTR_CONTROL_ENABLE = 1;
inline constexpr std::uint32_t DTR_CONTROL_HANDSHAKE = 2;
inline constexpr std::uint32_t RTS_CONTROL_DISABLE = 0;
inline constexpr std::uint32_t RTS_CONTROL_ENABLE = 1;
inline constexpr std::uint32_t RTS_CONTROL_HANDSHAKE = 2;
inline constexpr std::uint32_t RTS_CONTROL_TOGGLE = 3;

// The device control block: the line settings in the layout the Windows
// build hands to SetCommState unchanged.
struct CommDcb {
  std::uint32_t DCBlength;
  std::uint32_t BaudRate;
  std::uint32_t fBinary : 1;
  std::uint32_t fParity : 1;
  std::uint32_t fOutxCtsFlow : 1;
  std::uint32_t fOutxDsrFlow : 1;
  std::uint32_t fDtrControl : 2;
  std::uint32_t fDsrSensitivity : 1;
  std::uint32_t fTXContinueOnXoff : 1;
  std::uint32_t fOutX : 1;
  std::uint32_t fInX : 1;
  std::uint32_t fErrorChar : 1;
  std::uint32_t fNull : 1;
  std::uint32_t fRtsControl : 2;
  std::uint32_t fAbortOnError : 1;
  std::uint32_t fDummy2 : 17;
  std::uint16_t wReserved;
  std::uint16_t XonLim;
  std::uint16_t XoffLim;
  std::uint8_t ByteSize;
  std::uint8_t Parity;
  std::uint8_t StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  std::uint16_t wReserved1;
};
static_assert(sizeof(CommDcb) == 28, "the block keeps the platform record's layout");

struct CommStat {
  std::uint32_t fCtsHold : 1;
  std::uint32_t fDsrHold : 1;
  std::uint32_t fRlsdHold : 1;
  std::uint32_t fXoffHold : 1;
  std::uint32_t fXoffSent : 1;
  std::uint32_t fEof : 1;
  std::uint32_t fTxim : 1;
  std::uint32_t fReserved : 25;
  std::uint32_t cbInQue;
  std::uint32_t cbOutQue;
};

struct CommTimeouts {
  std::uint32_t ReadIntervalTimeout;
  std::uint32_t ReadTotalTimeoutMultiplier;
  std::uint32_t ReadTotalTimeoutConstant;
  std::uint32_t WriteTotalTimeoutMultiplier;
  std::uint32_t WriteTotalTimeoutConstant;
};

inline constexpr std::uint32_t MAXDWORD = 0xFFFFFFFFu;

enum class CommWait {
  Events,  // something the caller waited for happened
  Woken,   // the wake descriptor became readable
  Timeout,
  Failed,  // errno tells why
};

// A serial device. Every call that can fail returns false (or -1) and leaves
// the system error code in errno. The calls may come from several threads at
// once (owner, event monitor, background writer); Close may be called while
// another thread waits in the device, after that thread's wake descriptor has
// been signalled.
class CommDevice {
 public:
  virtual ~CommDevice() = default;

  virtual bool SetCommState(const CommDcb& dcb) = 0;
  virtual bool SetupComm(std::uint32_t inQueue, std::uint32_t outQueue) = 0;
  virtual bool SetCommTimeouts(const CommTimeouts& timeouts) = 0;
  virtual bool SetCommMask(std::uint32_t mask) = 0;
  // How long a read that the system keeps running despite the time-outs
  // may take before it is cancelled: the owner's read time-out. A device
  // whose reads never wait has no use for it.
  virtual void SetReadWait(std::uint32_t ms) { (void)ms; }

  // Waits until one of the masked events happens (Events, mask filled in)
  // or wake becomes readable (Woken). Bytes left unread do not end the
  // next wait at once: new bytes do, and so does the next line poll while
  // any are still waiting, since a full input queue stops the line and no
  // new byte would ever come.
  virtual CommWait WaitCommEvent(std::uint32_t& mask, TWaitable wake) = 0;

  // Reads at most count bytes that have already arrived; never waits.
  // Returns the number read (0 when nothing is there) or -1.
  virtual long Read(void* buffer, std::size_t count) = 0;
  // Hands the device as many bytes as it takes now; never waits. Returns
  // the number taken (0 when it has no room) or -1. A device may report 0
  // while bytes it took earlier are still on their way and count them once
  // they have gone out: the caller offers the bytes not yet counted again.
  virtual long Write(const void* buffer, std::size_t count) = 0;
  // Waits until the device has room for output (Events), wake becomes
  // readable (Woken; -1 for none) or ms milliseconds pass (INFINITE: none).
  virtual CommWait WaitWritable(TWaitable wake, std::uint32_t ms) = 0;

  // Error bits since the last call and the queue status; clears the bits.
  virtual bool ClearCommError(std::uint32_t& errors, CommStat& stat) = 0;
  virtual bool EscapeCommFunction(std::uint32_t function) = 0;
  // Reads of the status within about a millisecond share one read of the
  // lines, which is a slow transfer on USB adapters.
  virtual bool GetCommModemStatus(std::uint32_t& status) = 0;

  // Discards unsent output and releases the device; later calls fail (EBADF
  // on Linux, ERROR_INVALID_HANDLE on Windows).
  virtual void Close() = 0;
};

// Whether a line that reports the rate applied after asking for the rate
// requested talks to a device at that rate: within 3%, what an asynchronous
// frame tolerates.
bool LineRateAccepted(std::uint32_t requested, std::uint32_t applied);

// Whether a device's error code says the device itself is gone: a pulled
// USB adapter, a pseudo-terminal whose other end closed (EIO, ENXIO and
// ENODEV on Linux; on Windows the codes a removed adapter's driver gives).
bool CommDeviceGone(int code);

// The calls the Linux device makes on its descriptor besides reading and
// writing. The defaults are the system's; tests count them, or stand in for a
// driver's modem lines and counters on a pseudo-terminal. The Windows device
// has no use for them.
class CommDeviceCalls {
 public:
  virtual ~CommDeviceCalls() = default;
  // Value arguments (TCFLSH and the like) travel in the pointer.
  virtual int Ioctl(int fd, unsigned long request, void* arg);
  virtual int Close(int fd);
};

// A device ready for use, or null with the reason in errno when its set-up
// (Init) fails; the half-set-up device is closed first.
template <class Device>
std::shared_ptr<CommDevice> InitialisedDevice(std::shared_ptr<Device> device) {
  if (device->Init()) return device;
  const int err = errno;
  device->Close();
  errno = err;
  return nullptr;
}

// Opens the device that path names (a COMn name or a file system path) for
// exclusive use. Returns null with the system's code in errno on failure: 2
// when the name maps to no device (ENOENT, ERROR_FILE_NOT_FOUND), and when
// another program holds it EBUSY on Linux, ERROR_ACCESS_DENIED on Windows.
std::shared_ptr<CommDevice> OpenCommDevice(const std::string& path,
                                           std::shared_ptr<CommDeviceCalls> calls = nullptr);
