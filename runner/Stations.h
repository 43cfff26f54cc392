// A rack of devices under test: the stations the runner tests at once, and the serial settings a
// sweep goes through.
#pragma once

#include <string>
#include <vector>

#include "runner/Config.h"

// "NAME,SERIAL,HOST:PORT" or "NAME,SERIAL,listen:PORT". A name is 1 to 64 characters of letters,
// digits, '-', '_' and '.'. False with the error (one line) in *error.
bool ParseStation(const std::string& text, Station& out, std::string* error);
// A stations file: one station a line in the same form; '#' starts a comment, blank lines are
// skipped. Errors name the file and the line.
bool ReadStationsFile(const std::string& path, std::vector<Station>& out, std::string* error);
// Two stations may share neither a name, nor a serial device, nor a listening port.
bool CheckStations(const std::vector<Station>& stations, std::string* error);

// "--sweep baud=9600,115200": key "baud" and its values, each checked as the option of the same
// name checks it.
bool ParseSweep(const std::string& text, SweepAxis& out, std::string* error);
// Every combination of the axes over `base`, the first axis varying slowest; `base` alone
// without axes.
std::vector<LineSettings> SweepSettings(const LineSettings& base,
                                        const std::vector<SweepAxis>& axes);
// "115200 8N1", "9600 7E2", with " software" or " hardware" for flow control: how reports name
// a setting.
std::string SettingLabel(const LineSettings& s);
