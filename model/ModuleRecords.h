// The records of a catalog entry's lists: what a module requires, what it excludes, the files it
// delivers. The same records come from a module's own tables and from a gallery description file.
#pragma once
#include <windows.h>
#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <memory>
#include <string_view>
#include <vector>
#include "base/stringx.h"

// One required module.
struct DependencyEntry {
    _stringx ModuleId;  // required ModuleID
    _stringx Key;       // "%s:%d" of ModuleId and Language
    _stringx Version;   // required version
    LONG Language = 0;  // required language
};

// One excluded module.
struct ExclusionEntry {
    _stringx ModuleId;    // excluded ModuleID
    _stringx Key;         // "%s:%d" of ModuleId and Language
    _stringx MinVersion;  // excluded minimum version
    _stringx MaxVersion;  // excluded maximum version
    LONG Language = 0;    // excluded language
};

// One file of the module. Its texts are spans of a block that many records share (their list's, or
// the bytes of the cache they were read from): a catalog holds hundreds of thousands of records, and
// a text apiece cost an allocation and a copy apiece, most of the time it took to read a list.
struct FileEntry {
    enum Text : uint8_t { kStoredName, kVersion, kLanguage, kFileKey, kTexts };

    LONG FileSize = 0;
    LONG Sequence = 0;

    // The FileName column as stored: maybe "short|long".
    std::wstring_view StoredName() const { return TextOf(kStoredName); }
    std::wstring_view Version() const { return TextOf(kVersion); }
    // As text, the way the File table holds it.
    std::wstring_view Language() const { return TextOf(kLanguage); }
    std::wstring_view FileKey() const { return TextOf(kFileKey); }
    std::wstring_view TextOf(Text which) const {
        if (!texts_) return std::wstring_view();
        return std::wstring_view(texts_.get() + spans_[which].at, spans_[which].length);
    }
    // The part of the stored name after the first "|", else all of it.
    std::wstring_view LongName() const;
    // Gives the record a block of its own; the records of a list read together get theirs from
    // FileTexts.
    void SetTexts(std::wstring_view storedName, std::wstring_view version, std::wstring_view language,
                  std::wstring_view fileKey);

    // Directory_ of the file's component. The records of one folder share its text: a list has
    // thousands of records and a few folders.
    const _stringx& Directory() const;
    void SetDirectory(_stringx key);
    void SetDirectory(std::shared_ptr<const _stringx> key) { directory_ = std::move(key); }

private:
    friend class FileTexts;
    struct Span {
        uint32_t at = 0;
        uint32_t length = 0;
    };

    std::shared_ptr<const wchar_t> texts_;  // the block's start, which spans count from
    Span spans_[kTexts];
    std::shared_ptr<const _stringx> directory_;
};

// Fills the texts of many records into one block, which each of them holds once it is complete. Until
// then the records read as empty. The block is made with the first text: most replies decoded (a
// module's header) have no file records.
class FileTexts {
public:
    FileTexts() = default;
    // Texts are taken where they lie in `held` (`length` bytes), which the records then hold instead
    // of a copy; nothing is appended.
    FileTexts(std::shared_ptr<const char> held, size_t length) : held_(std::move(held)), heldLength_(length) {}
    bool Holds() const { return held_ != nullptr; }
    // Whether `length` bytes at `bytes` lie whole in the held block, starting at a character.
    bool HoldsBytes(const char* bytes, size_t length) const;
    // Room for at least this many characters, so that a block of known size is allocated once.
    void Reserve(size_t characters) { Block().reserve(characters); }
    // Room for `length` characters of one text of `record`, to be written before the next call.
    wchar_t* Append(FileEntry& record, FileEntry::Text which, size_t length);
    void Append(FileEntry& record, FileEntry::Text which, std::wstring_view text) {
        std::copy(text.begin(), text.end(), Append(record, which, text.size()));
    }
    // A text of `length` characters at `bytes`, copied, or with a held block, a span of it: false
    // (and nothing taken) for one that is not a whole, aligned part of that block.
    bool Take(FileEntry& record, FileEntry::Text which, const char* bytes, size_t length);
    // Gives the block to the records [begin, end) and starts a new one.
    void Share(FileEntry* begin, FileEntry* end);

private:
    std::wstring& Block() {
        if (!block_) block_ = std::make_shared<std::wstring>();
        return *block_;
    }

    std::shared_ptr<std::wstring> block_;
    std::shared_ptr<const char> held_;
    size_t heldLength_ = 0;
};

// Ordered by key, code unit by code unit; a later record with the same key replaces the earlier one.
using DependencyMap = std::map<_stringx, DependencyEntry>;
using ExclusionMap = std::map<_stringx, ExclusionEntry>;

// A module's file records in one block, ordered by FileKey code unit by code unit, one per key: of
// records with one key, the one added last stands. A catalog holds hundreds of thousands of them,
// and a node and a copy of the key apiece made reading them from the cache cost twice as much.
class FileList {
public:
    using const_iterator = std::vector<FileEntry>::const_iterator;
    const_iterator begin() const { return records_.begin(); }
    const_iterator end() const { return records_.end(); }
    size_t size() const { return records_.size(); }
    bool empty() const { return records_.empty(); }
    // The record of a key, null when there is none.
    const FileEntry* Find(const _stringx& fileKey) const;
    // Files the records after those already filed, in the order given.
    void Add(std::vector<FileEntry>&& records);

private:
    std::vector<FileEntry> records_;
};

// "ModuleID:Language", the key of a module in catalogs, lists and the friendly-name index.
_stringx MakeEntryKey(const _stringx& moduleId, LONG language);

// The long name of a stored file name: the part after the first "|", else the whole name.
_stringx LongFileName(std::wstring_view storedName);
