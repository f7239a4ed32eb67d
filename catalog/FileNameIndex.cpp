#include "catalog/FileNameIndex.h"

#include <cwctype>
#include "msi/ModuleReader.h"

std::wstring FileNameIndex::NameKey(const _stringx& name) {
    // The search compares names with _wcsicmp, which lowers each character with the same function.
    std::wstring key = name.str();
    for (wchar_t& c : key) c = static_cast<wchar_t>(towlower(c));
    return key;
}

uint32_t FileNameIndex::HashNoCase(const _stringx& text) {
    uint32_t hash = 2166136261u;
    for (const wchar_t* c = text.c_str(); *c; ++c) hash = (hash ^ static_cast<uint16_t>(towlower(*c))) * 16777619u;
    return hash;
}

void FileNameIndex::Build(std::vector<Candidate> candidates, ULONG generation) {
    Drop();
    candidates_ = std::move(candidates);
    std::vector<CatalogEntry*> entries;
    for (const Candidate& candidate : candidates_) entries.push_back(candidate.entry);
    PreloadFileLists(entries);
    for (size_t position = 0; position < candidates_.size(); ++position) {
        CatalogEntry& entry = *candidates_[position].entry;
        entry.PreloadFiles();
        if (entry.FilesFailurePending()) failing_.push_back(position);
        for (const auto& file : entry.LoadedFiles()) {
            Hits& hits = byName_[NameKey(file.second.LongName)];
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
