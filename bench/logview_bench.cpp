// The log pane at the size of a shift of logging, through the window (Qt
// offscreen), next to Qt's plain-text editor (the view the console had
// before, bench/editor_view) measured in the same run:
// - resident memory per byte of pane text after 100 MB and 1 GB of
//   packet-mode hex lines and after 100 MB of random printable text;
// - time to append 1 MB to a full pane versus an empty one;
// - time to show one screen at the end, middle and start of a full pane
//   versus a pane of 1 MB (first paint after the jump, and repaints);
// - time for "Очистить" on a full pane and the memory left after it;
// - 8000-byte datagrams shown per second by the real console, with and
//   without CR LF at their ends.
// Each case runs in a process of its own, so one case's freed memory is not
// the next one's resident set. The editor cannot hold more than 100 MB here.
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QScrollBar>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/LogPane.h"
#include "app/fBase.h"
#include "bench/editor_view.h"
#include "bench/udp_baseline.h"
#include "controls/qt/QtLogView.h"
#include "controls/qt/QtPeers.h"
#include "controls/qt/QtWindowSystem.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kMB = 1 << 20;
const TFont kPaneFont{"Arial", 8, true, true};

double MsSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

long long Rss() {
  long long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%lld %lld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * sysconf(_SC_PAGESIZE);
}

