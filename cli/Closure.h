// The dependency closure of one module over a module set: what it pulls in, what is missing or too
// old, which exclusions it violates, its cycles, and an order in which to merge it. Pure logic over
// records, so that the catalog client and the tests feed it alike.
#pragma once
#include <functional>
#include <map>
#include <vector>
#include "base/stringx.h"

struct Requirement {
    _stringx ModuleId;
    LONG Language = 0;  // 0: any language
    _stringx Version;   // minimum; empty: any
};

struct Exclusion {
    _stringx ModuleId;
    LONG Language = 0;    // 0: any; negative: every language but this one
    _stringx MinVersion;  // empty: open
    _stringx MaxVersion;  // empty: open
};

struct ModuleNode {
    _stringx EntryKey;
    _stringx ModuleId;
    LONG Language = 0;
    _stringx Version;
    std::vector<Requirement> Requires;
    std::vector<Exclusion> Excludes;
};

// The module that answers a requirement's ModuleID and language, or null; the same key must always
// give the same node.
using ModuleResolver = std::function<const ModuleNode*(const _stringx& moduleId, LONG language)>;

struct ResolvedRequirement {
    Requirement Wanted;
    const ModuleNode* Found = nullptr;  // null: missing
    bool TooOld = false;
};

struct ViolatedExclusion {
    const ModuleNode* ExcludedBy = nullptr;
    const ModuleNode* Excluded = nullptr;
    Exclusion Rule;
};

struct Closure {
    // Breadth first from the roots, the roots first.
    std::vector<const ModuleNode*> Modules;
    std::map<_stringx, std::vector<ResolvedRequirement>> Requirements;  // by EntryKey
    std::vector<ViolatedExclusion> Violations;
    // Each a path of EntryKeys, every one requiring the next and the last the first.
    std::vector<std::vector<_stringx>> Cycles;
    // Every module after all that it requires, except along a cycle.
    std::vector<_stringx> MergeOrder;

    bool Complete() const;
};

Closure ComputeClosure(const ModuleNode& root, const ModuleResolver& resolve);
// The closure of several modules merged together: the roots first, in their order (repeats dropped).
Closure ComputeClosure(const std::vector<const ModuleNode*>& roots, const ModuleResolver& resolve);

// True when an excluded language names the given one: the same language, its primary language
// (the low ten bits) for a group, any language for 0, every other language for a negative value.
bool LanguageExcluded(LONG excluded, LONG language);
// True when the rule names the module: its ModuleID, its language and its version.
bool RuleExcludes(const Exclusion& rule, const ModuleNode& module);
// True when the version lies in [min, max], an empty bound being open.
bool VersionInRange(const _stringx& version, const _stringx& min, const _stringx& max);
