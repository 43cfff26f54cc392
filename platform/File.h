// Files: the framework's CFile over POSIX descriptors.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

class CFile {
public:
    CFile() = default;
    ~CFile() { Close(); }
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // Read only, not shared: fails when another opener holds the file locked.
    bool OpenRead(const std::string& path);
    // Write only, created or truncated, mode 0644, not shared (an exclusive flock). Fails
    // (ELOOP) when the last part of the path is a symbolic link, leaving its target untouched.
    bool OpenCreateWrite(const std::string& path);
    bool IsOpen() const { return m_fd >= 0; }
    // Bytes read, 0 at the end, -1 on an error.
    long Read(void* buf, unsigned long count);
    // Writes every byte; false when the write failed or fell short (disk full).
    bool Write(const void* buf, unsigned long count);
    // File length in bytes, -1 on an error.
    int64_t GetLength() const;
    // False once the open file has no name left on disk (it or its folder was removed): writes
    // still succeed on Linux, into a file nobody will find. Sets LastError then.
    bool IsLinked();
    // Cuts a regular file back to `length` bytes (a longer file only; other kinds are left).
    void TruncateTo(int64_t length);
    void Close();
    // strerror of the last failed operation.
    const std::string& LastError() const { return m_lastError; }

private:
    int m_fd = -1;
    std::string m_lastError;
};

}  // namespace platform
