#include "catalog/FileNameIndex.h"

#include <array>
#include <cwctype>
#include "msi/ModuleReader.h"

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
    size_t records = 0;
    for (const Candidate& candidate : candidates_) records += candidate.entry->LoadedFiles().size();
    byName_.reserve(records);
    std::wstring key;
    for (size_t position = 0; position < candidates_.size(); ++position) {
        CatalogEntry& entry = *candidates_[position].entry;
        entry.PreloadFiles();
        if (entry.FilesFailurePending()) failing_.push_back(position);
        for (const auto& file : entry.LoadedFiles()) {
            LowerInto(file.second.LongName, key);
            auto named = byName_.find(key);
            if (named == byName_.end()) named = byName_.emplace(key, Hits()).first;
            Hits& hits = named->second;
            hits.position.push_back(static_cast<uint32_t>(position));
            hits.record.push_back(&file.second);
            hits.keyHash.push_back(HashNoCase(file.second.Directory));
            hits.folderHash.push_back(0);
            hits.folder.push_back(kFolderUnknown);
        }
    }
    generation_ = generation;
    built_ = true;
}
