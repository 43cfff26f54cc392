// The words for a pass-through's outcome, shared by the window's status line and the
// command-line runner.
#pragma once

#include <cstdint>
#include <string>

#include "transfer/PassThrough.h"

// A transfer rate in binary units, one decimal: "812.4 KiB/s" below 1 MiB/s, "3.2 MiB/s" from
// there. `bytesPerSecond` in bytes per second.
std::string FormatRate(double bytesPerSecond);

// The status line after a run:
//   " Verified : <N> Bytes identical, <rate>"          a completed capture equal to the file
//   " Mismatch : first difference at byte <K> of <N>"  a completed capture that differs (K from 0)
//   " Link lost : <why>"                               a link lost during the transfer
// Empty for the other ends: a time-out keeps the window's "Serial Timeout" / " Network Timeout",
// a capture that could not be stored has its message box, a cancel changes nothing.
std::string PassStatusText(const PassOutcome& out);

// A capture's byte count: "<stored> / <announced> Bytes".
std::string ByteCountText(int64_t stored, int64_t announced);

// "serial-to-net" or "net-to-serial", as the runner's --direction spells them.
const char* DirectionName(PassDirection direction);
