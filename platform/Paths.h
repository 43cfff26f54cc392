// Where the program lives and what time it is. Both are plain lookups; an object that needs
// another folder or clock (a test, a second engine) is given them as values.
#pragma once

#include <string>

namespace platform {

// Directory of the running executable, with its trailing '/'.
std::string ProgramDirectory();

// Where captured files go: the program directory `programDir` when this user may write there (a
// build folder), else the user's documents folder under "Vaskel/" (an installed program in
// /usr/bin), created when needed. With its trailing '/'; empty when neither can be used.
std::string CaptureDirectory(const std::string& programDir = ProgramDirectory());

struct LocalTime {
    int year, month, day, hour, minute, second;
};
// The local time now.
LocalTime GetLocalTime();

}  // namespace platform
