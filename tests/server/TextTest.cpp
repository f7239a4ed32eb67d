#include <windows.h>
#include <gtest/gtest.h>
#include <clocale>
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

// Collections and folder maps are ordered by it: any pair that _wcsicmp orders otherwise would
// misplace a key. The signs line up on letters around the punctuation between 'Z' and 'a', on texts
// that are prefixes of each other, and on non-ASCII letters before, at and after the first difference.
TEST(Text, CompareNoCaseOrdersAsWcsicmp) {
    const wchar_t* texts[] = {L"", L"a", L"A", L"b", L"Z", L"z", L"_", L"[", L"`", L"{", L"@", L"~", L"\\", L"ab",
                              L"aB", L"Ab_", L"ab[", L"Mod.1:1033", L"mod.1:1033", L"MOD.10:0", L"mod.1:0",
                              L"\u00e9t\u00e9", L"\u00c9T\u00c9", L"\u00e9tz", L"x\u00e9", L"X\u00c9", L"x\u00df",
                              L"X\u0130", L"x\u0131", L"x\u00ff", L"X\u0178", L"\u00e9a", L"\u00e9B", L"a\u00e9", L"A\u00e9b"};
    auto sign = [](int v) { return (v > 0) - (v < 0); };
    // In the C locale only ASCII letters fold; a host may set one where others fold too.
    for (const char* locale : {"C", "English_United States.1252"}) {
        ASSERT_NE(nullptr, setlocale(LC_ALL, locale));
        for (const wchar_t* a : texts)
            for (const wchar_t* b : texts)
                EXPECT_EQ(sign(_wcsicmp(a, b)), sign(CompareNoCase(a, b))) << locale << ": '" << a << "' against '" << b << "'";
    }
    EXPECT_EQ(0, _wcsicmp(L"\u00e9", L"\u00c9")) << "a locale where non-ASCII letters fold";
    setlocale(LC_ALL, "C");
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
