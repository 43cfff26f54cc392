#include "platform/Paths.h"

#include <QDir>
#include <QStandardPaths>

#include <unistd.h>
#include <ctime>

namespace platform {

std::string ProgramDirectory() {
    // The executable's full path, cut back to and including its last '/'. A path without any
    // '/' leaves an empty directory part.
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    std::string path(buf, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string CaptureDirectory(const std::string& program) {
    if (!program.empty() && ::access(program.c_str(), W_OK | X_OK) == 0)
        return program;
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty())
        return {};
    const QString dir = documents + QStringLiteral("/Vaskel");
    if (!QDir().mkpath(dir))
        return {};
    return dir.toStdString() + "/";
}

LocalTime GetLocalTime() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

}  // namespace platform
