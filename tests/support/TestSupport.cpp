#include "tests/support/TestSupport.h"

#include <msiquery.h>
#include <cstdio>
#include <tlhelp32.h>
#include "base/Handles.h"

namespace cvtest {

_stringx Backslashed(const wchar_t* path) {
    std::wstring s(path);
    for (auto& c : s)
        if (c == L'/') c = L'\\';
    return s;
}

_stringx OutDir() { return Backslashed(CV_TEST_OUT); }
_stringx SourceDir() { return Backslashed(CV_TEST_SOURCE); }

void RemoveTree(const _stringx& folder) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(JoinPath(folder, L"*").c_str(), &data);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &data)) {
        std::wstring name = data.cFileName;
        _stringx path = JoinPath(folder, name.c_str());
        if (name == L"." || name == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            RemoveTree(path);
        } else {
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(path.c_str());
        }
    }
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
    RemoveDirectoryW(folder.c_str());
}

_stringx MakeFolders(const _stringx& folder) {
    for (size_t at = folder.find(L'\\', 3);; at = folder.find(L'\\', at + 1)) {
        CreateDirectoryW(folder.substr(0, at).c_str(), nullptr);
        if (at == _stringx::npos) return folder;
    }
}

_stringx FreshScratchDir(const wchar_t* name) {
    _stringx folder = JoinPath(Backslashed(CV_TEST_SCRATCH), name);
    RemoveTree(folder);
    return MakeFolders(folder);
}

bool CopyInto(const _stringx& file, const _stringx& folder) {
    _stringx name = file.substr(file.rfind(L'\\') + 1);  // npos + 1 == 0: the whole name
    return CopyFileW(file.c_str(), JoinPath(folder, name).c_str(), FALSE) != 0;
}

void WriteText(const _stringx& path, const std::string& utf8) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << "cannot write " << _stringx(path).AsNarrow();
    DWORD written = 0;
    WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    CloseHandle(file);
}

void WriteTextDated(const _stringx& path, const std::string& utf8, const FILETIME& base, int seconds) {
    WriteText(path, utf8);
    SetWriteTime(path, base, seconds);
}

void SetWriteTime(const _stringx& path, const FILETIME& base, int seconds) {
    ULARGE_INTEGER at;
    at.LowPart = base.dwLowDateTime;
    at.HighPart = base.dwHighDateTime;
    at.QuadPart += static_cast<ULONGLONG>(static_cast<LONGLONG>(seconds) * 10000000);
    FILETIME written{at.LowPart, at.HighPart};
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << _stringx(path).AsNarrow();
    EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &written));
    CloseHandle(file);
}

namespace {
// Reads a file or pipe to its end, and closes it.
std::string ReadToEnd(HANDLE file) {
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got) bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}
}  // namespace

std::string ReadBytes(const _stringx& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? std::string() : ReadToEnd(file);
}

bool FileExists(const _stringx& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

BOOL StartProcess(std::wstring commandLine, BOOL inheritHandles, DWORD flags, const wchar_t* workingFolder,
                  STARTUPINFOW& startup, PROCESS_INFORMATION& process) {
    std::wstring line = commandLine;  // CreateProcessW may write into its command line
    if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, inheritHandles, flags, nullptr, workingFolder, &startup,
                       &process))
        return TRUE;
    if (GetLastError() != ERROR_INTERNAL_ERROR) return FALSE;
    fwprintf(stderr, L"wine could not start %ls (ERROR_INTERNAL_ERROR); starting it once more\n", commandLine.c_str());
    return CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, inheritHandles, flags, nullptr, workingFolder,
                          &startup, &process);
}

DWORD RunProcess(const _stringx& commandLine, std::string* output, DWORD timeoutMs, const wchar_t* workingFolder) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return static_cast<DWORD>(-1);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = writeEnd;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process{};
    BOOL ok = StartProcess(commandLine.str(), TRUE, 0, workingFolder, startup, process);
    CloseHandle(writeEnd);
    std::string text = ReadToEnd(readEnd);  // an empty read when the process never started
    if (!ok) return static_cast<DWORD>(-1);
    WaitForSingleObject(process.hProcess, timeoutMs);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    if (output) *output = text;
    return code;
}

_stringx SystemText(HRESULT hr) {
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    _stringx result = n && text ? _stringx(n, text) : _stringx();
    LocalFree(text);
    return result;
}

ErrorInfoText TakeErrorInfo() {
    ErrorInfoText result;
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || !info) return result;
    result.present = true;
    auto take = [info](HRESULT(STDMETHODCALLTYPE IErrorInfo::*get)(BSTR*), _stringx& into) {
        BSTR text = nullptr;
        if (SUCCEEDED((info->*get)(&text)) && text) into = text;
        SysFreeString(text);
    };
    take(&IErrorInfo::GetDescription, result.description);
    take(&IErrorInfo::GetSource, result.source);
    info->GetGUID(&result.guid);
    info->Release();
    return result;
}

DebugOutputListener::DebugOutputListener() {
    bufferReady_ = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
    dataReady_ = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
    mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, L"DBWIN_BUFFER");
    if (!bufferReady_ || !dataReady_ || !mapping_) return;
    view_ = static_cast<const char*>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 4096));
    if (view_) thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    Sleep(20);
}

DWORD WINAPI DebugOutputListener::Run(void* self) {
    auto* listener = static_cast<DebugOutputListener*>(self);
    SetEvent(listener->bufferReady_);
    while (!listener->stop_) {
        if (WaitForSingleObject(listener->dataReady_, 50) != WAIT_OBJECT_0) continue;
        listener->received_ += listener->view_ + sizeof(DWORD);  // after the writer's process id
        SetEvent(listener->bufferReady_);
    }
    return 0;
}

std::string DebugOutputListener::Finish() {
    if (thread_ && !stop_) {
        Sleep(100);
        InterlockedExchange(&stop_, 1);
        WaitForSingleObject(thread_, 5000);
    }
    return received_;
}

DebugOutputListener::~DebugOutputListener() {
    Finish();
    if (view_) UnmapViewOfFile(view_);
    for (HANDLE handle : {thread_, mapping_, bufferReady_, dataReady_})
        if (handle) CloseHandle(handle);
}

HRESULT CanUnloadNow(const wchar_t* dll) {
    HMODULE module = GetModuleHandleW(dll);
    auto canUnload = module ? reinterpret_cast<HRESULT(WINAPI*)()>(GetProcAddress(module, "DllCanUnloadNow")) : nullptr;
    return !module ? S_OK : canUnload ? canUnload() : E_FAIL;
}

std::vector<DWORD> ChildrenNamed(DWORD parent, const wchar_t* image) {
    unique_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{sizeof(entry)};
    std::vector<DWORD> children;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry))
        if (entry.th32ParentProcessID == parent && _wcsicmp(entry.szExeFile, image) == 0)
            children.push_back(entry.th32ProcessID);
    return children;
}

void ComTest::SetUp() { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }

void ComTest::TearDown() {
    EXPECT_EQ(0u, MsiCloseAllHandles()) << "installer handles left open";
    // The DLL that COM loaded, by name: the server code linked into the test program keeps a lock count
    // of its own. Asked before CoUninitialize, which unloads a DLL that answers S_OK.
    EXPECT_EQ(S_OK, CanUnloadNow(L"CvMMUpdater2.dll")) << "an object of the loaded server is left";
    CoUninitialize();
}

}  // namespace cvtest
