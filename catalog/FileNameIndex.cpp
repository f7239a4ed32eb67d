#include "catalog/FileNameIndex.h"

#include <array>
#include <cwctype>
#include "msi/ModuleEntry.h"

namespace {
// The search compares names with _wcsicmp, which lowers each character with towlower. That is a
// call into the runtime per character, and an index lowers hundreds of thousands of them, nearly
// all ASCII: those are asked of towlower once.
wchar_t Lower(wchar_t c) {
    static const std::array<wchar_t, 128> ascii = [] {
        std::array<wchar_t, 128> table{};
        for (wchar_t c = 0; c < 128; ++c) table[c] = static_cast<wchar_t>(towlower(c));
        return table;
    }();
    return c < 128 ? ascii[c] : static_cast<wchar_t>(towlower(c));
}

void LowerInto(const _stringx& name, std::wstring& key) {
    key.assign(name.c_str(), name.length());
    for (wchar_t& c : key) c = Lower(c);
}
}  // namespace

std::wstring FileNameIndex::NameKey(const _stringx& name) {
    std::wstring key;
    LowerInto(name, key);
    return key;
}

uint32_t FileNameIndex::HashNoCase(const _stringx& text) {
    uint32_t hash = 2166136261u;
    for (const wchar_t* c = text.c_str(); *c; ++c) hash = (hash ^ static_cast<uint16_t>(Lower(*c))) * 16777619u;
    return hash;
}

void FileNameIndex::Build(std::vector<Candidate> candidates, ULONG generation) {
    Drop();
    candidates_ = std::move(candidates);
    std::vector<CatalogEntry*> entries;
    for (const Candidate& candidate : candidates_) entries.push_back(candidate.entry);
    PreloadFileLists(entries);
    size_t records = 0, characters = 0;
    for (const Candidate& candidate : candidates_) {
        candidate.entry->LoadFiles();
        records += candidate.entry->LoadedFiles().size();
        for (const FileEntry& file : candidate.entry->LoadedFiles()) characters += file.LongName().length();
    }
    // Two passes: each record's name numbered and counted, then each record put in its name's run.
    byName_.reserve(records);
    std::vector<uint32_t> nameOf;
    nameOf.reserve(records);
    runStart_.clear();
    // Every name lowered into the block first: the map's views are made once it is complete.
    names_.reserve(characters);
    for (const Candidate& candidate : candidates_)
        for (const FileEntry& file : candidate.entry->LoadedFiles())
            for (wchar_t c : file.LongName()) names_.push_back(Lower(c));
    size_t at = 0;
    for (size_t position = 0; position < candidates_.size(); ++position) {
        CatalogEntry& entry = *candidates_[position].entry;
        if (entry.FilesFailurePending()) failing_.push_back(position);
        for (const FileEntry& file : entry.LoadedFiles()) {
            const size_t length = file.LongName().length();
            auto named = byName_.try_emplace(std::wstring_view(names_.data() + at, length),
                                             static_cast<uint32_t>(runStart_.size())).first;
            at += length;
            if (named->second == runStart_.size()) runStart_.push_back(0);
            ++runStart_[named->second];
            nameOf.push_back(named->second);
        }
    }
    // Counts to starts, with the end of the last run after them.
    uint32_t start = 0;
    for (uint32_t& count : runStart_) {
        uint32_t next = start + count;
        count = start;
        start = next;
    }
    runStart_.push_back(start);
    position_.resize(records);
    record_.resize(records);
    keyHash_.resize(records);
    folderHash_.assign(records, 0);
    folder_.assign(records, kFolderUnknown);
    std::vector<uint32_t> filled(runStart_.begin(), runStart_.end() - 1);
    size_t next = 0;
    // The records of one folder share its text: hashed once for a run of them.
    const _stringx* lastDirectory = nullptr;
    uint32_t lastHash = 0;
    for (size_t position = 0; position < candidates_.size(); ++position)
        for (const FileEntry& file : candidates_[position].entry->LoadedFiles()) {
            uint32_t at = filled[nameOf[next++]]++;
            position_[at] = static_cast<uint32_t>(position);
            record_[at] = &file;
            const _stringx& directory = file.Directory();
            if (&directory != lastDirectory) {
                lastHash = HashNoCase(directory);
                lastDirectory = &directory;
            }
            keyHash_[at] = lastHash;
        }
    generation_ = generation;
    built_ = true;
}
