#include "model/ModuleRecords.h"

#include <algorithm>

_stringx MakeEntryKey(const _stringx& moduleId, LONG language) {
    // "%s:%d" by hand: a catalog makes thousands of keys, and formatting costs more than the rest.
    wchar_t digits[12];
    wchar_t* const end = digits + 12;
    wchar_t* first = end;
    ULONG magnitude = language < 0 ? 0ul - static_cast<ULONG>(language) : static_cast<ULONG>(language);
    do {
        *--first = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (language < 0) *--first = L'-';
    std::wstring key(moduleId.c_str());  // up to a NUL, as %s reads it
    key += L':';
    key.append(first, end);
    return _stringx(std::move(key));
}

namespace {
// The one rule for a long name: what follows the first "|", else the whole stored name.
std::wstring_view LongPart(const _stringx& storedName) {
    std::wstring_view stored(storedName.c_str(), storedName.length());
    size_t bar = stored.find(L'|');
    return bar == std::wstring_view::npos ? stored : stored.substr(bar + 1);
}
}  // namespace

_stringx LongFileName(const _stringx& storedName) { return _stringx(std::wstring(LongPart(storedName))); }

std::wstring_view FileEntry::LongName() const { return LongPart(StoredName); }

const _stringx& FileEntry::Directory() const {
    static const _stringx none;
    return directory_ ? *directory_ : none;
}

void FileEntry::SetDirectory(_stringx key) {
    directory_ = key.empty() ? nullptr : std::make_shared<const _stringx>(std::move(key));
}

const FileEntry* FileList::Find(const _stringx& fileKey) const {
    auto found = std::lower_bound(records_.begin(), records_.end(), fileKey,
                                  [](const FileEntry& record, const _stringx& key) { return record.FileKey < key; });
    return found != records_.end() && found->FileKey == fileKey ? &*found : nullptr;
}

void FileList::Add(std::vector<FileEntry>&& records) {
    auto before = [](const FileEntry& a, const FileEntry& b) { return a.FileKey < b.FileKey; };
    // A list read from a module or the cache comes one per key in key order: taken as it stands.
    if (records_.empty() && std::adjacent_find(records.begin(), records.end(), [&](const FileEntry& a, const FileEntry& b) {
                                return !before(a, b);
                            }) == records.end()) {
        records_ = std::move(records);
        records.clear();
        return;
    }
    records_.insert(records_.end(), std::make_move_iterator(records.begin()), std::make_move_iterator(records.end()));
    records.clear();
    // Stable: of the records with one key, the last one added is the last of its run.
    std::stable_sort(records_.begin(), records_.end(), before);
    size_t kept = 0;
    for (size_t i = 0; i < records_.size(); ++i)
        if (i + 1 == records_.size() || records_[i].FileKey != records_[i + 1].FileKey) {
            if (kept != i) records_[kept] = std::move(records_[i]);
            ++kept;
        }
    records_.resize(kept);
}
