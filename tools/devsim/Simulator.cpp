#include "tools/devsim/Simulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "tools/devsim/AckChecker.h"
#include "tools/devsim/Traffic.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr auto kStatusEvery = milliseconds(2000);
constexpr auto kUdpEvery = milliseconds(500);
// After the console opens the line it sets its lines and modes; traffic
// starts a moment later.
constexpr auto kSettle = milliseconds(50);
// How long a device that waits for answers waits at most.
constexpr auto kGiveUp = milliseconds(1000);
// How long the end waits for answers still on their way.
constexpr auto kGrace = milliseconds(1000);

// Bytes as a C string literal, for printing what arrived.
std::string Quoted(std::string_view bytes) {
  std::string s = "\"";
  for (unsigned char c : bytes) {
    if (c == '\r')
      s += "\\r";
    else if (c == '\n')
      s += "\\n";
    else if (c == '"' || c == '\\')
      s += {'\\', static_cast<char>(c)};
    else if (c < 0x20 || c >= 0x7F) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      s += hex;
    } else
      s += static_cast<char>(c);
  }
  return s + "\"";
}

// The device's name in the port map directory, for as long as this lives.
class Publication {
 public:
  static bool Fail(std::string& Error, const std::string& Text) {
    Error = Text;
    return false;
  }
  bool Publish(const std::string& Dir, int Com, const std::string& Device, std::string& Error) {
    if (Dir.empty()) {
      char tmp[] = "/tmp/torin5-devsim-XXXXXX";
      if (!::mkdtemp(tmp)) return Fail(Error, std::strerror(errno));
      dir_ = tmp;
      owns_dir_ = true;
    } else {
      dir_ = Dir;
      if (::mkdir(dir_.c_str(), 0755) == 0)
        owns_dir_ = true;
      else if (errno != EEXIST)
        return Fail(Error, dir_ + ": " + std::strerror(errno));
    }
    link_ = dir_ + "/COM" + std::to_string(Com);
    struct stat st {};
    // A link left by a simulator that was killed is replaced; anything else stays.
    if (::lstat(link_.c_str(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) return Fail(Error, link_ + " exists and is not a link");
      ::unlink(link_.c_str());
    }
    if (::symlink(Device.c_str(), link_.c_str()) != 0) {
      const std::string error = link_ + ": " + std::strerror(errno);
      link_.clear();
      return Fail(Error, error);
    }
    return true;
  }
  ~Publication() {
    if (!link_.empty()) ::unlink(link_.c_str());
    if (owns_dir_) ::rmdir(dir_.c_str());
  }
  const std::string& Dir() const { return dir_; }
  const std::string& Link() const { return link_; }

 private:
  std::string dir_, link_;
  bool owns_dir_ = false;
};

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

class Simulator {
 public:
  Simulator(const DevsimOptions& o, volatile std::sig_atomic_t* stop, std::FILE* out)
      : o_(o), stop_(stop), out_(out) {}
  int Run();

 private:
  void Say(const std::string& line) {
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
  }
  bool Setup();
  void Serial(Clock::time_point now);
  void ReadSerial(Clock::time_point now);
  void TextLine(const std::string& line);
  void Queue(const std::string& bytes) { out_pending_ += bytes; }
  void Send(TrafficItem item);
  void SendOnAnswer(Clock::time_point now);
  void Flush();
  void Udp(Clock::time_point now, bool readable);
  void Report();

