// What the catalog read from each module file, kept between processes so that an unchanged module
// set is ready without opening a module: one file per search location under the user's local
// application data, each module's header and file list keyed by its name and its listed size and
// last-write time. Shared by every catalog of the process; guards itself and calls nothing while
// holding its lock.
#pragma once
#include <windows.h>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>
#include "base/Handles.h"
#include "msi/ModuleData.h"

// A module file's size and last-write time as the folder listing gives them.
struct ListedStamp {
    ULONGLONG size = 0;
    ULONGLONG written = 0;
    bool operator==(const ListedStamp& other) const { return size == other.size && written == other.written; }
    bool operator!=(const ListedStamp& other) const { return !(*this == other); }
    static ListedStamp Of(const WIN32_FIND_DATAW& data);
};

// Files as a folder listing gives them, each name with its stamp. The names share one block: a
// catalog lists its folders twice as it starts, and a name apiece would cost 100,000 allocations a
// listing at 100,000 modules.
class ListedFiles {
public:
    size_t size() const { return files_.size(); }
    bool empty() const { return files_.empty(); }
    std::wstring_view Name(size_t i) const { return std::wstring_view(names_.data() + files_[i].at, files_[i].length); }
    const ListedStamp& Stamp(size_t i) const { return files_[i].stamp; }
    void Add(std::wstring_view name, const ListedStamp& stamp);
    // In name order, code unit by code unit.
    void SortByName();
    void Clear();

private:
    struct File {
        size_t at;
        size_t length;
        ListedStamp stamp;
    };
    std::vector<wchar_t> names_;
    std::vector<File> files_;
};

// Off while CVMMUPDATER_CACHE is 0 or HKEY_CURRENT_USER\Software\CvMMUpdater2 holds Cache = 0.
bool ModuleCacheEnabled();
// %LOCALAPPDATA%\CvMMUpdater2\Cache.
_stringx ModuleCacheFolder();
// The cache file of a location: a hash of its kind and case-folded path.
_stringx ModuleCacheFile(const _stringx& folder, SHORT kind);

class LocationCache {
public:
    // The cache of a location, its records loaded from its file (none when the file is missing or
    // damaged); null while the cache is switched off. One object per file in the process.
    static std::shared_ptr<LocationCache> Open(const _stringx& folder, SHORT kind);

    // The header recorded for a file listed with exactly this stamp.
    bool FindHeader(std::wstring_view name, const ListedStamp& stamp, ModuleReadResult& header);
    // Records a header read from the module; an unreadable verdict stands for its list as well.
    void NoteHeader(const std::wstring& name, const ListedStamp& stamp, const ModuleReadResult& header);
    // The file lists recorded for these stamps, read from the cache file now (one open for all);
    // `take` gets the position of each one found.
    void FindLists(const ListedFiles& wanted, const std::function<void(size_t, ModuleReadResult&)>& take);
    void NoteList(const std::wstring& name, const ListedStamp& stamp, ModuleReadResult& list);
    // Drops the records of files no longer listed with the same stamp. A scan ends with it: the
    // file its headers were read from is let go.
    void Retain(const ListedFiles& listed);
    // Writes the file, when something changed since it was loaded or written.
    void Save();

    // The location's files as listed now; its kind-1 path is its only candidate.
    ListedFiles ListNow() const;
    // The name under which a module path is recorded.
    std::wstring NameOf(const _stringx& path) const;

    LocationCache(const _stringx& folder, SHORT kind, const _stringx& file);

private:
    struct Record {
        ListedStamp stamp;
        // A record loaded from the file names where its header lies there (its length first): it
        // is read from the file when asked for, not kept (at 100,000 modules the header section is
        // 38 MB). A header read since holds its own bytes, and `at` is 0.
        ULONGLONG at = 0;
        std::string ownHeader;
        std::string pending;  // a list read from the module, not yet written
        ULONGLONG listOffset = 0;  // else the list's section in the file, when listLength > 0
        uint32_t listLength = 0;
        uint32_t listCrc = 0;
    };
    using ReadBytes = std::function<bool(ULONGLONG offset, char* to, size_t length)>;
    // The header recorded at that place in the file.
    bool HeaderAt(ULONGLONG at, std::string_view& header);
    // Moves the window to begin at `from` in the header section, keeping what it holds from there
    // and reading on; adds what it reads to `crc` when given.
    bool Slide(ULONGLONG from, const ReadBytes& read, uint32_t* crc);
    // A window of its capacity at the start of the header section, holding nothing yet.
    void EmptyWindow();
    // Opens the file again for the headers, if it is still the one the records were loaded from.
    bool Reopen();
    void EndReading();
    void Load();
    bool LoadFrom(const ReadBytes& read, ULONGLONG fileSize);
    bool Compose(std::string& out);
    void ClearRecords();

    const _stringx folder_;
    const SHORT kind_;
    const _stringx file_;
    std::mutex lock_;
    // The records as loaded from the file, in name order, their names in one block: a map node and
    // a name apiece cost two allocations a module at every start.
    struct Loaded {
        ListedStamp stamp;
        ULONGLONG at;
        ULONGLONG listOffset;
        uint32_t listLength, listCrc;
        uint32_t nameAt, nameLength;
        bool gone;  // dropped since, or noted again
    };
    std::vector<Loaded> loaded_;
    std::vector<wchar_t> loadedNames_;
    // Records noted since they were loaded (a loaded one that changes moves here).
    std::map<std::wstring, Record, std::less<>> noted_;
    std::wstring_view LoadedName(const Loaded& record) const {
        return std::wstring_view(loadedNames_.data() + record.nameAt, record.nameLength);
    }
    // The loaded record of that name, unless it is gone; null for none.
    Loaded* FindLoaded(std::wstring_view name);
    // The fixed part of the file the records were loaded from, and that file, kept open while a
    // scan reads their headers (shared for reading and deletion only: nobody writes into it then).
    std::string loadedFixed_;
    ULONGLONG sectionEnd_ = 0;
    unique_file reading_;
    bool reopenFailed_ = false;
    // A window on the header section, used again for every read of it.
    std::unique_ptr<char[]> window_;
    size_t windowCapacity_ = 0, windowSize_ = 0;
    ULONGLONG windowAt_ = 0;
    // Where FindHeader looks first among the loaded records.
    size_t next_ = 0;
    bool dirty_ = false;
};

// Writes every cache of the process that changed (when the last catalog goes).
void SaveModuleCaches();
