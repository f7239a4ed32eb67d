// Helpers shared by the test programs: folders of the build, COM set-up, leak checks, processes.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "base/Utf8.h"
#include "base/stringx.h"

namespace cvtest {

// Windows paths without a trailing backslash: the output folder holding every built binary, the source tree.
_stringx OutDir();
_stringx SourceDir();
// A fresh, empty folder under the build tree's scratch folder.
_stringx FreshScratchDir(const wchar_t* name);
// Creates every missing folder of a path and returns it.
_stringx MakeFolders(const _stringx& folder);
// Deletes a folder tree (no error when it is missing).
void RemoveTree(const _stringx& folder);
bool CopyInto(const _stringx& file, const _stringx& folder);
void WriteText(const _stringx& path, const std::string& utf8);
// Writes the text and dates the file's last write `seconds` after `base`.
void WriteTextDated(const _stringx& path, const std::string& utf8, const FILETIME& base, int seconds);
// Dates a file's last write `seconds` after `base`.
void SetWriteTime(const _stringx& path, const FILETIME& base, int seconds);
std::string ReadBytes(const _stringx& path);
bool FileExists(const _stringx& path);
// A path with its slashes turned into backslashes.
_stringx Backslashed(const wchar_t* path);

// CreateProcessW, once more when it fails with ERROR_INTERNAL_ERROR: now and then under load wine
// fails to bring up a new process at all, as its loader does (see wine-run.sh). Said on stderr.
BOOL StartProcess(std::wstring commandLine, BOOL inheritHandles, DWORD flags, const wchar_t* workingFolder,
                  STARTUPINFOW& startup, PROCESS_INFORMATION& process);

// Runs a command line, collecting what it writes to stdout and stderr; returns its exit code.
DWORD RunProcess(const _stringx& commandLine, std::string* output = nullptr, DWORD timeoutMs = 120000,
                 const wchar_t* workingFolder = nullptr);

// The system's message text for an HRESULT (Wine's texts differ from Windows', so tests ask).
_stringx SystemText(HRESULT hr);

// Takes the thread's error information.
struct ErrorInfoText {
    bool present = false;
    _stringx description, source;
    GUID guid{};
};
ErrorInfoText TakeErrorInfo();

// Collects OutputDebugString text through the DBWIN buffer, as a debugger would see it.
class DebugOutputListener {
public:
    DebugOutputListener();
    ~DebugOutputListener();
    bool Started() const { return thread_ != nullptr; }
    // Stops listening and returns everything received, in order.
    std::string Finish();

private:
    static DWORD WINAPI Run(void* self);
    HANDLE bufferReady_, dataReady_, mapping_, thread_ = nullptr;
    const char* view_ = nullptr;
    volatile LONG stop_ = 0;
    std::string received_;
};

// DllCanUnloadNow of a loaded DLL, by name or path: S_OK once every object it made is released, and when
// it is not loaded.
HRESULT CanUnloadNow(const wchar_t* dll);

// The processes of that image name that the process `parent` started and that still run.
std::vector<DWORD> ChildrenNamed(DWORD parent, const wchar_t* image);

// Single-threaded apartment for the test, and no installer handle or server object left after it.
class ComTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace cvtest

// Readable failure messages for the server's text type.
inline void PrintTo(const _stringx& text, std::ostream* os) { *os << '"' << _stringx(text).AsNarrow() << '"'; }

#define CV_EXPECT_HR(expected, call) EXPECT_EQ(static_cast<HRESULT>(expected), static_cast<HRESULT>(call))
