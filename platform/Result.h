// The outcome of an engine operation, as a value: what the user is told, the operating system's
// reason and its errno. The engine never shows a box; the window or the runner turns a failed
// result into a message box or a line on stderr.
#pragma once

#include <string>
#include <utility>

namespace platform {

struct Result {
    bool ok = true;
    std::string text;    // the user's text ("Can't open PORT"); empty when ok
    std::string reason;  // the OS's reason ("/dev/ttyS0: Permission denied"), may be empty
    int error = 0;       // errno behind the reason, 0 when there is none
    std::string hint;    // what the user can do about it, may be empty

    static Result Ok() { return {}; }
    static Result Fail(std::string text, std::string reason = {}, int error = 0) {
        return {false, std::move(text), std::move(reason), error, {}};
    }
    explicit operator bool() const { return ok; }
};

}  // namespace platform
