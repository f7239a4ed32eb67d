#include <windows.h>
#include <gtest/gtest.h>
#include "msi/stringx.h"
#include "tests/support/TestSupport.h"

namespace {

TEST(Text, KeepsTheLastErrorThroughEveryOperation) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    {
        _stringx a(L"ModuleId.0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9");
        _stringx b(a);
        _stringx c = a + L":" + _stringx::Formatted(L"%d", 1033);
        c.AsBSTR();
        c.AsNarrow();
        b = c;
        b += L"tail";
        _stringx lower = b.Lower();
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}

TEST(Text, FormatUsesWideStringsAndSignedNumbers) {
    // %s is wide and %S narrow, whatever the C runtime's C99 mode would say.
    EXPECT_EQ(_stringx(L"Mod.1:-1"), _stringx::Formatted(L"%s:%d", L"Mod.1", -1));
    EXPECT_EQ(_stringx(L"narrow"), _stringx::Formatted(L"%S", "narrow"));
    EXPECT_EQ(_stringx(L"-2147467259"), _stringx::Formatted(L"%i", static_cast<int>(E_FAIL)));
    EXPECT_EQ(_stringx(L"12345678901"), _stringx::Formatted(L"%I64d", 12345678901LL));
    std::wstring longText(5000, L'x');
    EXPECT_EQ(5002u, _stringx::Formatted(L"[%s]", longText.c_str()).length());
}

TEST(Text, BstrIsCachedNeverNullAndFollowsTheText) {
    _stringx empty;
    BSTR b = empty.AsBSTR();
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(0u, SysStringLen(b));

    _stringx s(L"abc");
    BSTR first = s.AsBSTR();
    EXPECT_STREQ(L"abc", first);
    s = L"xyz";
    EXPECT_EQ(first, s.AsBSTR()) << "same length reuses the cached BSTR";
    EXPECT_STREQ(L"xyz", s.AsBSTR());
    s = L"longer text";
    EXPECT_STREQ(L"longer text", s.AsBSTR());
    EXPECT_EQ(11u, SysStringLen(s.AsBSTR()));
}

TEST(Text, NarrowBufferGrowsInStepsOf64) {
    _stringx s(std::wstring(31, L'a'));
    EXPECT_STREQ(std::string(31, 'a').c_str(), s.AsNarrow());
    EXPECT_EQ(128u, s.NarrowCapacity()) << "31 characters need 64 bytes: the next multiple above";
    const char* buffer = s.AsNarrow();
    s = std::wstring(20, L'b').c_str();
    EXPECT_EQ(buffer, s.AsNarrow()) << "a shorter text reuses the buffer";
    EXPECT_STREQ(std::string(20, 'b').c_str(), s.AsNarrow());
}

TEST(Text, ComparesCodeUnitByCodeUnit) {
    EXPECT_LT(_stringx(L"B").compare(L"a"), 0);
    EXPECT_LT(_stringx(L"ab").compare(L"abc"), 0);
    EXPECT_EQ(0, _stringx(L"x").compare(L"x"));
    EXPECT_TRUE(_stringx(L"Z") < _stringx(L"a"));
}

TEST(Text, SplitSearchPathKeepsExistingFoldersOnly) {
    _stringx root = cvtest::FreshScratchDir(L"split");
    _stringx one = JoinPath(root, L"One");
    _stringx two = JoinPath(root, L"Two");
    CreateDirectoryW(one.c_str(), nullptr);
    CreateDirectoryW(two.c_str(), nullptr);
    SetEnvironmentVariableW(L"CV_SPLIT_ROOT", root.c_str());

    std::vector<_stringx> folders;
    SplitSearchPath(one + L"\\, %CV_SPLIT_ROOT%\\Two," + JoinPath(root, L"Missing") + L",," + one, folders);
    ASSERT_EQ(3u, folders.size());
    EXPECT_EQ(one, folders[0]) << "one trailing backslash removed";
    EXPECT_EQ(two, folders[1]) << "blank dropped, variable expanded";
    EXPECT_EQ(one, folders[2]) << "duplicates are kept";

    folders.clear();
    SplitSearchPath(L"", folders);
    EXPECT_TRUE(folders.empty());
}

TEST(Text, JoinPathPutsExactlyOneBackslash) {
    EXPECT_EQ(_stringx(L"a\\b"), JoinPath(L"a", L"b"));
    EXPECT_EQ(_stringx(L"a\\b"), JoinPath(L"a\\", L"\\b"));
    EXPECT_EQ(_stringx(L"a\\b"), JoinPath(L"a\\", L"b"));
    EXPECT_EQ(_stringx(L"a\\b"), JoinPath(L"a", L"\\b"));
    EXPECT_EQ(_stringx(L"a"), JoinPath(L"a", L""));
}

}  // namespace
