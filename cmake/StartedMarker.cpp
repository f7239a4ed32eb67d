// Linked into every program that wine-run.sh starts with --started-marker: the marker file it writes
// before main tells a program that started (and perhaps failed) from a launch that died inside wine.
#include <windows.h>

namespace {
struct StartedMarker {
    StartedMarker() {
        wchar_t path[MAX_PATH];
        DWORD length = GetEnvironmentVariableW(L"CV_STARTED_MARKER", path, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) return;
        HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        // Not for the programs this one starts.
        SetEnvironmentVariableW(L"CV_STARTED_MARKER", nullptr);
    }
} startedMarker;
}  // namespace
