#include "tests/support/TestSupport.h"

#include <msiquery.h>
#include <shlwapi.h>
#include <fstream>
#include <vector>

namespace cvtest {
namespace {
_stringx Backslashed(const wchar_t* path) {
    std::wstring s(path);
    for (auto& c : s)
        if (c == L'/') c = L'\\';
    return s;
}
}  // namespace

_stringx OutDir() { return Backslashed(CV_TEST_OUT); }
_stringx SourceDir() { return Backslashed(CV_TEST_SOURCE); }

void RemoveTree(const _stringx& folder) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(JoinPath(folder, L"*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            _stringx path = JoinPath(folder, name.c_str());
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

_stringx FreshScratchDir(const wchar_t* name) {
    _stringx root = Backslashed(CV_TEST_SCRATCH);
    CreateDirectoryW(root.c_str(), nullptr);
    _stringx folder = JoinPath(root, name);
    RemoveTree(folder);
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

bool CopyInto(const _stringx& file, const _stringx& folder) {
    size_t slash = file.rfind(L'\\');
    _stringx name = slash == _stringx::npos ? file : file.substr(slash + 1);
    return CopyFileW(file.c_str(), JoinPath(folder, name).c_str(), FALSE) != 0;
}

void WriteText(const _stringx& path, const std::string& utf8) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << "cannot write " << _stringx(path).AsNarrow();
    DWORD written = 0;
    WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    CloseHandle(file);
}

std::string ReadBytes(const _stringx& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got) bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

bool FileExists(const _stringx& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

DWORD RunProcess(const _stringx& commandLine, std::string* output, DWORD timeoutMs, const wchar_t* workingFolder) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return static_cast<DWORD>(-1);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process{};
    std::wstring line = commandLine.str();
    BOOL ok = CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, workingFolder, &startup, &process);
    CloseHandle(writeEnd);
    if (!ok) {
        CloseHandle(readEnd);
        return static_cast<DWORD>(-1);
    }
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(readEnd, buffer, sizeof(buffer), &got, nullptr) && got) text.append(buffer, got);
    CloseHandle(readEnd);
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
    if (text) LocalFree(text);
    return result;
}

ErrorInfoText TakeErrorInfo() {
    ErrorInfoText result;
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || !info) return result;
    result.present = true;
    BSTR text = nullptr;
    if (SUCCEEDED(info->GetDescription(&text))) result.description = text;
    SysFreeString(text);
    text = nullptr;
    if (SUCCEEDED(info->GetSource(&text))) result.source = text;
    SysFreeString(text);
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
    if (!view_) return;
    thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    started_ = thread_ != nullptr;
    Sleep(20);
}

DWORD WINAPI DebugOutputListener::Run(void* self) {
    auto* listener = static_cast<DebugOutputListener*>(self);
    SetEvent(listener->bufferReady_);
    while (!listener->stop_) {
        if (WaitForSingleObject(listener->dataReady_, 50) == WAIT_OBJECT_0) {
            listener->received_ += listener->view_ + sizeof(DWORD);
            SetEvent(listener->bufferReady_);
        }
    }
    return 0;
}

std::string DebugOutputListener::Finish() {
    if (thread_) {
        Sleep(100);
        InterlockedExchange(&stop_, 1);
        WaitForSingleObject(thread_, 5000);
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    return received_;
}

DebugOutputListener::~DebugOutputListener() {
    Finish();
    if (view_) UnmapViewOfFile(view_);
    if (mapping_) CloseHandle(mapping_);
    if (bufferReady_) CloseHandle(bufferReady_);
    if (dataReady_) CloseHandle(dataReady_);
}

void ComTest::SetUp() { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }

void ComTest::TearDown() {
    EXPECT_EQ(0u, MsiCloseAllHandles()) << "installer handles left open";
    CoUninitialize();
}

}  // namespace cvtest
