// The file search's shortcut: every catalog entry in the order the search visits them, and for each
// long file name the records that carry it, in that same order. A search looks only at those, so
// its answer is the walk's answer without the walk. Made on the first search, dropped when the
// modules it was made from change.
#pragma once
#include <windows.h>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>
#include "model/CatalogEntry.h"

class FileNameIndex {
public:
    struct Candidate {
        CatalogEntry* entry;
        std::shared_ptr<void> keepAlive;
    };

    bool IsCurrent(ULONG generation) const { return built_ && generation_ == generation; }
    void Drop() { *this = FileNameIndex(); }
    // Reads every candidate's file list (a failure waits for the search that reaches it).
    void Build(std::vector<Candidate> candidates, ULONG generation);

    // Calls visit(candidate, records) for each candidate that has files named so, in visiting order,
    // until visit returns true; a candidate whose list could not be read raises when the visit
    // reaches it, as the walk would. True when a visit returned true.
    template <typename Visit>
    bool VisitByName(const _stringx& fileName, Visit&& visit) {
        static const std::vector<std::pair<size_t, const FileEntry*>> none;
        auto named = byName_.find(NameKey(fileName));
        const auto& hits = named == byName_.end() ? none : named->second;
        size_t failing = 0;
        std::vector<const FileEntry*> records;
        for (size_t at = 0; at < hits.size();) {
            size_t position = hits[at].first;
            RaiseFailuresBefore(position + 1, failing);
            records.clear();
            for (; at < hits.size() && hits[at].first == position; ++at) records.push_back(hits[at].second);
            if (visit(candidates_[position], records)) return true;
        }
        RaiseFailuresBefore(candidates_.size(), failing);
        return false;
    }

    // The form of a name under which every name that compares equal without case is filed.
    static std::wstring NameKey(const _stringx& name);

private:
    // Gives each candidate before `end` whose list read failed its chance to raise.
    void RaiseFailuresBefore(size_t end, size_t& next) {
        for (; next < failing_.size() && failing_[next] < end; ++next) candidates_[failing_[next]].entry->Files();
    }

    bool built_ = false;
    ULONG generation_ = 0;
    std::vector<Candidate> candidates_;
    std::unordered_map<std::wstring, std::vector<std::pair<size_t, const FileEntry*>>> byName_;
    std::vector<size_t> failing_;  // positions whose file list read failed, ascending
};
