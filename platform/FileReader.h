// One regular file opened for reading at any offset, for the package reader.
//
// Open refuses what is not a regular file (a folder, a FIFO, a device named
// by mistake) without blocking on it; errors are texts in the words of the
// C library's error numbers, the same on every system ("cannot open
// x.q: No such file or directory"). The file is closed by the destructor.
//
// Backends: posix/FileReader.cpp (open, fstat, pread), win32/FileReader.cpp
// (CreateFileA, GetFileSizeEx, ReadFile at an offset).
// Threading: one object is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// The longest path this system opens, in bytes with its terminator: 4096 on
// Linux (PATH_MAX), 260 on Windows (MAX_PATH, the limit of the ANSI calls).
size_t MaxPathBytes();

class CFileReader {
public:
    CFileReader();
    ~CFileReader();
    CFileReader(const CFileReader&) = delete;
    CFileReader& operator=(const CFileReader&) = delete;

    // False with error set ("cannot open <path>: <reason>").
    bool Open(const char* path, std::string& error);
    uint64_t Size() const;
    // Reads up to length bytes at offset, going on after short reads; returns
    // how many came (fewer only at the end of the file or on an error).
    size_t ReadAt(uint64_t offset, void* buffer, size_t length);

private:
    struct CState;
    std::unique_ptr<CState> m_pState;
};

}  // namespace platform
