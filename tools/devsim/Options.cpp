#include "tools/devsim/Options.h"

#include <arpa/inet.h>

#include <charconv>
#include <optional>

namespace {

std::optional<int> Number(const std::string& text, int lo, int hi) {
  int v = 0;
  const char* end = text.data() + text.size();
  const auto [p, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || p != end || v < lo || v > hi) return std::nullopt;
  return v;
}

std::string Range(const std::string& name, const std::string& value, int lo, int hi) {
  return name + ": '" + value + "' is not a whole number from " + std::to_string(lo) + " to " +
         std::to_string(hi);
}

}  // namespace

std::string UsageText() {
  return "usage: torin5-devsim [options]\n"
         "A simulated TORIN5 field device for the console: a pseudo-terminal published\n"
         "as COMn in a port map directory, and optionally a UDP peer.\n"
         "\n"
         "  --ports DIR       publish the serial device as DIR/COMn (default: a new\n"
         "                    temporary directory, printed as TORIN5_PORTS=..., removed\n"
         "                    at the end)\n"
         "  --com N           the port number n of COMn, 1-16 (default 1)\n"
         "  --packets         packet mode: send framed requests and check every\n"
         "                    acknowledgement (default: text mode, which answers each\n"
         "                    CR LF command line and sends a status line every 2 s)\n"
         "  --rate N          frames per second in packet mode, 1-100000 (default 200)\n"
         "  --burst N         packet mode: N requests of kind 1 or 2 in one write, the\n"
         "                    next burst once all are answered, 1-100000\n"
         "  --back-to-back    packet mode: each request as soon as the one before it is\n"
         "                    answered\n"
         "  --udp HOST:PORT   also send datagrams to the console's UDP server there,\n"
         "                    count its LF answers and print what else it sends\n"
         "  --seconds N       end after N seconds (default: run until Ctrl-C)\n"
         "  --help            this text\n"
         "\n"
         "The console sees the device when started with TORIN5_PORTS=DIR. At the end\n"
         "the simulator prints what it counted; in packet mode the exit status is 1\n"
         "when an acknowledgement was missing or wrong. A bad command line exits with 2.\n";
}

ParsedOptions ParseOptions(const std::vector<std::string>& args) {
  ParsedOptions r;
  DevsimOptions& o = r.options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> inline_value;
    if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      inline_value = name.substr(eq + 1);
      name.resize(eq);
    }
    const bool flag =
        name == "--packets" || name == "--back-to-back" || name == "--help" || name == "-h";
    const bool valued = name == "--ports" || name == "--com" || name == "--rate" ||
                        name == "--burst" || name == "--udp" || name == "--seconds";
    if (!flag && !valued) {
      r.error = name.rfind("-", 0) == 0 ? "unknown option '" + name + "'"
                                        : "unexpected argument '" + name + "'";
      return r;
    }
    if (flag) {
      if (inline_value) {
        r.error = name + " takes no value";
        return r;
      }
      if (name == "--packets")
        o.packets = true;
      else if (name == "--back-to-back")
        o.back_to_back = true;
      else
        o.help = true;
      continue;
    }
    std::string value;
    if (inline_value) {
      value = *inline_value;
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      r.error = name + " needs a value";
      return r;
    }
    if (name == "--ports") {
      if (value.empty()) {
        r.error = "--ports: the directory name is empty";
        return r;
      }
      o.ports_dir = value;
    } else if (name == "--com") {
      const auto v = Number(value, 1, 16);
      if (!v) {
        r.error = Range(name, value, 1, 16);
        return r;
      }
      o.com = *v;
    } else if (name == "--rate" || name == "--burst") {
      const auto v = Number(value, 1, 100000);
      if (!v) {
        r.error = Range(name, value, 1, 100000);
        return r;
      }
      (name == "--rate" ? o.rate : o.burst) = *v;
    } else if (name == "--seconds") {
      const auto v = Number(value, 1, 86400 * 365);
      if (!v) {
        r.error = Range(name, value, 1, 86400 * 365);
        return r;
      }
      o.seconds = *v;
    } else {  // --udp
      const auto colon = value.rfind(':');
      const auto port =
          colon == std::string::npos ? std::nullopt : Number(value.substr(colon + 1), 1, 65535);
      std::string host = colon == std::string::npos ? "" : value.substr(0, colon);
      if (host == "localhost") host = "127.0.0.1";
      in_addr addr{};
      if (!port || ::inet_pton(AF_INET, host.c_str(), &addr) != 1) {
        r.error = "--udp: '" + value + "' is not HOST:PORT with an IPv4 address and a port 1-65535";
        return r;
      }
      o.udp_host = host;
      o.udp_port = *port;
    }
  }
  if (o.burst != 0 && o.back_to_back) r.error = "--burst and --back-to-back exclude each other";
  return r;
}
