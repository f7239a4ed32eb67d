// The two folder syntaxes, the choice by the active project type, and the split of target paths.
#include <windows.h>
#include <gtest/gtest.h>
#include <vector>
#include "folders/FolderSyntax.h"
#include "tests/support/Environment.h"
#include "tests/support/TestSupport.h"

namespace {

struct SplitCase {
    const wchar_t* path;
    bool split;
    const wchar_t* folderPart;
    const wchar_t* rest;
};

void ExpectSplits(const std::vector<SplitCase>& cases) {
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(_stringx(c.path).AsNarrow());
        _stringx folderPart = L"untouched", rest = L"untouched";
        EXPECT_EQ(c.split, SplitFolderPath(c.path, folderPart, rest));
        EXPECT_EQ(_stringx(c.split ? c.folderPart : L"untouched"), folderPart);
        EXPECT_EQ(_stringx(c.split ? c.rest : L"untouched"), rest);
    }
}

TEST(FolderSyntax, SplitsPathsInThePropertySyntaxOfInstallerProjects) {
    cvtest::TestEnvironment env(L"folders-split-property");
    env.SetActiveProjectType(0);
    ExpectSplits({
        {L"[INSTALLDIR]file.dll", true, L"[INSTALLDIR]", L"file.dll"},
        {L"[SystemFolder]sub\\file.dll", true, L"[SystemFolder]sub", L"file.dll"},
        {L"[SystemFolder]sub\\", true, L"[SystemFolder]sub", L""},
        {L"[A]b[C]d", true, L"[A]b[C]", L"d"},
        {L"[]", true, L"[]", L""},
        // The last backslash decides even when it stands before the brackets.
        {L"C:\\dir\\[A]file", true, L"C:\\dir", L"[A]file"},
        {L"file.dll", false},
        {L"C:\\dir\\file.dll", false},
        {L"]x[", false},
        {L"[SystemFolder", false},
        {L"", false},
        {L"<WINSYSDIR>\\file.dll", false},
    });
}

TEST(FolderSyntax, SplitsPathsInTheVariableSyntaxOfTheOtherProjects) {
    cvtest::TestEnvironment env(L"folders-split-variable");
    env.SetActiveProjectType(1);
    ExpectSplits({
        {L"<WINSYSDIR>\\file.dll", true, L"<WINSYSDIR>", L"file.dll"},
        {L"<WINSYSDIR>file.dll", true, L"<WINSYSDIR>", L"file.dll"},
        {L"<A>b<C>d", true, L"<A>b<C>", L"d"},
        {L"[SystemFolder]file.dll", false},
        {L">x<", false},
    });
}

TEST(FolderSyntax, FollowsTheActiveProjectTypeWithoutRestart) {
    cvtest::TestEnvironment env(L"folders-active-type");
    // Types without a syntax of their own get the property syntax.
    const std::pair<int, int> typeAndCode[] = {{0, 2}, {1, 4}, {0, 2}, {7, 2}, {-1, 2}, {1, 4}};
    for (const auto& tc : typeAndCode) {
        env.SetActiveProjectType(tc.first);
        EXPECT_EQ(tc.first, ActiveProjectType());
        EXPECT_EQ(tc.second, ActiveFolderSyntax().SyntaxCode()) << "project type " << tc.first;
    }
}

TEST(FolderSyntax, NameTestsCompareWholeNamesCaseSensitively) {
    const FolderSyntax* property = FolderSyntaxRegistry::Instance().At(0);
    const FolderSyntax* variable = FolderSyntaxRegistry::Instance().At(1);
    ASSERT_TRUE(property && variable);
    EXPECT_EQ(2u, FolderSyntaxRegistry::Instance().Count());
    EXPECT_EQ(nullptr, FolderSyntaxRegistry::Instance().At(2));

    struct NameCase {
        const wchar_t* name;
        bool knownToProperty, knownToVariable, shellToProperty, shellToVariable;
    } cases[] = {
        {L"SystemFolder", true, false, false, false},
        {L"systemfolder", false, false, false, false},
        {L"System", false, false, false, false},
        {L"SystemFolderX", false, false, false, false},
        {L"WINSYSDIR", false, true, false, false},
        {L"TARGETDIR", true, true, false, false},
        {L"FOLDER_FONTS", false, true, false, false},
        {L"SendToFolder", true, false, true, false},
        {L"DesktopFolder", true, true, true, true},
        {L"[SystemFolder]", false, false, false, false},
        {L"", false, false, false, false},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(_stringx(c.name).AsNarrow());
        EXPECT_EQ(c.knownToProperty, property->IsKnownFolderName(c.name));
        EXPECT_EQ(c.knownToVariable, variable->IsKnownFolderName(c.name));
        EXPECT_EQ(c.shellToProperty, property->IsShellFolderName(c.name));
        EXPECT_EQ(c.shellToVariable, variable->IsShellFolderName(c.name));
    }
}

}  // namespace
