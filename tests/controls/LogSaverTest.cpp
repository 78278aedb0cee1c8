#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "controls/Cp1251.h"
#include "controls/LogSaver.h"
#include "controls/LogText.h"
#include "tests/controls/SavePaths.h"

namespace {

namespace fs = std::filesystem;

std::string Utf8(const fs::path& p) {
  const std::u8string s = p.u8string();
  return {s.begin(), s.end()};
}

fs::path FromUtf8(const std::string& s) {
  return fs::path(std::u8string(s.begin(), s.end()));
}

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Packet-mode lines with Cyrillic, the stand-in bytes and a CR LF at every
// slice boundary there may be, MB megabytes of them.
std::string Lines(std::size_t MB) {
  std::string line = Utf8ToCp1251("Принято Rx- 1E 02 05 01 C3 ") + "\x98\xAD\x7F\r\n";
  std::string out;
  while (out.size() < MB * (1 << 20)) out += line;
  return out;
}

struct Dir {
  fs::path path =
      fs::temp_directory_path() /
      ("t5-save-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  Dir() { fs::create_directories(path); }
  ~Dir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

TEST(LogSaver, WritesThePaneAsUtf8WithCrLf) {
  struct Case {
    const char* name;
    std::string pane;
    std::string expect;
  };
  const std::string big = Lines(3);
  const std::vector<Case> cases = {
      {"Cyrillic, stand-ins and line ends",
       Utf8ToCp1251("Привет") + "\r\nRx- 1E 02 \x98\xAD\x7F\x01\r\nend",
       "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82\r\nRx- 1E 02 "
       "\xC2\x98\xC2\xAD\x7F\x01\r\nend"},
      {"an empty pane", "", ""},
      {"a pane of many slices", big, Cp1251ToUtf8(big)},
  };
  Dir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TLogText text;
    text.Append(c.pane);
    const fs::path file = dir.path / u8"журнал.txt";
    TLogSaver saver(text, Utf8(file));
    saver.Run();
    EXPECT_TRUE(saver.Saved());
    EXPECT_EQ(saver.Error(), "");
    EXPECT_EQ(saver.Percent(), 100);
    EXPECT_TRUE(Slurp(file) == c.expect);
    EXPECT_EQ(fs::file_size(file), c.expect.size());
  }
}

TEST(LogSaver, AFailureOrACancelLeavesNoFile) {
  struct Case {
    std::string name;
    std::string path;
    std::string error;  // empty: cancelled after the first slice
  };
  Dir dir;
  const std::string prefix = "Не удалось сохранить журнал в файл ";
  std::vector<Case> cases = {
      {"a folder that does not exist", Utf8(dir.path / u8"нет" / "log.txt"), "Такой папки нет."},
      {"cancelled", Utf8(dir.path / "cancelled.txt"), ""},
  };
  for (const SavePath& p : FailingSavePaths(Utf8(dir.path)))
    cases.push_back({p.name, p.path, p.why});
  TLogText text;
  text.Append(Lines(32));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool existed = fs::exists(FromUtf8(c.path));
    TLogSaver saver(text, c.path);
    if (c.error.empty()) {
      saver.Step(std::chrono::milliseconds(0));  // one slice converted, then the loop's turn
      saver.Cancel();
      EXPECT_EQ(saver.Error(), "");
    } else {
      saver.Run();
      EXPECT_EQ(saver.Error(), prefix + c.path + "\n" + c.error);
    }
    EXPECT_TRUE(saver.Done());
    EXPECT_FALSE(saver.Saved());
    // What was there before (a device) stays; what the save made is gone.
    EXPECT_EQ(fs::exists(FromUtf8(c.path)), existed);
  }
}

}  // namespace
