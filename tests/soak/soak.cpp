// A long run of the real console (Qt offscreen, its own event loop) under
// combined traffic: a device on a pseudo-terminal sends requests in packet
// mode with "Treat" and checks the acknowledgements, and a UDP peer on
// loopback sends datagrams and counts the line-feed answers. Every 10 s it
// samples resident memory, open descriptors and threads. It fails when
// descriptors or threads grow, or when memory grows by more than the pane's
// text does (plus a fixed allowance), or when an answer is wrong.
//
// SOAK_SECONDS sets the length (600 by default).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QApplication>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/fBase.h"
#include "controls/qt/QtWindowSystem.h"
#include "packet/Util.h"
#include "tests/app/ProcessStats.h"
#include "tests/net/NetTestSupport.h"
#include "tests/serial/PtyLine.h"

namespace {

using Clock = std::chrono::steady_clock;

void OnMain(const std::function<void()>& fn) {
  QMetaObject::invokeMethod(qApp, fn, Qt::BlockingQueuedConnection);
}

int CountEntries(const char* dir) {
  int n = 0;
  if (DIR* d = ::opendir(dir)) {
    while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n;
}

struct Sample {
  double at_s;
  long rss_kib;
  int fds;
  int threads;
  std::size_t pane;
  long acks, ack_errors, answers;
};

std::string Request(std::uint8_t first, std::uint8_t kind) {
  return BuildFrame(std::string{static_cast<char>(first), static_cast<char>(kind)});
}

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const double seconds = std::getenv("SOAK_SECONDS") ? std::atof(std::getenv("SOAK_SECONDS")) : 600;
  PtyLine line;
  ::fcntl(line.Master(), F_SETFL, O_NONBLOCK);
  int qt_argc = 1;
  TQtWindowSystem windows(qt_argc, argv);
  SetWindowSystem(&windows);
  auto form = std::make_unique<TBaseform>(nullptr);
  const int udp_port = nettest::FreePort();

  std::atomic<bool> stop{false};
  std::atomic<long> acks{0}, ack_errors{0}, answers{0}, sent_datagrams{0};
  std::vector<Sample> samples;
  bool failed = false;

  std::thread director([&] {
    OnMain([&] {
      form->ChBxTreat->SetChecked(true);
      form->RButPack->OperatorClick();
      form->EdPort->SetText(std::to_string(udp_port));
      form->ChBxActiv->OperatorClick();
    });
    // The device: a request every 2 ms, acknowledgements checked in order;
    // now and then a burst of noise and a frame of another kind.
    std::thread device([&] {
      std::mt19937 rng(1);
      std::string pending, got;
      std::uint8_t id = 0;
      char buf[512];
      while (!stop) {
        std::string out;
        if (rng() % 50 == 0) {
          for (int i = 0; i < 200; ++i) {
            char c;
            do c = static_cast<char>(rng());
            while (static_cast<std::uint8_t>(c) == kPacketStart);
            out += c;
          }
          out += Request(id, 3);  // not answered
        }
        ++id;
        const std::string r = Request(id, static_cast<std::uint8_t>(1 + id % 2));
        out += r;
        pending += r;
        (void)!::write(line.Master(), out.data(), out.size());
        pollfd p{line.Master(), POLLIN, 0};
        if (::poll(&p, 1, 2) > 0) {
          const long n = ::read(line.Master(), buf, sizeof buf);
          if (n > 0) got.append(buf, static_cast<std::size_t>(n));
        }
        while (got.size() >= 5) {
          // Answers come in order; requests passed over leave the list (the
          // pending list keeps the last thousand requests). An
          // acknowledgement is never wrong.
          std::size_t at = 0;
          while (at < pending.size() && pending.compare(at, 5, got, 0, 5) != 0) at += 5;
          if (at >= pending.size()) {
            ++ack_errors;
          } else {
            pending.erase(0, at + 5);
            ++acks;
          }
          got.erase(0, 5);
        }
        if (pending.size() > 5000) pending.erase(0, pending.size() - 5000);  // a multiple of 5
      }
    });
    // The network peer: a datagram every millisecond or so, SSI lines among
    // them, answers counted.
    std::thread peer([&] {
      nettest::UdpPeer udp;
      long n = 0;
      while (!stop) {
        const std::string text = n % 10 == 0 ? "SSI status " + std::to_string(n) + "\r\n"
                                             : "value " + std::to_string(n) + "\r\n";
        if (udp.SendTo(udp_port, text)) ++sent_datagrams;
        ++n;
        while (udp.Receive(0)) ++answers;
        std::this_thread::sleep_for(std::chrono::microseconds(900));
      }
      for (int i = 0; i < 100 && udp.Receive(10); ++i) ++answers;
    });

    const auto start = Clock::now();
    for (double next = 0;; next += 10) {
      while (std::chrono::duration<double>(Clock::now() - start).count() < next && !stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      Sample s{};
      s.at_s = std::chrono::duration<double>(Clock::now() - start).count();
      s.rss_kib = ResidentKiB();
      s.fds = CountEntries("/proc/self/fd");
      s.threads = CountEntries("/proc/self/task");
      OnMain([&] { s.pane = form->LogSize(); });
      s.acks = acks;
      s.ack_errors = ack_errors;
      s.answers = answers;
      samples.push_back(s);
      std::printf(
          "%7.0f s  rss %7ld KiB  fds %3d  threads %3d  pane %10zu B  acks %8ld  wrong %ld  udp "
          "answers %8ld\n",
          s.at_s, s.rss_kib, s.fds, s.threads, s.pane, s.acks, s.ack_errors, s.answers);
      std::fflush(stdout);
      if (s.at_s >= seconds) break;
    }
    stop = true;
    device.join();
    peer.join();
    OnMain([&] { form->Close(); });
  });
  windows.Run(*form);
  director.join();
  form.reset();
  SetWindowSystem(nullptr);

  // The first sample is taken once traffic runs; the second is the baseline
  // after the first buffers have settled.
  if (samples.size() < 3) {
    std::printf("soak: too short to judge (%zu samples)\n", samples.size());
    return 1;
  }
  const Sample& first = samples[1];
  const Sample& last = samples.back();
  const long pane_kib = static_cast<long>((last.pane - first.pane) / 1024);
  const long allowance_kib = 32 * 1024;
  if (last.fds > first.fds) {
    std::printf("soak: descriptors grew from %d to %d\n", first.fds, last.fds);
    failed = true;
  }
  if (last.threads > first.threads) {
    std::printf("soak: threads grew from %d to %d\n", first.threads, last.threads);
    failed = true;
  }
  if (last.rss_kib - first.rss_kib > pane_kib + allowance_kib) {
    std::printf("soak: memory grew %ld KiB for %ld KiB of pane text\n",
                last.rss_kib - first.rss_kib, pane_kib);
    failed = true;
  }
  if (last.ack_errors > 0) {
    std::printf("soak: %ld wrong acknowledgements\n", last.ack_errors);
    failed = true;
  }
  if (last.acks == 0 || answers == 0) {
    std::printf("soak: no traffic got through\n");
    failed = true;
  }
  std::printf("soak: %s after %.0f s; %ld acknowledgements, %ld of %ld datagrams answered\n",
              failed ? "FAILED" : "passed", last.at_s, last.acks, answers.load(),
              sent_datagrams.load());
  return failed ? 1 : 0;
}
