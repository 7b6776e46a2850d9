// A new file written in full and flushed to disk, and the rename that puts
// it in the place of another; for the package writer, which writes beside
// the target and renames so that a failure never leaves half a file.
//
// Results are the C library's error numbers (0 for success), so that the
// caller words every failure the same way on every system.
//
// Backends: posix/NewFile.cpp (open O_EXCL, fsync, rename),
// win32/NewFile.cpp (CreateFileA CREATE_NEW, FlushFileBuffers, MoveFileExA).
// Threading: one object is used by one thread at a time; the functions are
// thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class CNewFile {
public:
    CNewFile();
    // Closes a file not committed, without flushing it.
    ~CNewFile();
    CNewFile(const CNewFile&) = delete;
    CNewFile& operator=(const CNewFile&) = delete;

    // Creates path, which must not exist yet: EEXIST when the name is taken.
    int Create(const std::string& path);
    int WriteAll(const uint8_t* data, size_t size);
    // Flushes the data to disk and closes the file.
    int Commit();

private:
    struct CState;
    std::unique_ptr<CState> m_pState;
};

// Renames from to to, replacing a file at to in one step.
int RenameOver(const std::string& from, const std::string& to);
void RemoveFile(const std::string& path);
unsigned long CurrentProcessId();

}  // namespace platform
