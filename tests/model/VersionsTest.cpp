#include <windows.h>
#include <gtest/gtest.h>
#include "base/Versions.h"

namespace {

TEST(Versions, CompareDottedVersionsPartByPart) {
    const struct {
        const wchar_t* a;
        const wchar_t* b;
        int expected;
    } cases[] = {
        {L"2.0", L"2.0.0.0", 0},
        {L"1.10", L"1.9", 1},
        {L"2.0.0.1", L"2.0", 1},
        {L"", L"0.0.0.0", 0},
        {L"1.2.3.4.9", L"1.2.3.4", 0},    // parts after the fourth do not count
        {L"1.2.65537", L"1.2.1", 0},      // each part is masked to 16 bits
        {L"1.131072", L"1.0", 0},         // unmasked, the second part would reach into the first
        {L"1.0.0.131072", L"1.0.0.0", 0}, // and the fourth into the third
        {L"-1", L"65535", 0},             // ... and so is a negative one
        {L"65535.0", L"1.0", 1},          // high words compare unsigned
        {L"1.0.65535.0", L"1.0.1.0", 1},  // so do low words
        {L" 3.x", L"3.0", 0},             // read like _wtol: blanks skipped, no digits is 0
        {L"4a.2b", L"4.2", 0},
        {L"1..2", L"1.0.2", 0},
    };
    for (const auto& c : cases) {
        std::string text = std::string(_stringx(c.a).AsNarrow()) + " vs " + _stringx(c.b).AsNarrow();
        EXPECT_EQ(c.expected, CompareVersions(c.a, c.b)) << text;
        EXPECT_EQ(-c.expected, CompareVersions(c.b, c.a)) << text << ", swapped";
    }
}

}  // namespace
