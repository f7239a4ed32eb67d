#include <windows.h>
#include <gtest/gtest.h>
#include "base/stringx.h"
#include "tests/support/TestSupport.h"

namespace {

TEST(Text, KeepsTheLastErrorThroughEveryOperation) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    {
        _stringx a(L"ModuleId.0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9"), b(a);
        _stringx c = a + L":" + _stringx::Formatted(L"%d", 1033);
        c.AsBSTR(), c.AsNarrow(), b = c, b += L"tail", b.Lower();
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}

TEST(Text, FormatUsesWideStringsAndSignedNumbers) {
    // %s is wide and %S narrow, whatever the C runtime's C99 mode would say.
    EXPECT_EQ(_stringx(L"Mod.1:-1"), _stringx::Formatted(L"%s:%d", L"Mod.1", -1));
    EXPECT_EQ(_stringx(L"narrow"), _stringx::Formatted(L"%S", "narrow"));
    EXPECT_EQ(_stringx(L"12345678901"), _stringx::Formatted(L"%I64d", 12345678901LL));
    EXPECT_EQ(5002u, _stringx::Formatted(L"[%s]", std::wstring(5000, L'x').c_str()).length());
}

TEST(Text, BstrIsNeverNullAndFollowsTheText) {
    EXPECT_EQ(0u, SysStringLen(_stringx().AsBSTR()));
    EXPECT_NE(nullptr, _stringx().AsBSTR());
    _stringx s(L"abc");
    EXPECT_STREQ(L"abc", s.AsBSTR());
    for (const wchar_t* text : {L"xyz", L"longer text"}) {
        s = text;
        EXPECT_STREQ(text, s.AsBSTR());
        EXPECT_EQ(wcslen(text), SysStringLen(s.AsBSTR()));
    }
}

}  // namespace
