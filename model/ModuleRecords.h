// The records of a catalog entry's lists: what a module requires, what it excludes, the files it
// delivers. The same records come from a module's own tables and from a gallery description file.
#pragma once
#include <windows.h>
#include <map>
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

// One file of the module.
struct FileEntry {
    _stringx StoredName;  // the FileName column as stored: maybe "short|long"
    _stringx Version;
    _stringx Language;  // as text, the way the File table holds it
    _stringx FileKey;
    LONG FileSize = 0;
    LONG Sequence = 0;

    // The part of the stored name after the first "|", else all of it: a copy of its own would
    // cost every record an allocation.
    std::wstring_view LongName() const;
    // Directory_ of the file's component. The records of one folder share its text: a list has
    // thousands of records and a few folders.
    const _stringx& Directory() const;
    void SetDirectory(_stringx key);
    void SetDirectory(std::shared_ptr<const _stringx> key) { directory_ = std::move(key); }

private:
    std::shared_ptr<const _stringx> directory_;
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
_stringx LongFileName(const _stringx& storedName);
