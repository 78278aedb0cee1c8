// The simulator's command line.
#pragma once

#include <string>
#include <vector>

struct DevsimOptions {
  std::string ports_dir;  // empty: a fresh temporary directory, removed at the end
  int com = 1;
  bool packets = false;
  int rate = 200;  // frames per second in packet mode
  int burst = 0;   // packet mode: this many requests in one write at a time (0: steady rate)
  bool back_to_back = false;  // packet mode: the next request as soon as the last is answered
  std::string udp_host;
  int udp_port = 0;  // 0: no UDP side
  int seconds = 0;   // 0: until SIGINT or SIGTERM
  bool help = false;
};

struct ParsedOptions {
  DevsimOptions options;
  std::string error;  // one line; empty when the command line is good
};

// args are the arguments after the program name. Accepts "--name value" and
// "--name=value".
ParsedOptions ParseOptions(const std::vector<std::string>& args);

std::string UsageText();
