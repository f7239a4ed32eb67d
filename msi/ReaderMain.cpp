// CvModuleReader.exe: reads module files for the server, one request at a time over the pipe named
// on its command line, and ends when that pipe closes. A file that faults the installer library
// ends this process at once, without a crash dialog or a debugger, and the server carries on.
//
// Replies are written a few at a time (each write is a trip through the platform's server). So
// that the server still knows which file a dead or stalled reader was reading, the reader counts
// the requests it has begun in a shared section named on its command line.
//
// A reader stuck in a read would notice a closed pipe only when that read ends: it also watches
// the server's process and ends with it.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <string>
#include "msi/ModuleData.h"
#include "msi/ReaderWire.h"
#include "base/Handles.h"

namespace {
LONG WINAPI EndAtOnce(EXCEPTION_POINTERS* exception) {
    TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

// Replies held back at most this many; always written before the reader waits for requests.
constexpr int kRepliesPerWrite = 8;

volatile LONG* g_begun = nullptr;
std::string g_pending, g_unsent;
int g_unsentCount = 0;

bool Write(HANDLE pipe, const char* data, DWORD size) {
    while (size > 0) {
        DWORD done = 0;
        if (!WriteFile(pipe, data, size, &done, nullptr) || done == 0) return false;
        data += done;
        size -= done;
    }
    return true;
}

bool Flush(HANDLE pipe) {
    bool written = g_unsent.empty() || Write(pipe, g_unsent.data(), static_cast<DWORD>(g_unsent.size()));
    g_unsent.clear();
    g_unsentCount = 0;
    return written;
}

// Requests come several in one write: whatever arrived is kept for the next. The replies held back
// are written before waiting for more.
bool NextRequest(HANDLE pipe, std::string& request) {
    for (uint32_t length = 0;;) {
        switch (PeekFrame(g_pending, kLargestRequest, length)) {
        case FrameState::Complete:
            TakeFrame(g_pending, length, request);
            return true;
        case FrameState::TooLarge:
            return false;
        case FrameState::Incomplete:
            break;
        }
        if (!Flush(pipe)) return false;
        char chunk[1 << 16];
        DWORD done = 0;
        if (!ReadFile(pipe, chunk, sizeof chunk, &done, nullptr) || done == 0) return false;
        g_pending.append(chunk, done);
    }
}

#ifdef CV_READER_FAULTS
// A test build only: files named so make this reader fault, or stall once, as damaged files do, or
// take a while, as large files do.
void InjectFault(const _stringx& path) {
    if (path.find(L"fault-") != _stringx::npos) *static_cast<volatile int*>(nullptr) = 0;
    if (path.find(L"slow-") != _stringx::npos) Sleep(150);
    _stringx marker = path + L".stalled";
    if (path.find(L"stall-once-") != _stringx::npos && GetFileAttributesW(marker.c_str()) == INVALID_FILE_ATTRIBUTES) {
        CloseHandle(CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        Sleep(INFINITE);
    }
}
#endif

DWORD WINAPI EndWithServer(LPVOID server) {
    WaitForSingleObject(static_cast<HANDLE>(server), INFINITE);
    TerminateProcess(GetCurrentProcess(), 3);
    return 0;
}

// The process at the other end of the pipe is the server that started this reader.
bool WatchServer(HANDLE pipe) {
    ULONG serverId = 0;
    if (!GetNamedPipeServerProcessId(pipe, &serverId)) return false;
    HANDLE server = OpenProcess(SYNCHRONIZE, FALSE, serverId);
    if (!server) return false;
    HANDLE watcher = CreateThread(nullptr, 64 * 1024, EndWithServer, server, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!watcher) return false;
    CloseHandle(watcher);
    return true;
}

bool Serve(HANDLE pipe) {
    std::string request;
    if (!NextRequest(pipe, request)) return false;
    ModuleRead what;
    _stringx path, argument;
    if (!DecodeRequest(request, what, path, argument)) return false;
    ModuleReadResult result;
    InterlockedIncrement(g_begun);
#ifdef CV_READER_FAULTS
    InjectFault(path);
#endif
    PerformModuleRead(what, path, argument, result);
#ifdef CV_READER_FAULTS
    // A reply that answers for another file, as a confused reader would send.
    if (path.find(L"misreply-") != _stringx::npos) result.Path += L"x";
#endif
    // A reply larger than the server accepts ends this reader, as a fault would.
    if (!AppendFrame(g_unsent, kLargestReply, [&](std::string& out) { EncodeResult(result, out); })) return false;
    return ++g_unsentCount < kRepliesPerWrite || Flush(pipe);
}
}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(EndAtOnce);
#ifdef CV_READER_FAULTS
    // Every start is counted beside the executable.
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    HANDLE log = CreateFileW((std::wstring(self) + L".starts").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(log, "x", 1, &written, nullptr);
    CloseHandle(log);
#endif
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments || count != 3) return 2;
    unique_file pipe(CreateFileW(arguments[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    unique_handle section(OpenFileMappingW(FILE_MAP_WRITE, FALSE, arguments[2]));
    LocalFree(arguments);
    if (!pipe || !section || !WatchServer(pipe.get())) return 2;
    unique_view progress(MapViewOfFile(section.get(), FILE_MAP_WRITE, 0, 0, sizeof(LONG)));
    if (!progress) return 2;
    g_begun = static_cast<volatile LONG*>(progress.get());
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    while (Serve(pipe.get())) {
    }
    return 0;
}