  const DevsimOptions& o_;
  volatile std::sig_atomic_t* stop_;
  std::FILE* out_;
  Publication pub_;
  Fd master_, udp_;
  sockaddr_in udp_to_{};
  bool connected_ = false;
  Clock::time_point start_, connected_at_, next_frame_, next_status_, next_udp_, give_up_at_;
  std::string out_pending_, line_;
  // Packet mode.
  TrafficGenerator traffic_;
  AckChecker acks_;
  std::array<std::uint64_t, static_cast<int>(FrameKind::Count)> sent_{};
  std::uint64_t garbage_ = 0, frames_ = 0;
  // Text mode and UDP.
  std::uint64_t commands_ = 0, statuses_ = 0, udp_sent_ = 0, udp_lf_ = 0, udp_other_ = 0;
};

bool Simulator::Setup() {
  int m = -1, s = -1;
  char name[256] = {};
  if (::openpty(&m, &s, name, nullptr, nullptr) != 0) {
    Say(std::string("torin5-devsim: cannot create a pseudo-terminal: ") + std::strerror(errno));
    return false;
  }
  master_.reset(m);
  // Raw from the start, so nothing is echoed before the console has set the
  // line up; with the slave closed the master reports a hang-up until the
  // console opens it, which is how the simulator sees the console come and go.
  termios t{};
  ::tcgetattr(s, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(s, TCSANOW, &t);
  ::close(s);
  ::fcntl(m, F_SETFL, ::fcntl(m, F_GETFL) | O_NONBLOCK);
  std::string error;
  if (!pub_.Publish(o_.ports_dir, o_.com, name, error)) {
    Say("torin5-devsim: cannot publish the port: " + error);
    return false;
  }
  Say("TORIN5_PORTS=" + pub_.Dir());
  Say("serial: COM" + std::to_string(o_.com) + " is " + name + " (" +
      (!o_.packets       ? std::string("text mode")
       : o_.burst > 0    ? "packet mode, bursts of " + std::to_string(o_.burst) + " requests"
       : o_.back_to_back ? std::string("packet mode, back to back")
                         : "packet mode, " + std::to_string(o_.rate) + " frames/s") +
      ")");
  if (o_.udp_port != 0) {
    udp_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_in any{};
    any.sin_family = AF_INET;
    if (udp_.get() < 0 || ::bind(udp_.get(), reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
      Say(std::string("torin5-devsim: cannot open a UDP socket: ") + std::strerror(errno));
      return false;
    }
    udp_to_.sin_family = AF_INET;
    udp_to_.sin_port = htons(static_cast<std::uint16_t>(o_.udp_port));
    ::inet_pton(AF_INET, o_.udp_host.c_str(), &udp_to_.sin_addr);
    Say("udp: sending to " + o_.udp_host + ":" + std::to_string(o_.udp_port));
  }
  return true;
}

void Simulator::Flush() {
  while (connected_ && !out_pending_.empty()) {
    const ssize_t n = ::write(master_.get(), out_pending_.data(), out_pending_.size());
    if (n <= 0) return;  // full for now: the rest goes when the line drains
    out_pending_.erase(0, static_cast<std::size_t>(n));
  }
}

void Simulator::TextLine(const std::string& line) {
  ++commands_;
  Say("serial: command " + Quoted(line));
  std::string shown;
  for (unsigned char c : line) shown += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
  Queue("OK " + shown + "\r\n");
}

void Simulator::ReadSerial(Clock::time_point now) {
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(master_.get(), buf, sizeof buf);
    if (n <= 0) return;
    const std::string_view got(buf, static_cast<std::size_t>(n));
    if (o_.packets) {
      acks_.Received(got, now);
      continue;
    }
    for (char c : got) {
      if (c == '\x18' || c == '\x1b') {  // Ctrl-X and Esc cancel the line so far
        Say(std::string("serial: key ") + (c == '\x18' ? "Ctrl-X" : "Esc"));
        line_.clear();
      } else if (c == '\n' && !line_.empty() && line_.back() == '\r') {
        line_.pop_back();
        TextLine(line_);
        line_.clear();
      } else {
        line_ += c;
      }
    }
  }
}

void Simulator::Serial(Clock::time_point now) {
  pollfd p{master_.get(), POLLIN, 0};
  ::poll(&p, 1, 0);
  const bool connected = (p.revents & POLLHUP) == 0;
  if (connected != connected_) {
    connected_ = connected;
    Say(std::string("serial: the console ") + (connected ? "opened" : "closed") + " COM" +
        std::to_string(o_.com));
    if (connected) {
      connected_at_ = now;
      next_frame_ = now + kSettle;
      next_status_ = now + kStatusEvery;
    }
  }
  if (!connected_) return;
  if (p.revents & POLLIN) ReadSerial(now);
  const bool sending =
      !*stop_ && (o_.seconds == 0 || now < start_ + std::chrono::seconds(o_.seconds));
  if (o_.packets && sending && (o_.burst > 0 || o_.back_to_back)) {
    SendOnAnswer(now);
  } else if (o_.packets && sending) {
    const auto every = std::chrono::nanoseconds(1'000'000'000LL / o_.rate);
    // Catch up after a late wake-up, but not with a burst of more than a few
    // milliseconds' worth.
    const auto catch_up = std::max<std::chrono::nanoseconds>(every * 8, milliseconds(5));
    if (now - next_frame_ > catch_up) next_frame_ = now - catch_up;
    while (next_frame_ <= now) {
      Send(traffic_.Next());
      next_frame_ += every;
    }
  } else if (!o_.packets && sending && now >= next_status_) {
    ++statuses_;
    const auto up = std::chrono::duration_cast<std::chrono::seconds>(now - start_).count();
    Queue("STATUS device ready, up " + std::to_string(up) + " s, " + std::to_string(commands_) +
          " commands\r\n");
    next_status_ += kStatusEvery;
  }
  Flush();
}

void Simulator::Send(TrafficItem item) {
  ++sent_[static_cast<int>(item.kind)];
  ++frames_;
  if (item.garbage) ++garbage_;
  if (!item.expected_ack.empty()) acks_.Expect(std::move(item.expected_ack), Clock::now());
  Queue(item.bytes);
}

void Simulator::SendOnAnswer(Clock::time_point now) {
  // The next request (or burst of them) goes once everything sent so far is
  // answered; an answer that never comes holds the device up for a second.
  if (now < next_frame_) return;
  if (acks_.Outstanding() > 0 && now < give_up_at_) return;
  std::string burst;
  for (int n = std::max(o_.burst, 1); n > 0; --n) {
    TrafficItem item;
    do item = traffic_.Next();
    while (item.expected_ack.empty());
    burst += item.bytes;
    item.bytes.clear();
    Send(std::move(item));
  }
  Queue(burst);
  give_up_at_ = now + kGiveUp;
}

void Simulator::Udp(Clock::time_point now, bool readable) {
  if (udp_.get() < 0) return;
  for (; readable;) {
    char buf[65536];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n =
        ::recvfrom(udp_.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) break;
    const std::string_view d(buf, static_cast<std::size_t>(n));
    if (d == "\n") {
      ++udp_lf_;
      continue;
    }
    ++udp_other_;
    char ip[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
    Say(std::string("udp: from ") + ip + ":" + std::to_string(ntohs(from.sin_port)) + " " +
        Quoted(d));
  }
  const bool sending =
      !*stop_ && (o_.seconds == 0 || now < start_ + std::chrono::seconds(o_.seconds));
  if (sending && now >= next_udp_) {
    const std::string n = std::to_string(udp_sent_);
    std::string d;
    switch (udp_sent_ % 3) {
      case 0:
        d = "devsim " + n + " hello\r\n";
        break;
      case 1:
        d = "SSI " + n + " level 42\r\n";
        break;
      default:
        d = "devsim " + n + " ping";
        break;
    }
    if (::sendto(udp_.get(), d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&udp_to_),
                 sizeof udp_to_) == static_cast<ssize_t>(d.size())) {
      ++udp_sent_;
    }
    next_udp_ = now + kUdpEvery;
  }
}

int Simulator::Run() {
  if (!Setup()) return 1;
  start_ = next_udp_ = Clock::now();
  const auto end_of_sending = [&] {
    return *stop_ || (o_.seconds != 0 && Clock::now() >= start_ + std::chrono::seconds(o_.seconds));
  };
  Clock::time_point grace_end{};
  for (;;) {
    const auto now = Clock::now();
    if (end_of_sending()) {
      if (grace_end == Clock::time_point{}) grace_end = now + kGrace;
      // The end waits only for what is still owed.
      const bool owed = (o_.packets && acks_.Outstanding() > 0 && connected_) ||
                        (udp_.get() >= 0 && udp_lf_ + udp_other_ < udp_sent_);
      if (!owed || now >= grace_end) break;
    }
    Serial(now);
    pollfd fds[2] = {{master_.get(), POLLIN, 0}, {udp_.get(), POLLIN, 0}};
    if (connected_ && !out_pending_.empty()) fds[0].events |= POLLOUT;
    // A hung-up master polls ready at once: while the console is away, only sleep.
    if (!connected_) fds[0].fd = -1;
    int wait_ms = connected_ ? 1 : 20;
    if (!o_.packets) wait_ms = connected_ ? 10 : 20;
    ::poll(fds, 2, wait_ms);
    Udp(Clock::now(), (fds[1].revents & POLLIN) != 0);
  }
  acks_.Finish();
  Report();
  return o_.packets && !acks_.Report().Clean() ? 1 : 0;
}

void Simulator::Report() {
  const auto n = [](std::uint64_t v) { return std::to_string(v); };
  if (o_.packets) {
    std::string line = "packets: frames=" + n(frames_);
    for (int k = 0; k < static_cast<int>(FrameKind::Count); ++k)
      line += std::string(" ") + FrameKindName(static_cast<FrameKind>(k)) + "=" + n(sent_[k]);
    Say(line + " garbage=" + n(garbage_));
    const AckChecker::Summary s = acks_.Report();
    Say("acks: expected=" + n(s.expected) + " correct=" + n(s.correct) +
        " missing=" + n(s.missing) + " wrong=" + n(s.wrong) + " stray=" + n(s.stray));
    Say("latency_us: p50=" + n(s.p50_us) + " p90=" + n(s.p90_us) + " p99=" + n(s.p99_us) +
        " max=" + n(s.max_us));
  } else {
    Say("serial: commands=" + n(commands_) + " status=" + n(statuses_));
  }
  if (udp_.get() >= 0)
    Say("udp: sent=" + n(udp_sent_) + " lf_answers=" + n(udp_lf_) + " other=" + n(udp_other_));
}

}  // namespace

int RunSimulator(const DevsimOptions& Options, volatile std::sig_atomic_t* Stop, std::FILE* Out) {
  Simulator sim(Options, Stop, Out);
  return sim.Run();
}
