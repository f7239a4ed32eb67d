#include "catalog/FileSearch.h"

#include <cwctype>
#include <shlwapi.h>
#include "folders/FolderSyntax.h"

namespace {
_stringx Trimmed(const _stringx& text) {
    const std::wstring& all = text.str();
    size_t first = all.find_first_not_of(L" \t\r\n");
    if (first == std::wstring::npos) return _stringx();
    size_t last = all.find_last_not_of(L" \t\r\n");
    return _stringx(all.substr(first, last - first + 1));
}
}  // namespace

FileQuery FileQuery::Make(const wchar_t* path, const wchar_t* directoryKey, const wchar_t* version,
                          bool matchDirectoryKey, bool matchResolvedFolder) {
    _stringx folderPart, filePart;
    SplitFolderPath(path, folderPart, filePart);
    size_t lastSlash = filePart.rfind(L'\\');
    FileQuery query{lastSlash == _stringx::npos ? filePart : filePart.substr(lastSlash + 1),
                    folderPart,
                    _stringx(directoryKey),
                    _stringx(version),
                    matchDirectoryKey,
                    matchResolvedFolder,
                    FileNameIndex::HashNoCase(_stringx(directoryKey)),
                    FileNameIndex::HashNoCase(folderPart)};
    if (query.version.empty()) query.version = L"0";
    return query;
}

bool SameText(const _stringx& a, const _stringx& b) {
    size_t length = a.length();
    if (length != b.length()) return false;
    const wchar_t* x = a.c_str();
    const wchar_t* y = b.c_str();
    for (size_t i = 0; i < length; ++i)
        if (x[i] != y[i] && towlower(x[i]) != towlower(y[i])) return false;
    return true;
}

std::vector<_stringx> SplitAtComma(const _stringx& text) {
    std::vector<_stringx> parts;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(L',', start);
        parts.push_back(text.substr(start, comma == _stringx::npos ? _stringx::npos : comma - start));
        if (comma == _stringx::npos) break;
        start = comma + 1;
    }
    return parts;
}

bool IsExcludedFileName(const _stringx& fileName, const std::vector<_stringx>& patterns) {
    if (fileName.empty()) return false;
    for (const _stringx& pattern : patterns) {
        _stringx trimmed = Trimmed(pattern);
        if (!trimmed.empty() && PathMatchSpecW(fileName.c_str(), trimmed.c_str())) return true;
    }
    return false;
}

bool MayDeliver(const FileNameIndex::Hits& hits, size_t i, const FileQuery& query) {
    if (query.matchDirectoryKey && hits.keyHash[i] != query.directoryKeyHash) return false;
    if (query.matchResolvedFolder && !query.folderPart.empty())
        return hits.folder[i] == FileNameIndex::kFolderUnknown ||
               (hits.folder[i] == FileNameIndex::kFolderResolved && hits.folderHash[i] == query.folderHash);
    return true;
}

bool DeliversFile(CatalogEntry& entry, FileNameIndex::Hits& hits, size_t begin, size_t end, const FileQuery& query) {
    for (size_t i = begin; i < end; ++i) {
        if (!MayDeliver(hits, i, query)) continue;
        const FileEntry* record = hits.record[i];
        if (query.matchDirectoryKey && !SameText(record->Directory(), query.directoryKey)) continue;
        if (query.matchResolvedFolder && !query.folderPart.empty()) {
            // A folder is resolved once per entry: what an earlier search learnt of it stands.
            const _stringx* resolved = entry.ModuleDirectory(record->Directory());
            hits.folder[i] = resolved ? FileNameIndex::kFolderResolved : FileNameIndex::kFolderUnresolvable;
            hits.folderHash[i] = resolved ? FileNameIndex::HashNoCase(*resolved) : 0;
            if (!resolved || hits.folderHash[i] != query.folderHash || !SameText(*resolved, query.folderPart)) continue;
        }
        // A file without a version stands for version "0".
        if (record->Version().empty() ? query.version.str() != L"0" : record->Version() != query.version) continue;
        return true;
    }
    return false;
}
