// A file's size and last-write time: tells whether a file read earlier may have changed since.
#pragma once
#include <windows.h>
#include <memory>
#include <string>

struct FileStamp {
    bool present = false;
    ULONGLONG size = 0;
    FILETIME written{};

    static FileStamp Of(const wchar_t* path) {
        FileStamp stamp;
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return stamp;
        stamp.present = true;
        stamp.size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        stamp.written = data.ftLastWriteTime;
        return stamp;
    }

    // The same file contents as far as a listing can tell: both present, same size and time.
    bool SameAs(const FileStamp& other) const {
        return present && other.present && size == other.size && CompareFileTime(&written, &other.written) == 0;
    }

    // True when what was read under `earlier` still holds: same size and time, and the time lies
    // more than two seconds back, since a change within the file system's time resolution (or a
    // clock set back) would not show in it.
    bool Matches(const FileStamp& earlier) const {
        if (!SameAs(earlier)) return false;
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        ULONGLONG at = (static_cast<ULONGLONG>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
        ULONGLONG current = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
        return at + 2 * 10000000ull <= current;  // FILETIME counts 100 ns
    }
};

// What was last read from a file, handed out again while the file's stamp matches. Safe to share
// between threads; reading happens outside the lock.
template <typename T>
class KeptFromFile {
public:
    // `read()` gives a new value (or null, or raises); only a value read from a present file is kept.
    template <typename Read>
    std::shared_ptr<const T> Get(const std::wstring& path, Read read) {
        const FileStamp stamp = FileStamp::Of(path.c_str());  // taken first: a later change shows next time
        AcquireSRWLockShared(&lock_);
        std::shared_ptr<const T> value = value_ && path == path_ && stamp.Matches(stamp_) ? value_ : nullptr;
        ReleaseSRWLockShared(&lock_);
        if (value) return value;
        value = read();
        if (value && stamp.present) {
            AcquireSRWLockExclusive(&lock_);
            path_ = path;
            stamp_ = stamp;
            value_ = value;
            ReleaseSRWLockExclusive(&lock_);
        }
        return value;
    }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
    std::wstring path_;
    FileStamp stamp_;
    std::shared_ptr<const T> value_;
};
