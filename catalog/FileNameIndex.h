// The file search's shortcut: every catalog entry in the order the search visits them, and for each
// long file name the records that carry it, in that same order. A search looks only at those, so
// its answer is the walk's answer without the walk. Made on the first search, dropped when the
// modules it was made from change.
#pragma once
#include <windows.h>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
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

    // The records of one name, in visiting order, with what searches learnt of them: hashes that
    // tell most records that cannot match from one that might, without comparing texts or resolving
    // folders again. A run of the index's columns: a search of a common name runs down thousands.
    enum FolderState : uint8_t { kFolderUnknown, kFolderResolved, kFolderUnresolvable };
    struct Hits {
        const uint32_t* position;  // of the candidate
        const FileEntry* const* record;
        const uint32_t* keyHash;   // of the record's directory key, without case
        uint32_t* folderHash;      // of its resolved folder, without case, once resolved
        FolderState* folder;
        size_t count;
    };

    bool IsCurrent(ULONG generation) const { return built_ && generation_ == generation; }
    void Drop() { *this = FileNameIndex(); }
    // Reads every candidate's file list (a failure waits for the search that reaches it).
    void Build(std::vector<Candidate> candidates, ULONG generation);

    // Calls visit(candidate, hits, begin, end) for each candidate that has files named so, in
    // visiting order, with its records [begin, end), until visit returns true; a candidate whose list
    // could not be read raises when the visit reaches it, as the walk would. True when a visit
    // returned true. Records that mayMatch(hits, i) rules out are passed over.
    template <typename MayMatch, typename Visit>
    bool VisitByName(const _stringx& fileName, MayMatch&& mayMatch, Visit&& visit) {
        const std::wstring key = NameKey(fileName);
        auto named = byName_.find(std::wstring_view(key));
        size_t failing = 0;
        if (named != byName_.end()) {
            Hits hits = Run(named->second);
            size_t count = hits.count;
            for (size_t at = 0; at < count;) {
                if (!mayMatch(hits, at)) {
                    ++at;
                    continue;
                }
                uint32_t position = hits.position[at];
                size_t end = at + 1;
                while (end < count && hits.position[end] == position) ++end;
                RaiseFailuresBefore(position + 1, failing);
                if (visit(candidates_[position], hits, at, end)) return true;
                at = end;
            }
        }
        RaiseFailuresBefore(candidates_.size(), failing);
        return false;
    }

    // The form of a name under which every name that compares equal without case is filed.
    static std::wstring NameKey(const _stringx& name);
    // Equal for texts that _wcsicmp finds equal.
    static uint32_t HashNoCase(const _stringx& text);

private:
    // Gives each candidate before `end` whose list read failed its chance to raise.
    void RaiseFailuresBefore(size_t end, size_t& next) {
        for (; next < failing_.size() && failing_[next] < end; ++next)
            if (ReadFailure failure = candidates_[failing_[next]].entry->TakeFilesFailure()) failure.Raise();
    }

    Hits Run(uint32_t name) {
        uint32_t begin = runStart_[name];
        return {&position_[begin], &record_[begin], &keyHash_[begin], &folderHash_[begin], &folder_[begin],
                runStart_[name + 1] - begin};
    }

    bool built_ = false;
    ULONG generation_ = 0;
    std::vector<Candidate> candidates_;
    // Every record's name key, one after another: a text apiece would cost an allocation per record.
    // The map's views into it are made once it is complete.
    std::vector<wchar_t> names_;
    std::unordered_map<std::wstring_view, uint32_t> byName_;  // name key -> its number
    // Every record, grouped by name in the names' order, each group in visiting order; a name's
    // group starts at runStart_[name] and ends where the next one starts.
    std::vector<uint32_t> runStart_;
    std::vector<uint32_t> position_;
    std::vector<const FileEntry*> record_;
    std::vector<uint32_t> keyHash_;
    std::vector<uint32_t> folderHash_;
    std::vector<FolderState> folder_;
    std::vector<size_t> failing_;  // positions whose file list read failed, ascending
};
