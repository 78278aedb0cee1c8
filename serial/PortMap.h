// Turns the port names the operator knows (COM1, COM2, ...) into device
// paths on this host.
#pragma once

#include <string>
#include <vector>

// The device path for name, or an empty text when the name maps to nothing.
// A name with a '/' is a path and is returned unchanged. COMn (any case,
// n >= 1) is the entry COMn of the directory named by TORIN5_PORTS when that
// variable names a directory; otherwise the n-th serial device of the host.
std::string ResolveCommPath(const std::string& name);

// The host's serial devices in the order COM1, COM2, ... : /dev/ttyS* ports
// that have a real UART, then /dev/ttyUSB*, then /dev/ttyACM*, each group in
// numeric order.
std::vector<std::string> HostSerialPorts();
