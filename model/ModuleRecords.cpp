#include "model/ModuleRecords.h"

#include <algorithm>
#include <cstring>

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
    const wchar_t* const id = moduleId.c_str();  // up to a NUL, as %s reads it
    std::wstring key;
    key.reserve(wcslen(id) + 1 + (end - first));  // one allocation, not one a step
    key += id;
    key += L':';
    key.append(first, end);
    return _stringx(std::move(key));
}

namespace {
// The one rule for a long name: what follows the first "|", else the whole stored name.
std::wstring_view LongPart(std::wstring_view stored) {
    size_t bar = stored.find(L'|');
    return bar == std::wstring_view::npos ? stored : stored.substr(bar + 1);
}
}  // namespace

_stringx LongFileName(std::wstring_view storedName) { return _stringx(LongPart(storedName)); }

std::wstring_view FileEntry::LongName() const { return LongPart(StoredName()); }

void FileEntry::SetTexts(std::wstring_view storedName, std::wstring_view version, std::wstring_view language,
                         std::wstring_view fileKey) {
    FileTexts texts;
    texts.Reserve(storedName.size() + version.size() + language.size() + fileKey.size());
    texts.Append(*this, kStoredName, storedName);
    texts.Append(*this, kVersion, version);
    texts.Append(*this, kLanguage, language);
    texts.Append(*this, kFileKey, fileKey);
    texts.Share(this, this + 1);
}

wchar_t* FileTexts::Append(FileEntry& record, FileEntry::Text which, size_t length) {
    std::wstring& block = Block();
    const size_t at = block.size();
    block.resize(at + length);
    record.spans_[which] = {static_cast<uint32_t>(at), static_cast<uint32_t>(length)};
    return block.data() + at;
}

bool FileTexts::HoldsBytes(const char* bytes, size_t length) const {
    // Spans count characters from the block's start in 32 bits.
    const uintptr_t start = reinterpret_cast<uintptr_t>(held_.get()), at = reinterpret_cast<uintptr_t>(bytes);
    return held_ && at >= start && at - start <= heldLength_ && length <= heldLength_ - (at - start) &&
           start % alignof(wchar_t) == 0 && (at - start) % sizeof(wchar_t) == 0 &&
           heldLength_ / sizeof(wchar_t) <= UINT32_MAX;
}

bool FileTexts::Take(FileEntry& record, FileEntry::Text which, const char* bytes, size_t length) {
    if (!held_) {
        memcpy(Append(record, which, length), bytes, length * sizeof(wchar_t));
        return true;
    }
    if (length > SIZE_MAX / sizeof(wchar_t) || !HoldsBytes(bytes, length * sizeof(wchar_t))) return false;
    const size_t at = static_cast<size_t>(bytes - held_.get()) / sizeof(wchar_t);
    record.spans_[which] = {static_cast<uint32_t>(at), static_cast<uint32_t>(length)};
    return true;
}

void FileTexts::Share(FileEntry* begin, FileEntry* end) {
    std::shared_ptr<const wchar_t> base;
    if (held_) {
        base = std::shared_ptr<const wchar_t>(held_, reinterpret_cast<const wchar_t*>(held_.get()));
    } else if (block_) {
        // Growing by doubling can leave half the block unused, for as long as the list is held.
        if (block_->capacity() - block_->size() > block_->size() / 8) block_->shrink_to_fit();
        const wchar_t* start = block_->data();
        base = std::shared_ptr<const wchar_t>(block_, start);
        block_.reset();
    }
    for (FileEntry* record = begin; record != end; ++record) record->texts_ = base;
}

const _stringx& FileEntry::Directory() const {
    static const _stringx none;
    return directory_ ? *directory_ : none;
}

void FileEntry::SetDirectory(_stringx key) {
    directory_ = key.empty() ? nullptr : std::make_shared<const _stringx>(std::move(key));
}

const FileEntry* FileList::Find(const _stringx& fileKey) const {
    auto found = std::lower_bound(records_.begin(), records_.end(), fileKey,
                                  [](const FileEntry& record, const _stringx& key) { return record.FileKey() < key; });
    return found != records_.end() && found->FileKey() == fileKey ? &*found : nullptr;
}

void FileList::Add(std::vector<FileEntry>&& records) {
    auto before = [](const FileEntry& a, const FileEntry& b) { return a.FileKey() < b.FileKey(); };
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
        if (i + 1 == records_.size() || records_[i].FileKey() != records_[i + 1].FileKey()) {
            if (kept != i) records_[kept] = std::move(records_[i]);
            ++kept;
        }
    records_.resize(kept);
}
