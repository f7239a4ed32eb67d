// CvModuleReader.exe: reads module files for the server, one request at a time over the pipe named
// on its command line, and ends when that pipe closes. A file that faults the installer library
// ends this process at once, without a crash dialog or a debugger, and the server carries on.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <string>
#include "msi/ModuleData.h"
#include "server/Handles.h"

namespace {
LONG WINAPI EndAtOnce(EXCEPTION_POINTERS* exception) {
    TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

bool Write(HANDLE pipe, const char* data, DWORD size) {
    while (size > 0) {
        DWORD done = 0;
        if (!WriteFile(pipe, data, size, &done, nullptr) || done == 0) return false;
        data += done;
        size -= done;
    }
    return true;
}

// Requests come several in one write: whatever arrived is kept for the next.
bool Read(HANDLE pipe, char* data, DWORD size) {
    static std::string pending;
    while (pending.size() < size) {
        char chunk[1 << 16];
        DWORD done = 0;
        if (!ReadFile(pipe, chunk, sizeof chunk, &done, nullptr) || done == 0) return false;
        pending.append(chunk, done);
    }
    memcpy(data, pending.data(), size);
    pending.erase(0, size);
    return true;
}

#ifdef CV_READER_FAULTS
// A test build only: files named so make this reader fault, or stall once, as damaged files do.
void InjectFault(const _stringx& path) {
    if (path.find(L"fault-") != _stringx::npos) *static_cast<volatile int*>(nullptr) = 0;
    _stringx marker = path + L".stalled";
    if (path.find(L"stall-once-") != _stringx::npos && GetFileAttributesW(marker.c_str()) == INVALID_FILE_ATTRIBUTES) {
        CloseHandle(CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        Sleep(INFINITE);
    }
}
#endif

bool Serve(HANDLE pipe) {
    uint32_t length = 0;
    if (!Read(pipe, reinterpret_cast<char*>(&length), sizeof length) || length > (1u << 20)) return false;
    std::string request(length, '\0');
    if (length && !Read(pipe, &request[0], length)) return false;
    ModuleRead what;
    _stringx path, argument;
    if (!DecodeRequest(request, what, path, argument)) return false;
    ModuleReadResult result;
#ifdef CV_READER_FAULTS
    InjectFault(path);
#endif
    PerformModuleRead(what, path, argument, result);
    std::string reply(sizeof(uint32_t), '\0');
    EncodeResult(result, reply);
    length = static_cast<uint32_t>(reply.size() - sizeof(uint32_t));
    memcpy(&reply[0], &length, sizeof length);
    return Write(pipe, reply.data(), static_cast<DWORD>(reply.size()));
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
    if (!arguments || count != 2) return 2;
    unique_file pipe(CreateFileW(arguments[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    LocalFree(arguments);
    if (!pipe) return 2;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    while (Serve(pipe.get())) {
    }
    return 0;
}
