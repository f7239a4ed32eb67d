// Helpers shared by the test programs: folders of the build, COM set-up, leak checks, processes.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include "msi/stringx.h"

namespace cvtest {

// The output folder holding every built binary (Windows path, backslashes, no trailing one).
_stringx OutDir();
// The source tree (Windows path).
_stringx SourceDir();
// A fresh, empty folder under the build tree's scratch folder.
_stringx FreshScratchDir(const wchar_t* name);
// Deletes a folder tree (no error when it is missing).
void RemoveTree(const _stringx& folder);
bool CopyInto(const _stringx& file, const _stringx& folder);
void WriteText(const _stringx& path, const std::string& utf8);
std::string ReadBytes(const _stringx& path);
bool FileExists(const _stringx& path);

// Runs a command line, collecting what it writes to stdout and stderr; returns its exit code.
DWORD RunProcess(const _stringx& commandLine, std::string* output = nullptr, DWORD timeoutMs = 120000,
                 const wchar_t* workingFolder = nullptr);

// The system's message text for an HRESULT (Wine's texts differ from Windows', so tests ask).
_stringx SystemText(HRESULT hr);

// Takes the thread's error information: description and source.
struct ErrorInfoText {
    bool present = false;
    _stringx description;
    _stringx source;
    GUID guid{};
};
ErrorInfoText TakeErrorInfo();

// Collects OutputDebugString text through the DBWIN buffer, as a debugger would see it.
class DebugOutputListener {
public:
    DebugOutputListener();
    ~DebugOutputListener();
    bool Started() const { return started_; }
    // Stops listening and returns everything received, in order.
    std::string Finish();

private:
    static DWORD WINAPI Run(void* self);
    HANDLE bufferReady_ = nullptr;
    HANDLE dataReady_ = nullptr;
    HANDLE mapping_ = nullptr;
    const char* view_ = nullptr;
    HANDLE thread_ = nullptr;
    volatile LONG stop_ = 0;
    std::string received_;
    bool started_ = false;
};

// Single-threaded apartment for the test, and no installer handle left open after it.
class ComTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace cvtest

// Readable failure messages for the server's text type.
inline void PrintTo(const _stringx& text, std::ostream* os) { *os << '"' << _stringx(text).AsNarrow() << '"'; }

#define CV_EXPECT_HR(expected, call) EXPECT_EQ(static_cast<HRESULT>(expected), static_cast<HRESULT>(call))
#define CV_ASSERT_HR(expected, call) ASSERT_EQ(static_cast<HRESULT>(expected), static_cast<HRESULT>(call))
