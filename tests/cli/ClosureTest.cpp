// The closure's rules on records: what each verdict takes, language and version ranges of exclusions,
// cycles, and an order that holds on chains too long for a recursive walk.
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include "cli/Closure.h"

namespace {
// "Id:language@version"; an exclusion's version part is "min..max", either side open when empty.
struct Signature {
    _stringx id;
    LONG language;
    std::wstring version;
};
Signature Split(const std::wstring& word) {
    size_t colon = word.find(L':'), at = word.find(L'@');
    return {word.substr(0, colon), _wtol(word.c_str() + colon + 1), at == std::wstring::npos ? L"" : word.substr(at + 1)};
}

// Modules of one line each, the root first: its signature, then "+signature" for each requirement and
// "-signature" for each exclusion. Language 0 finds the first language in text order, as FindModule does.
class ModuleSet {
public:
    explicit ModuleSet(const std::vector<const wchar_t*>& lines) {
        for (const wchar_t* line : lines) {
            std::wistringstream words(line);
            std::wstring word;
            words >> word;
            Signature self = Split(word);
            _stringx key = self.id + _stringx::Formatted(L":%ld", static_cast<long>(self.language));
            ModuleNode& node = nodes_[key];
            node = ModuleNode{key, self.id, self.language, self.version};
            if (!root_) root_ = &node;
            while (words >> word) {
                Signature other = Split(word.substr(1));
                size_t dots = other.version.find(L"..");
                if (word[0] == L'+')
                    node.Requires.push_back(Requirement{other.id, other.language, other.version});
                else
                    node.Excludes.push_back(Exclusion{other.id, other.language, other.version.substr(0, dots),
                                                      dots == std::wstring::npos ? L"" : other.version.substr(dots + 2)});
            }
        }
    }
    Closure Compute() const { return ComputeClosure(*root_, Resolver()); }
    // Several modules merged together, by key ("A:1033").
    Closure Compute(const std::vector<const wchar_t*>& roots) const {
        std::vector<const ModuleNode*> nodes;
        for (const wchar_t* key : roots) nodes.push_back(&nodes_.at(key));
        return ComputeClosure(nodes, Resolver());
    }
    ModuleResolver Resolver() const {
        return [this](const _stringx& id, LONG language) -> const ModuleNode* {
            for (const auto& node : nodes_)
                if (node.second.ModuleId == id && (language == 0 || node.second.Language == language))
                    return &node.second;
            return nullptr;
        };
    }

private:
    std::map<_stringx, ModuleNode> nodes_;
    const ModuleNode* root_ = nullptr;
};

// What is wrong with a closure, one item per problem in the closure's order; empty when nothing is.
std::wstring Verdicts(const Closure& closure) {
    std::wstring text;
    auto add = [&](const std::wstring& item) { text += (text.empty() ? L"" : L"; ") + item; };
    for (const ModuleNode* module : closure.Modules)
        for (const ResolvedRequirement& r : closure.Requirements.at(module->EntryKey))
            if (!r.Found)
                add(module->EntryKey.str() + L" misses " + r.Wanted.ModuleId.str() + L":" + std::to_wstring(r.Wanted.Language));
            else if (r.TooOld)
                add(module->EntryKey.str() + L" finds " + r.Found->EntryKey.str() + L" too old");
    for (const ViolatedExclusion& v : closure.Violations)
        add(v.ExcludedBy->EntryKey.str() + L" excludes " + v.Excluded->EntryKey.str());
    for (const auto& cycle : closure.Cycles) {
        std::wstring path = L"cycle";
        for (const _stringx& key : cycle) path += L" " + key.str();
        add(path);
    }
    return text;
}

// Every module of the closure once, each after all it requires except along a reported cycle, the root last.
void ExpectMergeOrder(const Closure& closure) {
    std::map<_stringx, size_t> at;
    for (const _stringx& key : closure.MergeOrder) EXPECT_TRUE(at.emplace(key, at.size()).second) << "twice";
    ASSERT_EQ(closure.Modules.size(), at.size());
    EXPECT_EQ(closure.Modules[0]->EntryKey, closure.MergeOrder.back());
    std::set<std::pair<_stringx, _stringx>> cyclic;
    for (const auto& cycle : closure.Cycles)
        for (size_t i = 0; i < cycle.size(); ++i) cyclic.emplace(cycle[i], cycle[(i + 1) % cycle.size()]);
    for (const ModuleNode* module : closure.Modules)
        for (const ResolvedRequirement& r : closure.Requirements.at(module->EntryKey))
            if (r.Found && r.Found != module && !cyclic.count({module->EntryKey, r.Found->EntryKey})) {
                EXPECT_LT(at[r.Found->EntryKey], at[module->EntryKey])
                    << _stringx(r.Found->EntryKey).AsNarrow() << " before " << _stringx(module->EntryKey).AsNarrow();
            }
}

TEST(Closure, EachVerdictAloneMakesItIncomplete) {
    struct Case {
        std::vector<const wchar_t*> modules;
        const wchar_t* verdicts;
    } cases[] = {
        // Versions met at the edge; exclusions of another language, another group and of itself pass.
        {{L"R:1033@1.0 +A:0@2.0 +B:1033 +R:0@1.0 -A:1033 -A:9 -R:0", L"A:1031@2.0.0.0", L"B:1033@1.0 +A:1031@1.9"}, L""},
        {{L"R:1033@1.0 +A:1033", L"A:1031@1.0"}, L"R:1033 misses A:1033"},
        {{L"R:1033@1.0 +A:0@1.0.0.1", L"A:1033@1.0"}, L"R:1033 finds A:1033 too old"},
        {{L"R:1033@1.0 +A:0 -A:0", L"A:1031@1.0"}, L"R:1033 excludes A:1031"},
        {{L"R:1033@1.0 +A:0 -A:7@1.0..1.0", L"A:1031@1.0"}, L"R:1033 excludes A:1031"},
        {{L"R:1033@2.0 +A:0", L"A:1031@1.0 -R:1033@2.0.."}, L"A:1031 excludes R:1033"},
        {{L"R:1033@1.0 +A:0", L"A:1033@1.0 +R:1033@1.0"}, L"cycle R:1033 A:1033"},
        // Cycles in the order of the closure, whatever order the components are found in.
        {{L"R:1033@1 +A:0", L"A:1033@1 +B:0", L"B:1033@1 +A:0 +C:0", L"C:1033@1 +D:0", L"D:1033@1 +C:0"},
         L"cycle A:1033 B:1033; cycle C:1033 D:1033"},
        // One component that no single shortest cycle covers.
        {{L"R:1033@1 +A:0", L"A:1033@1 +B:0 +C:0", L"B:1033@1 +A:0", L"C:1033@1 +A:0 +D:0", L"D:1033@1"},
         L"cycle A:1033 B:1033; cycle C:1033 A:1033"},
        // A diamond is no cycle, however its branches are visited.
        {{L"R:1033@1 +A:0 +B:0", L"A:1033@1 +C:0", L"B:1033@1 +C:0 +A:0", L"C:1033@1"}, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(_stringx(c.modules[0]).AsNarrow());
        ModuleSet modules(c.modules);
        Closure closure = modules.Compute();
        EXPECT_EQ(std::wstring(c.verdicts), Verdicts(closure));
        EXPECT_EQ(!*c.verdicts, closure.Complete());
        ExpectMergeOrder(closure);
    }
}
TEST(Closure, ExcludedLanguages) {
    struct Case {
        LONG excluded, language;
        bool expected;
    } cases[] = {
        {0, 1033, true},     {1033, 1033, true},   {1033, 1031, false}, {9, 1033, true},  {9, 2057, true},
        {9, 1031, false},    {-1033, 1031, true},  {-1033, 1033, false}, {-9, 2057, false}, {1033, 0, false},
        // The edges of a group: the highest primary language, a full language is no group, neutral.
        {1023, 2047, true},  {1024, 2048, false},  {1033, 2057, false}, {-9, 1031, true},  {-1033, 0, true},
        {0, 0, true},        {9, 0, false},
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
// Modules merged together: each once, the roots first, an exclusion between two roots in force, and
// every module after what it requires whichever root pulled it in.
TEST(Closure, SeveralRootsCloseTogether) {
    ModuleSet set({L"R:1033@1 +A:0", L"S:1033@1 +A:0 +B:0 -R:0", L"A:1033@1 +C:0", L"B:1033@1", L"C:1033@1"});
    Closure closure = set.Compute({L"R:1033", L"S:1033", L"R:1033"});
    std::vector<_stringx> order;
    for (const ModuleNode* module : closure.Modules) order.push_back(module->EntryKey);
    EXPECT_EQ((std::vector<_stringx>{L"R:1033", L"S:1033", L"A:1033", L"B:1033", L"C:1033"}), order);
    EXPECT_EQ(L"S:1033 excludes R:1033", Verdicts(closure));
    EXPECT_EQ((std::vector<_stringx>{L"C:1033", L"A:1033", L"R:1033", L"B:1033", L"S:1033"}), closure.MergeOrder);
}
}  // namespace
