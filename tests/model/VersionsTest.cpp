#include <windows.h>
#include <gtest/gtest.h>
#include "model/ModuleRecords.h"
#include "model/Versions.h"

namespace {

struct VersionCase {
    const wchar_t* a;
    const wchar_t* b;
    int expected;
};

TEST(Versions, CompareDottedVersionsPartByPart) {
    const VersionCase cases[] = {
        {L"2.0", L"2.0.0.0", 0},
        {L"1.10", L"1.9", 1},
        {L"1.9", L"1.10", -1},
        {L"2.0.0.1", L"2.0", 1},
        {L"", L"0.0.0.0", 0},
        {L"1", L"", 1},
        {L"1.2.3.4.9", L"1.2.3.4", 0},          // parts after the fourth do not count
        {L"1.2.65537", L"1.2.1", 0},            // each part is masked to 16 bits
        {L"-1", L"65535", 0},                   // ... and so is a negative one
        {L"65535.0", L"1.0", 1},                // high words compare unsigned
        {L"1.0.65535.0", L"1.0.1.0", 1},        // so do low words
        {L"1.0.0.65535", L"1.0.1", -1},
        {L" 3.x", L"3.0", 0},                   // read like _wtol: blanks skipped, no digits is 0
        {L"4a.2b", L"4.2", 0},
        {L"1..2", L"1.0.2", 0},
    };
    for (const VersionCase& c : cases) {
        EXPECT_EQ(c.expected, CompareVersions(c.a, c.b)) << _stringx(c.a).AsNarrow() << " vs " << _stringx(c.b).AsNarrow();
        EXPECT_EQ(-c.expected, CompareVersions(c.b, c.a)) << _stringx(c.b).AsNarrow() << " vs " << _stringx(c.a).AsNarrow();
    }
}

TEST(Versions, ParseGivesTwoWordsOfTwoParts) {
    DWORD high = 1, low = 1;
    ParseVersion(L"1.2.3.4", high, low);
    EXPECT_EQ(0x00010002u, high);
    EXPECT_EQ(0x00030004u, low);
    ParseVersion(L"7", high, low);
    EXPECT_EQ(0x00070000u, high);
    EXPECT_EQ(0u, low);
}

TEST(Versions, NumbersAreReadLikeWtol) {
    const std::pair<const wchar_t*, LONG> cases[] = {
        {L"1033", 1033}, {L"  42", 42}, {L"-7", -7}, {L"+9", 9}, {L"12abc", 12}, {L"", 0}, {L"x1", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(c.second, ParseNumber(c.first)) << _stringx(c.first).AsNarrow();
}

TEST(ModuleRecords, KeysAndLongFileNames) {
    EXPECT_EQ(_stringx(L"Mod.1:-1"), MakeEntryKey(L"Mod.1", -1));
    EXPECT_EQ(_stringx(L":0"), MakeEntryKey(L"", 0));

    const std::pair<const wchar_t*, const wchar_t*> names[] = {
        {L"SHORT~1.DLL|Long Name.dll", L"Long Name.dll"},
        {L"plain.dll", L"plain.dll"},
        {L"a|b|c", L"b|c"},  // everything after the first bar
        {L"x|", L""},
    };
    for (const auto& n : names) EXPECT_EQ(_stringx(n.second), LongFileName(n.first)) << _stringx(n.first).AsNarrow();
}

}  // namespace
