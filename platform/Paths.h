// Where the program lives and what time it is, both redirectable for tests.
#pragma once

#include <string>

namespace platform {

// Directory of the running executable, with its trailing '/'.
std::string ProgramDirectory();
// Makes ProgramDirectory() return `dir` (which must end in '/'); an empty string restores the
// real lookup.
void SetProgramDirectory(const std::string& dir);

// Where captured files go: the program's directory when this user may write there (a build
// folder), else the user's documents folder under "Vaskel/" (an installed program in /usr/bin),
// created when needed. With its trailing '/'; empty when neither can be used.
std::string CaptureDirectory();

struct LocalTime {
    int year, month, day, hour, minute, second;
};
LocalTime GetLocalTime();
// Fixes the clock for tests; nullptr restores the real one.
void SetLocalTimeSource(LocalTime (*source)());

}  // namespace platform