// The resident set once it stops shrinking (memory is given back by a
// worker), within two seconds.
long long SettledRss() {
  long long last = Rss();
  for (int i = 0; i < 40; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    QCoreApplication::processEvents();
    const long long now = Rss();
    if (now >= last && i > 2) return now;
    last = now;
  }
  return last;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// Lines the pane gets: packet-mode hex ("Rx- " and 300 random bytes as hex
// pairs, each followed by a blank), or random printable bytes 0x20-0xFF in
// lines of 1 to 200. The pool is far larger than a block, so no block sees
// a line twice.
class Lines {
 public:
  explicit Lines(bool Hex) {
    std::mt19937 rng(42);
    const char* digits = "0123456789ABCDEF";
    for (int i = 0; i < 8192; ++i) {
      std::string l;
      if (Hex) {
        l = "Rx- ";
        for (int k = 0; k < 300; ++k) {
          const unsigned b = rng() % 256;
          l += digits[b >> 4];
          l += digits[b & 15];
          l += ' ';
        }
      } else {
        const int n = 1 + static_cast<int>(rng() % 200);
        for (int k = 0; k < n; ++k) l += static_cast<char>(0x20 + rng() % 224);
      }
      pool_.push_back(std::move(l));
    }
  }
  const std::string& Next() { return pool_[next_++ % pool_.size()]; }

 private:
  std::vector<std::string> pool_;
  std::size_t next_ = 0;
};

// The pane, its memo and the view, wired as the console wires them.
struct Ours {
  TLogPane pane;
  TForm form{nullptr};
  TMemo* memo;
  TLogView* view;
  Ours() {
    form.SetClientSize(800, 600);
    memo = new TMemo(&form);
    memo->SetParent(&form);
    memo->SetAlign(alClient);
    memo->SetFont(kPaneFont);
    memo->SetColor(clCream);
    memo->SetScrollBars(ssVertical);
    memo->ShowText(&pane.Store());
    pane.OnAppend = [this](std::string_view s) { memo->AppendText(s); };
    pane.OnClear = [this] { memo->ClearText(); };
    form.Show();
    view = dynamic_cast<TLogView*>(TQtWindowSystem::WidgetOf(*memo));
  }
  std::size_t Size() const { return pane.Size(); }
  void AddLine(const std::string& l) { pane.LogAddLine(l); }
  void Flush() { view->Flush(); }
  void Settle() { pane.Store().WaitIdle(); }
  void DropCache() { pane.Store().DropCache(); }
  void Clear() { pane.LogClear(); }
  QAbstractScrollArea* Area() { return view; }
};

// The editor on its own, as the console fed it.
struct Editor {
  TEditorView view;
  std::size_t size = 0;
  Editor() {
    view.resize(792, 592);
    view.setFont(MapFont(kPaneFont));
    view.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    view.show();
  }
  std::size_t Size() const { return size; }
  void AddLine(const std::string& l) {
    view.AppendBytes(l);
    view.AppendBytes("\r\n");
    size += l.size() + 2;
  }
  void Flush() { view.Flush(); }
  void Settle() {}
  void DropCache() {}
  void Clear() {
    view.ClearAll();
    size = 0;
  }
  QAbstractScrollArea* Area() { return &view; }
};

void Print(const char* key, double value) {
  std::printf("%s=%.6g\n", key, value);
  std::fflush(stdout);
}

template <class Pane>
void FillTo(Pane& p, Lines& lines, std::size_t bytes) {
  std::size_t next_turn = p.Size() + kMB;
  while (p.Size() < bytes) {
    p.AddLine(lines.Next());
    if (p.Size() >= next_turn) {  // the loop turns as it does under a stream
      QCoreApplication::processEvents();
      next_turn += kMB;
    }
  }
  p.Flush();
  QCoreApplication::processEvents();
}

double ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

struct Cost {
  double wall_ms, cpu_ms;
};

// 1 MB of lines, taken in and painted as one frame would.
template <class Pane>
Cost AppendOneMb(Pane& p, Lines& lines) {
  const double cpu = ThreadCpuMs();
  const auto t = Clock::now();
  const std::size_t end = p.Size() + kMB;
  while (p.Size() < end) p.AddLine(lines.Next());
  p.Flush();
  p.Area()->viewport()->repaint();
  return {MsSince(t), ThreadCpuMs() - cpu};
}

template <class Pane>
void AppendMegabytes(Pane& p, Lines& lines, int n, const char* key, std::vector<Cost> costs = {}) {
  // Each megabyte starts with the packer idle, as it is in use: a shift
  // brings a megabyte in seconds, not milliseconds.
  while (static_cast<int>(costs.size()) < n) {
    p.Settle();
    costs.push_back(AppendOneMb(p, lines));
  }
  std::vector<double> wall, cpu;
  for (const Cost& c : costs) {
    wall.push_back(c.wall_ms);
    cpu.push_back(c.cpu_ms);
  }
  Print((std::string(key) + "_ms").c_str(), Median(wall));
  Print((std::string(key) + "_cpu_ms").c_str(), Median(cpu));
}

// One screen at a scroll-bar position: shown after the jump with nothing
// of the text at hand (the pane's unpacked blocks dropped), and repainted.
template <class Pane>
void PaintAt(Pane& p, const char* where, const char* size) {
  QScrollBar* bar = p.Area()->verticalScrollBar();
  const int value = std::string(where) == "end"   ? bar->maximum()
                    : std::string(where) == "mid" ? bar->maximum() / 2
                                                  : 0;
  std::vector<double> first, again;
  for (int i = 0; i < 5; ++i) {
    bar->setValue(value == 0 ? bar->maximum() : 0);  // away first
    p.Area()->viewport()->repaint();
    p.DropCache();
    auto t = Clock::now();
    bar->setValue(value);
    p.Area()->viewport()->repaint();
    first.push_back(MsSince(t));
    t = Clock::now();
    p.Area()->viewport()->repaint();
    again.push_back(MsSince(t));
  }
  Print((std::string("paint_first_") + where + "_" + size).c_str(), Median(first));
  Print((std::string("paint_again_") + where + "_" + size).c_str(), Median(again));
}

template <class Pane>
void PaintScreens(Pane& p, const char* size) {
  for (const char* where : {"end", "mid", "start"}) PaintAt(p, where, size);
}

// Fills a pane with hex lines to Full bytes, measuring on the way.
template <class Pane>
void RunHex(std::size_t Full, bool AlsoAt100) {
  Lines lines(true);
  const long long base = SettledRss();
  {
    Pane p;
    QCoreApplication::processEvents();
    const long long start = Rss();
    // The first megabytes into an empty pane; the screens at 1 MB.
    const Cost first = AppendOneMb(p, lines);
    PaintScreens(p, "small");
    AppendMegabytes(p, lines, 9, "append_empty", {first});
    if (AlsoAt100) {
      FillTo(p, lines, 100 * kMB);
      p.Settle();
      QCoreApplication::processEvents();
      Print("rss_per_byte_100", static_cast<double>(Rss() - start) / p.Size());
    }
    FillTo(p, lines, Full);
    p.Settle();
    QCoreApplication::processEvents();
    Print("full_mb", static_cast<double>(p.Size()) / kMB);
    Print("rss_per_byte_full", static_cast<double>(Rss() - start) / p.Size());
    AppendMegabytes(p, lines, 9, "append_full");
    PaintScreens(p, "full");
    const auto t = Clock::now();
    p.Clear();
    p.Area()->viewport()->repaint();
    Print("clear_ms", MsSince(t));
    p.Settle();
    Print("rss_after_clear_mb", static_cast<double>(SettledRss() - base) / kMB);
  }
}

template <class Pane>
void RunText() {
  Lines lines(false);
  Pane p;
  QCoreApplication::processEvents();
  const long long start = Rss();
  FillTo(p, lines, 100 * kMB);
  p.Settle();
  QCoreApplication::processEvents();
  Print("rss_per_byte_text", static_cast<double>(Rss() - start) / p.Size());
}

// The console with the editor in place of the log view.
class TEditorMemoPeer : public TQtPeer<TMemoPeer, TEditorView> {
 public:
  TEditorMemoPeer(TMemo& Control, QWidget* Parent)
      : TQtPeer(Control, new TEditorView(Parent), true, true) {}
  void SetReadOnly(bool) override {}
  void SetWordWrap(bool) override {}
  void SetScrollBars(TScrollStyle) override {
    w()->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  }
  void ShowText(const TLogText& t) override { w()->AppendBytes(t.Text()); }
  void AppendText(std::string_view s) override { w()->AppendBytes(s); }
  void ClearText() override { w()->ClearAll(); }
};

class TEditorWindows : public TQtWindowSystem {
 public:
  using TQtWindowSystem::TQtWindowSystem;
  std::unique_ptr<TMemoPeer> CreatePeer(TMemo& Control) override {
    return std::make_unique<TEditorMemoPeer>(Control, WidgetOf(*Control.Parent()));
  }
};

void RunDatagrams(TQtWindowSystem& windows, bool CrLf, int Count) {
  SetWindowSystem(&windows);
  {
    TBaseform form(nullptr);
    form.Show();
    const int port = udpbench::LoopbackSocket().port();
    form.EdPort->SetText(std::to_string(port));
    form.ChBxActiv->SetChecked(true);
    std::string payload;
    std::mt19937 rng(1);
    for (int i = 0; i < 8000; ++i) payload += static_cast<char>('!' + rng() % 94);
    if (CrLf) payload += "\r\n";
    udpbench::Flood flood;
    // The console's own loop runs meanwhile and sleeps when it has nothing
    // to do, as under `make run`.
    QEventLoop loop;
    double cpu = 0;
    std::thread client([&] {
      udpbench::MeasureFlood(port, 50, 8, payload);  // warm-up
      QMetaObject::invokeMethod(
          &loop, [&] { cpu = ThreadCpuMs(); }, Qt::BlockingQueuedConnection);
      flood = udpbench::MeasureFlood(port, Count, 8, payload);
      QMetaObject::invokeMethod(
          &loop, [&] { loop.quit(); }, Qt::QueuedConnection);
    });
    loop.exec();
    client.join();
    Print("main_cpu_us_per_datagram", (ThreadCpuMs() - cpu) * 1e3 / Count);
    Print("datagrams_per_s", flood.per_second);
    Print("datagrams_answered", flood.answered);
    if (auto* view = dynamic_cast<TLogView*>(TQtWindowSystem::WidgetOf(*form.MemMess))) {
      Print("frames", static_cast<double>(view->FrameCount()));
      Print("paints", static_cast<double>(view->PaintCount()));
      Print("seconds", flood.seconds);
    }
  }
  SetWindowSystem(nullptr);
}

int RunCase(const std::string& name, int argc, char** argv) {
  const std::size_t full = static_cast<std::size_t>(
      std::atof(std::getenv("LOGVIEW_BENCH_MB") ? std::getenv("LOGVIEW_BENCH_MB") : "1024") * kMB);
  if (name.rfind("console-", 0) == 0) {
    const bool crlf = name.find("crlf") != std::string::npos;
    if (name.find("editor") != std::string::npos) {
      TEditorWindows windows(argc, argv);
      RunDatagrams(windows, crlf, 4000);
    } else {
      TQtWindowSystem windows(argc, argv);
      RunDatagrams(windows, crlf, 4000);
    }
    return 0;
  }
  TQtWindowSystem windows(argc, argv);
  SetWindowSystem(&windows);
  if (name == "ours-hex") RunHex<Ours>(full, true);
  if (name == "editor-hex") RunHex<Editor>(std::min(full, 100 * kMB), false);
  if (name == "ours-text") RunText<Ours>();
  if (name == "editor-text") RunText<Editor>();
  SetWindowSystem(nullptr);
  return 0;
}

using Figures = std::map<std::string, double>;

Figures RunChild(const char* self, const std::string& name) {
  Figures f;
  const std::string command = std::string(self) + " " + name;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return f;
  char line[256];
  while (std::fgets(line, sizeof line, pipe)) {
    const std::string l(line);
    const auto eq = l.find('=');
    if (eq != std::string::npos) f[l.substr(0, eq)] = std::atof(l.c_str() + eq + 1);
  }
  pclose(pipe);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  int qt_argc = 1;
  if (argc > 1) return RunCase(argv[1], qt_argc, argv);

  char self[4096] = {};
  if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 1;
  std::map<std::string, Figures> r;
  for (const char* c : {"ours-hex", "editor-hex", "ours-text", "editor-text", "console-ours-crlf",
                        "console-ours-nocrlf", "console-editor-crlf", "console-editor-nocrlf"}) {
    std::fprintf(stderr, "running %s\n", c);
    r[c] = RunChild(self, c);
  }
  Figures& o = r["ours-hex"];
  Figures& e = r["editor-hex"];
  std::printf("log view vs Qt's plain-text editor, same run (full: ours %.0f MB, editor %.0f MB)\n",
              o["full_mb"], e["full_mb"]);
  std::printf("  resident bytes per byte, hex lines @100 MB:   ours %6.3f   editor %6.3f\n",
              o["rss_per_byte_100"], e["rss_per_byte_full"]);
  std::printf("  resident bytes per byte, hex lines @full:     ours %6.3f (target <= 0.5)\n",
              o["rss_per_byte_full"]);
  std::printf(
      "  resident bytes per byte, random text @100 MB: ours %6.3f   editor %6.3f (target <= 1.2)\n",
      r["ours-text"]["rss_per_byte_text"], r["editor-text"]["rss_per_byte_text"]);
  for (const char* kind : {"", "_cpu"}) {
    auto k = [&](const char* at) { return std::string("append_") + at + kind + "_ms"; };
    std::printf(
        "  append 1 MB, ms %s, empty -> full:  ours %.2f -> %.2f (ratio %.2f, target <= 1.2)"
        "   editor %.2f -> %.2f (ratio %.2f)\n",
        *kind ? "main-thread CPU" : "wall", o[k("empty")], o[k("full")],
        o[k("full")] / o[k("empty")], e[k("empty")], e[k("full")], e[k("full")] / e[k("empty")]);
  }
  for (const char* kind : {"first", "again"}) {
    for (const char* where : {"end", "mid", "start"}) {
      auto k = [&](const char* size) {
        return std::string("paint_") + kind + "_" + where + "_" + size;
      };
      std::printf(
          "  paint one screen (%s) at %-5s ms, 1 MB -> full:  ours %.2f -> %.2f (ratio %.2f)"
          "   editor %.2f -> %.2f (ratio %.2f)\n",
          kind, where, o[k("small")], o[k("full")], o[k("full")] / o[k("small")], e[k("small")],
          e[k("full")], e[k("full")] / e[k("small")]);
    }
  }
  std::printf("  clear, ms:  ours %.2f at %.0f MB (target < 50)   editor %.2f at %.0f MB\n",
              o["clear_ms"], o["full_mb"], e["clear_ms"], e["full_mb"]);
  std::printf("  resident growth left after clear, MB:  ours %.1f   editor %.1f\n",
              o["rss_after_clear_mb"], e["rss_after_clear_mb"]);
  for (const char* end : {"crlf", "nocrlf"}) {
    Figures& co = r[std::string("console-ours-") + end];
    Figures& ce = r[std::string("console-editor-") + end];
    std::printf(
        "  8000-byte datagrams %s through the console, per s (target >= 5000):"
        "  ours %.0f (%.0f answered, main thread %.1f us CPU each, %.0f frames/s)"
        "   editor %.0f (%.0f answered, main thread %.1f us CPU each)\n",
        std::string(end) == "crlf" ? "with CR LF" : "without line end", co["datagrams_per_s"],
        co["datagrams_answered"], co["main_cpu_us_per_datagram"], co["frames"] / co["seconds"],
        ce["datagrams_per_s"], ce["datagrams_answered"], ce["main_cpu_us_per_datagram"]);
  }
  return 0;
}
