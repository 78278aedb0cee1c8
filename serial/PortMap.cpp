#include "serial/PortMap.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

// Number n of a name "COMn", or 0 when the name is not of that form.
unsigned ComNumber(const std::string& name) {
  if (name.size() < 4) return 0;
  for (int i = 0; i < 3; ++i) {
    if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return 0;
  }
  unsigned long n = 0;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
    n = n * 10 + static_cast<unsigned>(name[i] - '0');
    if (n > 1000000) return 0;
  }
  return static_cast<unsigned>(n);
}

// Devices "/dev/<prefix><number>" sorted by number.
std::vector<std::pair<unsigned, std::string>> NumberedDevices(const std::string& prefix) {
  std::vector<std::pair<unsigned, std::string>> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/dev", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string digits = name.substr(prefix.size());
    if (!std::all_of(digits.begin(), digits.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
      continue;
    }
    if (digits.size() > 6) continue;
    found.emplace_back(static_cast<unsigned>(std::stoul(digits)), entry.path().string());
  }
  std::sort(found.begin(), found.end());
  return found;
}

// Most machines list 4 or 32 ttyS ports whatever UARTs they have; only the
// ones with a UART behind them count.
bool HasUart(const std::string& device, const std::string& name) {
  std::ifstream type("/sys/class/tty/" + name + "/type");
  int value = -1;
  if (type >> value) return value != PORT_UNKNOWN;
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  // A port someone holds is a real one: leaving it out would renumber the
  // COM names of every port after it.
  if (fd < 0) return errno == EBUSY;
  serial_struct info{};
  const bool ok = ::ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
  ::close(fd);
  return ok;
}

}  // namespace

std::vector<std::string> HostSerialPorts() {
  std::vector<std::string> ports;
  for (const auto& [number, path] : NumberedDevices("ttyS")) {
    if (HasUart(path, "ttyS" + std::to_string(number))) ports.push_back(path);
  }
  for (const char* prefix : {"ttyUSB", "ttyACM"}) {
    for (const auto& [number, path] : NumberedDevices(prefix)) ports.push_back(path);
  }
  return ports;
}

std::string ResolveCommPath(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const unsigned n = ComNumber(name);
  if (n == 0) return {};
  const std::string canonical = "COM" + std::to_string(n);
  if (const char* dir = std::getenv("TORIN5_PORTS"); dir && *dir) {
    struct stat st {};
    if (::stat(dir, &st) == 0 && S_ISDIR(st.st_mode)) return std::string(dir) + "/" + canonical;
  }
  const std::vector<std::string> ports = HostSerialPorts();
  return n <= ports.size() ? ports[n - 1] : std::string();
}
