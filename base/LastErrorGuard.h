// Keeps the thread's last-error value across code that may change it (allocation, text copies), so
// a failing system call can still be reported after it.
#pragma once
#include <windows.h>

// Restores the thread's last-error value when it goes out of scope.
class LastErrorGuard {
public:
    LastErrorGuard() : saved_(GetLastError()) {}
    ~LastErrorGuard() { SetLastError(saved_); }
    LastErrorGuard(const LastErrorGuard&) = delete;
    LastErrorGuard& operator=(const LastErrorGuard&) = delete;

private:
    DWORD saved_;
};
