// The closure's rules on records: language and version ranges of exclusions, and an order that holds
// on chains too long for a recursive walk.
#include <gtest/gtest.h>
#include "cli/Closure.h"

namespace {
TEST(Closure, ExcludedLanguages) {
    struct Case {
        LONG excluded, language;
        bool expected;
    } cases[] = {
        {0, 1033, true},     {1033, 1033, true},   {1033, 1031, false}, {9, 1033, true},  {9, 2057, true},
        {9, 1031, false},    {-1033, 1031, true},  {-1033, 1033, false}, {-9, 2057, false}, {1033, 0, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, LanguageExcluded(c.excluded, c.language)) << c.excluded << " vs " << c.language;
}

TEST(Closure, VersionRanges) {
    struct Case {
        const wchar_t *version, *min, *max;
        bool expected;
    } cases[] = {
        {L"1.5", L"", L"", true},           {L"1.5", L"1.0", L"2.0", true},  {L"2.0.0.0", L"1.0", L"2.0", true},
        {L"2.0.0.1", L"1.0", L"2.0", false}, {L"0.9", L"1.0", L"", false},    {L"10.0", L"9.0", L"", true},
        {L"1.10", L"", L"1.9", false},       {L"1.0", L"1", L"1.0.0.0", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, VersionInRange(c.version, c.min, c.max))
            << _stringx(c.version).AsNarrow() << " in [" << _stringx(c.min).AsNarrow() << ", "
            << _stringx(c.max).AsNarrow() << "]";
}

TEST(Closure, LongChainMergesFromTheBottomAndClosesItsCycle) {
    // m0 -> m1 -> ... -> m19999 -> m0: one cycle through all of them, broken only at its closing edge.
    const int count = 20000;
    std::vector<ModuleNode> nodes(count);
    for (int i = 0; i < count; ++i) {
        nodes[i].ModuleId = _stringx::Formatted(L"m%05d", i);
        nodes[i].EntryKey = nodes[i].ModuleId + L":1033";
        nodes[i].Language = 1033;
        nodes[i].Version = L"1.0";
        nodes[i].Requires.push_back(Requirement{_stringx::Formatted(L"m%05d", (i + 1) % count), 0, L""});
    }
    Closure closure = ComputeClosure(nodes[0], [&](const _stringx& id, LONG) -> const ModuleNode* {
        return &nodes[_wtoi(id.c_str() + 1)];
    });
    ASSERT_EQ(static_cast<size_t>(count), closure.MergeOrder.size());
    EXPECT_EQ(nodes[count - 1].EntryKey, closure.MergeOrder.front());
    EXPECT_EQ(nodes[0].EntryKey, closure.MergeOrder.back());
    ASSERT_EQ(1u, closure.Cycles.size());
    EXPECT_EQ(static_cast<size_t>(count), closure.Cycles[0].size());
    EXPECT_EQ(nodes[0].EntryKey, closure.Cycles[0][0]);
    EXPECT_FALSE(closure.Complete());
}
}  // namespace
