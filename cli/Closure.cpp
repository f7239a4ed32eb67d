#include "cli/Closure.h"

#include <algorithm>
#include <deque>
#include <set>
#include "base/Versions.h"

namespace {
using Graph = std::map<_stringx, std::vector<_stringx>>;

// Tarjan's strongly connected components, iteratively so that long chains cannot exhaust the stack.
std::vector<std::vector<_stringx>> Components(const std::vector<const ModuleNode*>& nodes, const Graph& edges) {
    std::map<_stringx, int> index, low;
    std::set<_stringx> onStack;
    std::vector<_stringx> stack;
    std::vector<std::vector<_stringx>> components;
    int counter = 0;
    for (const ModuleNode* start : nodes) {
        if (index.count(start->EntryKey)) continue;
        std::vector<std::pair<_stringx, size_t>> work{{start->EntryKey, 0}};
        while (!work.empty()) {
            _stringx node = work.back().first;
            size_t& next = work.back().second;
            if (next == 0 && !index.count(node)) {
                index[node] = low[node] = counter++;
                stack.push_back(node);
                onStack.insert(node);
            }
            const std::vector<_stringx>& targets = edges.at(node);
            if (next < targets.size()) {
                const _stringx& target = targets[next++];
                if (!index.count(target))
                    work.emplace_back(target, 0);
                else if (onStack.count(target))
                    low[node] = std::min(low[node], index[target]);
                continue;
            }
            if (low[node] == index[node]) {
                std::vector<_stringx> component;
                _stringx member;
                do {
                    member = stack.back();
                    stack.pop_back();
                    onStack.erase(member);
                    component.push_back(member);
                } while (member != node);
                components.push_back(component);
            }
            work.pop_back();
            if (!work.empty()) low[work.back().first] = std::min(low[work.back().first], low[node]);
        }
    }
    return components;
}

// The shortest path from start back to itself inside one component.
std::vector<_stringx> CycleThrough(const _stringx& start, const std::set<_stringx>& component, const Graph& edges) {
    std::map<_stringx, _stringx> cameFrom;
    std::deque<_stringx> queue{start};
    while (!queue.empty()) {
        _stringx node = queue.front();
        queue.pop_front();
        for (const _stringx& target : edges.at(node)) {
            if (!component.count(target)) continue;
            if (target == start) {
                std::vector<_stringx> path{node};
                while (path.back() != start) path.push_back(cameFrom[path.back()]);
                std::reverse(path.begin(), path.end());
                return path;
            }
            if (cameFrom.emplace(target, node).second) queue.push_back(target);
        }
    }
    return {start};
}

void DepthFirstOrder(const _stringx& node, const Graph& edges, std::set<_stringx>& seen,
                     std::vector<_stringx>& order) {
    std::vector<std::pair<_stringx, size_t>> work{{node, 0}};
    seen.insert(node);
    while (!work.empty()) {
        const std::vector<_stringx>& targets = edges.at(work.back().first);
        size_t& next = work.back().second;
        if (next < targets.size()) {
            const _stringx& target = targets[next++];
            // A module already seen is merged or on the current path (a cycle): either way not again.
            if (seen.insert(target).second) work.emplace_back(target, 0);
            continue;
        }
        order.push_back(work.back().first);
        work.pop_back();
    }
}
}  // namespace

bool LanguageExcluded(LONG excluded, LONG language) {
    if (excluded == 0) return true;
    if (excluded < 0) return !LanguageExcluded(-excluded, language);
    const LONG primaryMask = 0x3FF;
    return language == excluded || (excluded <= primaryMask && (language & primaryMask) == excluded);
}

bool VersionInRange(const _stringx& version, const _stringx& min, const _stringx& max) {
    return (min.empty() || CompareVersions(version, min) >= 0) && (max.empty() || CompareVersions(version, max) <= 0);
}

bool Closure::Complete() const {
    if (!Violations.empty() || !Cycles.empty()) return false;
    for (const auto& module : Requirements)
        for (const ResolvedRequirement& requirement : module.second)
            if (!requirement.Found || requirement.TooOld) return false;
    return true;
}

bool RuleExcludes(const Exclusion& rule, const ModuleNode& module) {
    return module.ModuleId == rule.ModuleId && LanguageExcluded(rule.Language, module.Language) &&
           VersionInRange(module.Version, rule.MinVersion, rule.MaxVersion);
}

Closure ComputeClosure(const ModuleNode& root, const ModuleResolver& resolve) {
    return ComputeClosure(std::vector<const ModuleNode*>{&root}, resolve);
}

Closure ComputeClosure(const std::vector<const ModuleNode*>& roots, const ModuleResolver& resolve) {
    Closure closure;
    Graph edges;
    std::deque<const ModuleNode*> queue;
    for (const ModuleNode* root : roots)
        if (edges.emplace(root->EntryKey, std::vector<_stringx>()).second) queue.push_back(root);
    while (!queue.empty()) {
        const ModuleNode* module = queue.front();
        queue.pop_front();
        closure.Modules.push_back(module);
        std::vector<ResolvedRequirement>& resolved = closure.Requirements[module->EntryKey];
        for (const Requirement& wanted : module->Requires) {
            ResolvedRequirement requirement{wanted, resolve(wanted.ModuleId, wanted.Language), false};
            const ModuleNode* found = requirement.Found;
            resolved.push_back(requirement);
            if (!found) continue;
            resolved.back().TooOld = !wanted.Version.empty() && CompareVersions(found->Version, wanted.Version) < 0;
            // A module satisfies its own requirement; it is no edge to merge along.
            if (found->EntryKey == module->EntryKey) continue;
            std::vector<_stringx>& targets = edges[module->EntryKey];
            if (std::find(targets.begin(), targets.end(), found->EntryKey) == targets.end())
                targets.push_back(found->EntryKey);
            if (edges.emplace(found->EntryKey, std::vector<_stringx>()).second) queue.push_back(found);
        }
    }

    for (const ModuleNode* module : closure.Modules)
        for (const Exclusion& rule : module->Excludes)
            for (const ModuleNode* other : closure.Modules)
                if (other != module && RuleExcludes(rule, *other))
                    closure.Violations.push_back(ViolatedExclusion{module, other, rule});

    // Cycles listed in the order of the closure, each component covered by as few paths as it takes.
    std::map<_stringx, size_t> position;
    for (const ModuleNode* module : closure.Modules) position.emplace(module->EntryKey, position.size());
    auto components = Components(closure.Modules, edges);
    std::sort(components.begin(), components.end(), [&](const auto& a, const auto& b) {
        auto first = [&](const std::vector<_stringx>& c) {
            size_t p = SIZE_MAX;
            for (const _stringx& key : c) p = std::min(p, position[key]);
            return p;
        };
        return first(a) < first(b);
    });
    for (auto& component : components) {
        if (component.size() < 2) continue;
        std::sort(component.begin(), component.end(),
                  [&](const _stringx& a, const _stringx& b) { return position[a] < position[b]; });
        std::set<_stringx> members(component.begin(), component.end()), covered;
        for (const _stringx& start : component) {
            if (covered.count(start)) continue;
            std::vector<_stringx> cycle = CycleThrough(start, members, edges);
            covered.insert(cycle.begin(), cycle.end());
            closure.Cycles.push_back(cycle);
        }
    }

    std::set<_stringx> seen;
    for (const ModuleNode* root : roots)
        if (!seen.count(root->EntryKey)) DepthFirstOrder(root->EntryKey, edges, seen, closure.MergeOrder);
    return closure;
}
