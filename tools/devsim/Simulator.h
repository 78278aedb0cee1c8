// The simulated device: a pseudo-terminal published as COMn, the text or
// packet traffic on it, and the UDP peer.
#pragma once

#include <csignal>
#include <cstdio>

#include "tools/devsim/Options.h"

// Runs until Options.seconds have passed or *Stop becomes non-zero, prints
// what it saw to Out and returns the exit status: 0, 1 when packet mode found
// missing or wrong acknowledgements or when the device could not be set up.
int RunSimulator(const DevsimOptions& Options, volatile std::sig_atomic_t* Stop, std::FILE* Out);
