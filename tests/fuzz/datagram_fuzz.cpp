// The datagram display path of the console's window: any bytes, zero bytes,
// CRs, "SSI" in any case, up to 8192 bytes. The pane gets exactly what the
// display rule says: the printable bytes up to the first zero byte, a line
// break for each CR, and after each one the date and time when the datagram
// mentions SSI anywhere.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/DateTimeText.h"
#include "app/fBase.h"
#include "controls/Headless.h"
#include "net/IdSocketHandle.h"

namespace {

bool MentionsSsi(const std::string& d) {
  for (std::size_t i = 0; i + 3 <= d.size(); ++i) {
    if ((d[i] | 0x20) == 's' && (d[i + 1] | 0x20) == 's' && (d[i + 2] | 0x20) == 'i') return true;
  }
  return false;
}

std::string Printable(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x20) out += c;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 8192) return 0;
  // Built once and never torn down: the run ends with the process.
  static TBaseform* form = [] {
    SetWindowSystem(new THeadlessWindowSystem);
    auto* f = new TBaseform(nullptr);
    f->UDPServer->SetDefaultPort(0);  // the answers leave from a port of the system's choosing
    return f;
  }();
  static TIdSocketHandle& binding = *new TIdSocketHandle(nullptr);
  binding.SetRemote("127.0.0.1", 9);  // loopback's discard port: nobody listens

  const std::string datagram(reinterpret_cast<const char*>(data), size);
  TMemoryStream stream;
  stream.Write(datagram.data(), static_cast<std::int64_t>(datagram.size()));
  form->LogClear();
  const std::string before = NowText();
  try {
    form->UDPServerUDPRead(form->UDPServer, stream, binding);
  } catch (...) {
    // A failed answer is the network's business; the display is done by then.
  }
  const std::string after = NowText();

  const std::string shown = datagram.substr(0, datagram.find('\0'));
  const bool stamp = shown.find('\r') != std::string::npos && MentionsSsi(datagram);
  const std::string pane = form->LogText();
  std::size_t at = 0, start = 0;
  auto expect = [&](const std::string& piece) {
    if (pane.compare(at, piece.size(), piece) != 0) std::abort();
    at += piece.size();
  };
  for (std::size_t cr = shown.find('\r'); cr != std::string::npos; cr = shown.find('\r', start)) {
    expect(Printable(shown.substr(start, cr - start)) + "\r\n");
    if (stamp) {
      // The clock may tick between two line breaks.
      if (pane.compare(at, before.size() + 1, before + " ") == 0) {
        at += before.size() + 1;
      } else {
        expect(after + " ");
      }
    }
    start = cr + 1;
  }
  expect(Printable(shown.substr(start)));
  if (at != pane.size()) std::abort();
  return 0;
}
