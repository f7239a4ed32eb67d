// Helpers of the stand-in tests: a scratch folder per test case, the settings file's location, texts.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include "base/stringx.h"
#include "base/Handles.h"
#include "tests/support/TestSupport.h"
#include "base/Utf8.h"

namespace standintest {

// A fresh folder named after the running test (test cases run in parallel processes).
inline _stringx ScratchForThisTest() {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("standins-") + test->test_suite_name() + "-" + test->name();
    return cvtest::FreshScratchDir(std::wstring(name.begin(), name.end()).c_str());
}

inline void PointSettingsAt(const _stringx& path) { SetEnvironmentVariableW(L"CVAPPSERVICES_INI", path.c_str()); }

// The bytes of a UTF-16LE file with its byte-order mark.
inline std::string Utf16File(const std::wstring& text) {
    return std::string("\xFF\xFE", 2) + std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

// Takes an out BSTR; "<null>" tells a null one from an empty one.
inline std::wstring Take(BSTR text) {
    unique_bstr owner(text);
    return text ? std::wstring(text, SysStringLen(text)) : std::wstring(L"<null>");
}

// Number of entries in a folder, "." and ".." not counted.
inline int FileCount(const _stringx& folder) {
    WIN32_FIND_DATAW data;
    unique_find find(FindFirstFileW(JoinPath(folder, L"*").c_str(), &data));
    int count = 0;
    for (bool more = static_cast<bool>(find); more; more = FindNextFileW(find.get(), &data))
        count += wcscmp(data.cFileName, L".") && wcscmp(data.cFileName, L"..");
    return count;
}

}  // namespace standintest
