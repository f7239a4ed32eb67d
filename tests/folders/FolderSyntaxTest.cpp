// The two folder syntaxes, the choice by the active project type, and the split of target paths.
#include <windows.h>
#include <gtest/gtest.h>
#include "folders/FolderSyntax.h"
#include "tests/support/Environment.h"
#include "tests/support/TestSupport.h"

namespace {

// The project type is asked anew for every split, so one environment switches it between rows.
TEST(FolderSyntax, SplitFollowsTheActiveProjectType) {
    struct Case {
        int projectType;
        const wchar_t* path;
        bool split;
        const wchar_t* folderPart;
        const wchar_t* rest;
    } cases[] = {
        {0, L"[INSTALLDIR]file.dll", true, L"[INSTALLDIR]", L"file.dll"},
        {0, L"[SystemFolder]sub\\file.dll", true, L"[SystemFolder]sub", L"file.dll"},
        {0, L"[SystemFolder]sub\\", true, L"[SystemFolder]sub", L""},
        {0, L"[A]b[C]d", true, L"[A]b[C]", L"d"},
        // The last backslash decides even when it stands before the brackets.
        {0, L"C:\\dir\\[A]file", true, L"C:\\dir", L"[A]file"},
        {0, L"C:\\dir\\file.dll", false},
        {0, L"]x[", false},
        {0, L"[SystemFolder", false},
        {0, L"", false},
        {0, L"<WINSYSDIR>\\file.dll", false},
        {1, L"<WINSYSDIR>\\file.dll", true, L"<WINSYSDIR>", L"file.dll"},
        {1, L"<A>b<C>d", true, L"<A>b<C>", L"d"},
        {1, L"[SystemFolder]file.dll", false},
        // Types without a syntax of their own get the property syntax.
        {7, L"[SystemFolder]file.dll", true, L"[SystemFolder]", L"file.dll"},
        {-1, L"<WINSYSDIR>\\file.dll", false},
    };
    cvtest::TestEnvironment env(L"folders-split");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(_stringx(c.path).AsNarrow()) + " type " + std::to_string(c.projectType));
        env.SetActiveProjectType(c.projectType);
        _stringx folderPart = L"untouched", rest = L"untouched";
        EXPECT_EQ(c.split, SplitFolderPath(c.path, folderPart, rest));
        EXPECT_EQ(_stringx(c.split ? c.folderPart : L"untouched"), folderPart);
        EXPECT_EQ(_stringx(c.split ? c.rest : L"untouched"), rest);
    }
}

}  // namespace
