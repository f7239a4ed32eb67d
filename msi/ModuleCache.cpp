#include "msi/ModuleCache.h"

#include <shlobj.h>
#include <shlwapi.h>
#include <algorithm>
#include <array>
#include <cstring>
#include <cstdio>
#include <string_view>
#include "base/Crc32.h"
#include "base/Handles.h"
#include "msi/ReaderWire.h"
#include "msi/SearchLocation.h"
#include "SourceIdentity.h"

namespace {
// Layout: a fixed part (magic, format, build identity, length and checksum of the header section),
// the header section (the location, then one record per module: name, stamp, header, where its list
// lies), then the list sections, each repeating its module's name and stamp. Little-endian, no
// pointer-sized field, so 32- and 64-bit servers share the files.
const char kMagic[8] = {'C', 'v', 'M', 'M', 'C', 'a', 'c', 'h'};
constexpr uint32_t kFormat = 1;
constexpr size_t kFixedSize = sizeof kMagic + 4 + 16 + 4 + 4;
// A module's header is a few short texts; its list may grow with the module, never beyond this.
constexpr size_t kLargestHeader = 64u << 10;
constexpr size_t kLargestName = MAX_PATH * 64;
// The header section is read through a window this large, which any record fits in.
constexpr size_t kWindow = 128u << 10;
static_assert(kWindow > 4 + kLargestName + 16 + 4 + kLargestHeader + 16, "a record fits in the window");
ULONGLONG LargestList(const ListedStamp& stamp) { return (64u << 10) + 4 * stamp.size; }
// Lists are read from the file this much at a time.
constexpr ULONGLONG kChunk = 4u << 20;
// The folder's bounds: files unused this long go, and beyond these the least recently used.
constexpr ULONGLONG kUnusedFor = 30ull * 24 * 3600 * 10000000;
constexpr ULONGLONG kTouchAfter = 24ull * 3600 * 10000000;
constexpr ULONGLONG kTemporaryFor = 3600ull * 10000000;
constexpr size_t kMostFiles = 256;
constexpr ULONGLONG kMostBytes = 1ull << 30;
// A file written this recently may change again without its time showing it.
constexpr ULONGLONG kSettleTime = 2ull * 10000000;

ULONGLONG Now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<ULONGLONG>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
}
ULONGLONG TimeValue(const FILETIME& time) { return static_cast<ULONGLONG>(time.dwHighDateTime) << 32 | time.dwLowDateTime; }

uint32_t Checksum(const char* data, size_t length) { return Crc32(data, length); }

void Put32(std::string& out, uint32_t value) { out.append(reinterpret_cast<const char*>(&value), sizeof value); }
void Put64(std::string& out, ULONGLONG value) { out.append(reinterpret_cast<const char*>(&value), sizeof value); }
void PutBlob(std::string& out, const void* data, size_t length) {
    Put32(out, static_cast<uint32_t>(length));
    out.append(static_cast<const char*>(data), length);
}
void PutName(std::string& out, std::wstring_view name) { PutBlob(out, name.data(), name.size() * sizeof(wchar_t)); }

// Takes fields back, refusing anything that runs past the end: no length is trusted before it is
// compared with the bytes present.
class Cursor {
public:
    Cursor(const char* data, size_t size) : data_(data), size_(size) {}
    bool ok() const { return ok_; }
    bool AtEnd() const { return at_ == size_; }
    size_t Used() const { return at_; }
    uint32_t Take32() {
        uint32_t value = 0;
        Raw(&value, sizeof value);
        return value;
    }
    ULONGLONG Take64() {
        ULONGLONG value = 0;
        Raw(&value, sizeof value);
        return value;
    }
    // A blob of at most `most` bytes after its length, left where it is.
    std::string_view TakeView(size_t most) {
        uint32_t length = Take32();
        if (!ok_ || length > most || length > size_ - at_) {
            Fail();
            return std::string_view();
        }
        std::string_view blob(data_ + at_, length);
        at_ += length;
        return blob;
    }
    std::wstring TakeName() {
        uint32_t length = Take32();
        if (!ok_ || length > kLargestName || length > size_ - at_ || length % sizeof(wchar_t)) {
            Fail();
            return std::wstring();
        }
        std::wstring name(length / sizeof(wchar_t), L'\0');
        memcpy(name.data(), data_ + at_, length);
        at_ += length;
        return name;
    }
    ListedStamp TakeStamp() {
        ListedStamp stamp;
        stamp.size = Take64();
        stamp.written = Take64();
        return stamp;
    }

    void Skip(size_t size) {
        if (!ok_ || size > size_ - at_) ok_ = false;
        else at_ += size;
    }

private:
    std::string Fail() {
        ok_ = false;
        return std::string();
    }
    void Raw(void* to, size_t size) {
        if (!ok_ || size > size_ - at_) {
            ok_ = false;
            return;
        }
        memcpy(to, data_ + at_, size);
        at_ += size;
    }
    const char* data_;
    size_t size_;
    size_t at_ = 0;
    bool ok_ = true;
};

// The sources this was built from, whatever the architecture: a cache written by a server built
// from other sources counts as empty.
const BYTE* BuildIdentity() { return kSourceIdentity; }

bool ReadAt(HANDLE file, ULONGLONG offset, void* to, size_t length) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    return length <= MAXDWORD && ReadFile(file, to, static_cast<DWORD>(length), &read, &at) && read == length;
}

// A file's bytes as the loader and the window ask for them.
std::function<bool(ULONGLONG, char*, size_t)> ReaderOf(HANDLE file) {
    return [file](ULONGLONG offset, char* to, size_t length) { return ReadAt(file, offset, to, length); };
}

unique_file OpenForReading(const _stringx& path, DWORD access = GENERIC_READ) {
    return unique_file(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// A cache file whose headers are read while it is open: it may be replaced or deleted meanwhile,
// which leaves what this handle reads as it was, but nobody may write into it.
unique_file OpenUnwritten(const _stringx& path, DWORD access) {
    return unique_file(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
}

// What a module's list section holds once its checksum, name and stamp are checked. Its file
// records hold `chunk`, which the section lies in, and point into it.
bool DecodeListSection(std::string_view section, uint32_t crc, std::wstring_view name, const ListedStamp& stamp,
                       ModuleReadResult* list, std::shared_ptr<const char> chunk = nullptr, size_t chunkLength = 0) {
    if (Checksum(section.data(), section.size()) != crc) return false;
    Cursor c(section.data(), section.size());
    if (c.TakeName() != name || c.TakeStamp() != stamp) return false;
    std::string_view encoded = c.TakeView(section.size());
    if (!c.ok() || !c.AtEnd()) return false;
    if (!list) return true;
    *list = ModuleReadResult();
    const bool decoded =
        chunk ? DecodeResult(encoded, *list, std::move(chunk), chunkLength) : DecodeResult(encoded, *list);
    return decoded && list->Path.empty();
}

// The fixed part of a cache file of this format and build: the length and checksum of its header
// section.
bool TakeFixed(const char* fixed, uint32_t& headerLength, uint32_t& headerCrc) {
    Cursor f(fixed, kFixedSize);
    if (memcmp(fixed, kMagic, sizeof kMagic) != 0 || memcmp(fixed + sizeof kMagic + 4, BuildIdentity(), 16) != 0)
        return false;
    f.Skip(sizeof kMagic);
    if (f.Take32() != kFormat) return false;
    f.Skip(16);
    headerLength = f.Take32();
    headerCrc = f.Take32();
    return f.ok();
}

// One module's record in the header section, as written.
struct RecordFields {
    // UTF-16, left where it lies (maybe at an odd address): loading copies it into its block, which
    // spares a string apiece.
    std::string_view nameBytes;
    ListedStamp stamp;
    std::string_view header;
    ULONGLONG listOffset = 0;  // from the end of the header section
    uint32_t listLength = 0, listCrc = 0;

    bool Take(Cursor& c) {
        nameBytes = c.TakeView(kLargestName);
        if (nameBytes.size() % sizeof(wchar_t)) return false;
        stamp = c.TakeStamp();
        header = c.TakeView(kLargestHeader);
        listOffset = c.Take64();
        listLength = c.Take32();
        listCrc = c.Take32();
        return c.ok();
    }
};

// The records of a whole cache file in memory, in the order written, once its fixed part and the
// checksum of its header section hold; none otherwise.
class RecordWalk {
public:
    RecordWalk(std::string_view file, const std::wstring& folder, SHORT kind) {
        uint32_t length = 0, crc = 0;
        if (file.size() < kFixedSize || !TakeFixed(file.data(), length, crc) || length > file.size() - kFixedSize ||
            Checksum(file.data() + kFixedSize, length) != crc)
            return;
        c_ = Cursor(file.data() + kFixedSize, length);
        lists_ = file.substr(kFixedSize + length);
        if (c_.TakeName() != folder || c_.Take32() != static_cast<uint32_t>(kind)) return;
        left_ = c_.Take32();
        Next();
    }
    // Moves on to the first record not before `name`: true when it is that module, so stamped.
    bool Find(std::wstring_view name, const ListedStamp& stamp) {
        while (valid_ && name_ < name) Next();
        return valid_ && name_ == name && at_.stamp == stamp;
    }
    std::string_view Header() const { return at_.header; }
    // The list section of the record found, once its checksum, name and stamp hold; empty otherwise.
    std::string_view List() const {
        if (at_.listLength == 0 || at_.listOffset > lists_.size() || at_.listLength > lists_.size() - at_.listOffset)
            return std::string_view();
        std::string_view section = lists_.substr(static_cast<size_t>(at_.listOffset), at_.listLength);
        return DecodeListSection(section, at_.listCrc, name_, at_.stamp, nullptr) ? section : std::string_view();
    }

private:
    void Next() {
        valid_ = left_ > 0 && at_.Take(c_);
        if (valid_) {
            name_.resize(at_.nameBytes.size() / sizeof(wchar_t));
            memcpy(name_.data(), at_.nameBytes.data(), at_.nameBytes.size());
        }
        if (left_ > 0) --left_;
    }
    Cursor c_{nullptr, 0};
    std::string_view lists_;
    uint32_t left_ = 0;
    RecordFields at_;
    std::wstring name_;
    bool valid_ = false;
};

// Once per process: files unused for 30 days, stale temporary files, and beyond the folder's
// bounds the least recently used go.
void PruneOnce(const _stringx& folder, const _stringx& keep) {
    static std::once_flag pruned;
    std::call_once(pruned, [&] {
        struct Found {
            ULONGLONG written, size;
            _stringx path;
        };
        std::vector<Found> files;
        WIN32_FIND_DATAW data;
        unique_find search(FindFirstFileW(JoinPath(folder, L"*").c_str(), &data));
        if (!search) return;
        const ULONGLONG now = Now();
        do {
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            _stringx path = JoinPath(folder, data.cFileName);
            ULONGLONG written = TimeValue(data.ftLastWriteTime);
            size_t length = wcslen(data.cFileName);
            bool temporary = length > 4 && _wcsicmp(data.cFileName + length - 4, L".tmp") == 0;
            if (now > written + (temporary ? kTemporaryFor : kUnusedFor)) {
                DeleteFileW(path.c_str());
                continue;
            }
            if (!temporary && _wcsicmp(path.c_str(), keep.c_str()) != 0)
                files.push_back({written, static_cast<ULONGLONG>(data.nFileSizeHigh) << 32 | data.nFileSizeLow, path});
        } while (FindNextFileW(search.get(), &data));
        std::sort(files.begin(), files.end(), [](const Found& a, const Found& b) { return a.written > b.written; });
        ULONGLONG bytes = 0;
        for (size_t i = 0; i < files.size(); ++i) {
            bytes += files[i].size;
            if (i + 1 >= kMostFiles || bytes > kMostBytes) DeleteFileW(files[i].path.c_str());
        }
    });
}

std::mutex g_registryLock;
std::map<std::wstring, std::weak_ptr<LocationCache>>& Registry() {
    static auto* registry = new std::map<std::wstring, std::weak_ptr<LocationCache>>();
    return *registry;
}
}  // namespace

void ListedFiles::Add(std::wstring_view name, const ListedStamp& stamp) {
    files_.push_back({names_.size(), name.size(), stamp});
    names_.insert(names_.end(), name.begin(), name.end());
}

void ListedFiles::SortByName() {
    std::sort(files_.begin(), files_.end(), [&](const File& a, const File& b) {
        return std::wstring_view(names_.data() + a.at, a.length) < std::wstring_view(names_.data() + b.at, b.length);
    });
}

void ListedFiles::Clear() {
    names_.clear();
    files_.clear();
}

ListedStamp ListedStamp::Of(const WIN32_FIND_DATAW& data) {
    return {static_cast<ULONGLONG>(data.nFileSizeHigh) << 32 | data.nFileSizeLow, TimeValue(data.ftLastWriteTime)};
}

bool ModuleCacheEnabled() {
    wchar_t value[8] = L"";
    DWORD length = GetEnvironmentVariableW(L"CVMMUPDATER_CACHE", value, ARRAYSIZE(value));
    if (length > 0 && length < ARRAYSIZE(value) && wcscmp(value, L"0") == 0) return false;
    DWORD on = 1, size = sizeof on;
    if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\CvMMUpdater2", L"Cache", RRF_RT_REG_DWORD, nullptr, &on, &size) ==
            ERROR_SUCCESS &&
        on == 0)
        return false;
    return true;
}

_stringx ModuleCacheFolder() {
    wchar_t path[MAX_PATH] = L"";
    DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        path[0] = L'\0';
        if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path))) return _stringx();
    }
    return JoinPath(JoinPath(path, L"CvMMUpdater2"), L"Cache");
}

_stringx ModuleCacheFile(const _stringx& folder, SHORT kind) {
    _stringx key = _stringx::Formatted(L"%d|", static_cast<int>(kind)) + folder.Lower();
    BYTE hash[16] = {};
    HashData(reinterpret_cast<BYTE*>(const_cast<wchar_t*>(key.c_str())),
             static_cast<DWORD>(key.length() * sizeof(wchar_t)), hash, sizeof hash);
    _stringx name;
    for (BYTE b : hash) name += _stringx::Formatted(L"%02x", b);
    return JoinPath(ModuleCacheFolder(), name + L".cache");
}

std::shared_ptr<LocationCache> LocationCache::Open(const _stringx& folder, SHORT kind) {
    if (!ModuleCacheEnabled()) return nullptr;
    _stringx file = ModuleCacheFile(folder, kind);
    std::lock_guard<std::mutex> hold(g_registryLock);
    std::weak_ptr<LocationCache>& slot = Registry()[file.Lower().str()];
    std::shared_ptr<LocationCache> cache = slot.lock();
    if (!cache) {
        cache = std::make_shared<LocationCache>(folder, kind, file);
        cache->Load();
        slot = cache;
    }
    return cache;
}

void SaveModuleCaches() {
    std::vector<std::shared_ptr<LocationCache>> live;
    {
        std::lock_guard<std::mutex> hold(g_registryLock);
        for (auto it = Registry().begin(); it != Registry().end();) {
            if (auto cache = it->second.lock()) {
                live.push_back(std::move(cache));
                ++it;
            } else {
                it = Registry().erase(it);
            }
        }
    }
    for (const auto& cache : live) cache->Save();
}

LocationCache::LocationCache(const _stringx& folder, SHORT kind, const _stringx& file)
    : folder_(folder), kind_(kind), file_(file) {}

std::wstring LocationCache::NameOf(const _stringx& path) const {
    if (kind_ == 1) return path.str();
    size_t slash = path.rfind(L'\\');
    return slash == _stringx::npos ? path.str() : path.substr(slash + 1).str();
}

ListedFiles LocationCache::ListNow() const {
    FoundFiles found;
    ListLocation(folder_, kind_, found);
    return std::move(found.files);
}

void LocationCache::EmptyWindow() {
    window_.reset(new char[windowCapacity_]);
    windowSize_ = 0;
    windowAt_ = kFixedSize;
}

void LocationCache::EndReading() {
    reading_.reset();
    window_.reset();
    windowSize_ = 0;
}

void LocationCache::ClearRecords() {
    std::vector<Loaded>().swap(loaded_);
    std::vector<wchar_t>().swap(loadedNames_);
    noted_.clear();
    loadedFixed_.clear();
    reopenFailed_ = false;
    EndReading();
    next_ = 0;
}

LocationCache::Loaded* LocationCache::FindLoaded(std::wstring_view name) {
    auto found = std::lower_bound(loaded_.begin(), loaded_.end(), name,
                                  [&](const Loaded& r, std::wstring_view n) { return LoadedName(r) < n; });
    return found != loaded_.end() && !found->gone && LoadedName(*found) == name ? &*found : nullptr;
}

// A damaged, cut or foreign file loads as no records; it is rewritten at the next save.
void LocationCache::Load() {
    dirty_ = true;
    unique_file file = OpenUnwritten(file_, GENERIC_READ | FILE_WRITE_ATTRIBUTES);
    if (!file) file = OpenUnwritten(file_, GENERIC_READ);
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size)) return;
    const HANDLE handle = file.get();
    if (!LoadFrom(ReaderOf(handle), static_cast<ULONGLONG>(size.QuadPart))) {
        ClearRecords();
        return;
    }
    dirty_ = false;
    // A file read counts as used: it is kept while it serves.
    FILETIME written;
    if (GetFileTime(handle, nullptr, nullptr, &written) && Now() > TimeValue(written) + kTouchAfter) {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        SetFileTime(handle, nullptr, nullptr, &now);
    }
    reading_ = std::move(file);
}

bool LocationCache::Slide(ULONGLONG from, const ReadBytes& read, uint32_t* crc) {
    size_t kept = 0;
    if (from >= windowAt_ && from < windowAt_ + windowSize_) {
        const size_t skip = static_cast<size_t>(from - windowAt_);
        kept = windowSize_ - skip;
        memmove(window_.get(), window_.get() + skip, kept);
    }
    windowAt_ = from;
    windowSize_ = kept;
    if (from + kept > sectionEnd_) return false;
    const size_t more = static_cast<size_t>(std::min<ULONGLONG>(windowCapacity_ - kept, sectionEnd_ - from - kept));
    if (!read(from + kept, window_.get() + kept, more)) return false;
    if (crc) *crc = Crc32(window_.get() + kept, more, *crc);
    windowSize_ += more;
    return true;
}

// `read(offset, to, length)` reads the file's bytes; every length and offset is checked against
// the file's size before anything is allocated for it. The header section passes through the
// window once, summed as it goes; nothing of it is kept but where each header lies.
bool LocationCache::LoadFrom(const ReadBytes& read, ULONGLONG fileSize) {
    char fixed[kFixedSize];
    uint32_t headerLength = 0, headerCrc = 0;
    if (fileSize < kFixedSize || !read(0, fixed, kFixedSize) || !TakeFixed(fixed, headerLength, headerCrc) ||
        headerLength > fileSize - kFixedSize)
        return false;
    sectionEnd_ = kFixedSize + headerLength;
    windowCapacity_ = std::min<size_t>(kWindow, headerLength);
    EmptyWindow();
    uint32_t crc = 0;
    if (!Slide(kFixedSize, read, &crc)) return false;

    const ULONGLONG listArea = fileSize - sectionEnd_;
    Cursor c(window_.get(), windowSize_);
    if (c.TakeName() != folder_.Lower().str() || c.Take32() != static_cast<uint32_t>(kind_)) return false;
    uint32_t count = c.Take32();
    if (!c.ok()) return false;
    ULONGLONG at = kFixedSize + c.Used();
    // Every record takes 40 bytes at least: no more are made room for than the section can hold.
    loaded_.reserve(std::min<size_t>(count, headerLength / 40));
    for (; count > 0; --count) {
        RecordFields fields;
        size_t used = 0, headerAt = 0;
        auto parse = [&] {
            const char* const begin = window_.get() + (at - windowAt_);
            Cursor r(begin, static_cast<size_t>(windowAt_ + windowSize_ - at));
            if (!fields.Take(r)) return false;
            used = r.Used();
            headerAt = static_cast<size_t>(fields.header.data() - begin) - 4;
            return true;
        };
        // A record cut by the window's end is read again from its start.
        if (!parse() && (windowAt_ == at || !Slide(at, read, &crc) || !parse())) return false;
        if (fields.listOffset > listArea || fields.listLength > listArea - fields.listOffset ||
            fields.listLength > LargestList(fields.stamp))
            return false;
        // Written in name order, each name once: lookups rely on it.
        const size_t nameAt = loadedNames_.size(), nameLength = fields.nameBytes.size() / sizeof(wchar_t);
        loadedNames_.resize(nameAt + nameLength);
        memcpy(loadedNames_.data() + nameAt, fields.nameBytes.data(), fields.nameBytes.size());
        loaded_.push_back({fields.stamp, at + headerAt, sectionEnd_ + fields.listOffset, fields.listLength,
                           fields.listCrc, static_cast<uint32_t>(nameAt), static_cast<uint32_t>(nameLength), false});
        if (loaded_.size() > 1 && !(LoadedName(loaded_[loaded_.size() - 2]) < LoadedName(loaded_.back()))) return false;
        at += used;
    }
    // Every byte of the section was read, and summed, once the last record ends where it does.
    if (at != sectionEnd_ || crc != headerCrc) return false;
    loadedFixed_.assign(fixed, kFixedSize);
    return true;
}

bool LocationCache::Reopen() {
    if (reopenFailed_ || loadedFixed_.empty()) return false;
    reopenFailed_ = true;  // tried once: the file was replaced or damaged since
    unique_file file = OpenUnwritten(file_, GENERIC_READ);
    char fixed[kFixedSize];
    uint32_t headerLength = 0, headerCrc = 0;
    if (!file || !ReadAt(file.get(), 0, fixed, kFixedSize) || loadedFixed_ != std::string_view(fixed, kFixedSize) ||
        !TakeFixed(fixed, headerLength, headerCrc))
        return false;
    const ReadBytes read = ReaderOf(file.get());
    EmptyWindow();
    uint32_t crc = 0;
    for (ULONGLONG at = kFixedSize; at < sectionEnd_; at = windowAt_ + windowSize_)
        if (!Slide(at, read, &crc) || windowSize_ == 0) return false;
    if (crc != headerCrc) return false;
    reading_ = std::move(file);
    reopenFailed_ = false;
    return true;
}

bool LocationCache::HeaderAt(ULONGLONG at, std::string_view& header) {
    if (!reading_ && !Reopen()) return false;
    auto take = [&] {
        if (at < windowAt_ || at >= windowAt_ + windowSize_) return false;
        Cursor c(window_.get() + (at - windowAt_), static_cast<size_t>(windowAt_ + windowSize_ - at));
        header = c.TakeView(kLargestHeader);
        return c.ok();
    };
    return take() || (Slide(at, ReaderOf(reading_.get()), nullptr) && take());
}

bool LocationCache::FindHeader(std::wstring_view name, const ListedStamp& stamp, ModuleReadResult& header) {
    header = ModuleReadResult();
    {
        // Decoding calls nothing outside: done under the lock, without a copy.
        std::lock_guard<std::mutex> hold(lock_);
        std::string_view recorded;
        bool found = false;
        auto noted = noted_.find(name);
        if (noted != noted_.end()) {
            if (noted->second.stamp != stamp) return false;
            recorded = noted->second.ownHeader;
            found = noted->second.at == 0 || HeaderAt(noted->second.at, recorded);
        } else {
            // Asked in name order, as the folder lists them: the record after the last one found
            // is tried before a search.
            Loaded* loaded = next_ < loaded_.size() && !loaded_[next_].gone && LoadedName(loaded_[next_]) == name
                                 ? &loaded_[next_]
                                 : FindLoaded(name);
            if (!loaded || loaded->stamp != stamp) return false;
            next_ = static_cast<size_t>(loaded - loaded_.data()) + 1;
            found = HeaderAt(loaded->at, recorded);
        }
        if (found && DecodeResult(recorded, header) && header.Path.empty()) return true;
    }
    header = ModuleReadResult();
    return false;
}

namespace {
// Only what reads the same next time is kept: a settled file, not in use, whose read did not fail,
// or that the readers refused while it could be opened (a file held by another process is not
// damaged). A header whose database does not open is kept: its values are what every read gives.
bool Keepable(const _stringx& path, const ListedStamp& stamp, const ModuleReadResult& read, bool header) {
    if (stamp.written + kSettleTime > Now() || read.InUse) return false;
    if (read.Unsafe) return static_cast<bool>(OpenForReading(path));
    return !read.Failure && (header || !read.InstallerFailed);
}

std::string Encoded(const ModuleReadResult& read) {
    ModuleReadResult copy;
    copy.Header = read.Header;
    copy.Unsafe = read.Unsafe;
    std::string out;
    EncodeResult(copy, out);
    return out;
}
}  // namespace

void LocationCache::NoteHeader(const std::wstring& name, const ListedStamp& stamp, const ModuleReadResult& header) {
    _stringx path = kind_ == 1 ? _stringx(name) : JoinPath(folder_, name);
    if (!Keepable(path, stamp, header, true)) return;
    std::string encoded = Encoded(header);
    if (encoded.size() > kLargestHeader) return;
    std::string list;
    if (header.Unsafe) {
        // The readers refuse its list as they refused its header.
        ModuleReadResult refused;
        refused.Unsafe = true;
        EncodeResult(refused, list);
    }
    std::lock_guard<std::mutex> hold(lock_);
    if (Loaded* loaded = FindLoaded(name)) loaded->gone = true;
    Record& record = noted_[name];
    record = Record();
    record.stamp = stamp;
    record.ownHeader = std::move(encoded);
    record.pending = std::move(list);
    dirty_ = true;
}

void LocationCache::NoteList(const std::wstring& name, const ListedStamp& stamp, ModuleReadResult& list) {
    _stringx path = kind_ == 1 ? _stringx(name) : JoinPath(folder_, name);
    if (!Keepable(path, stamp, list, false)) return;
    // Encoded as read, but for the path, which the name stands for.
    _stringx readPath;
    std::swap(readPath, list.Path);
    std::string encoded;
    EncodeResult(list, encoded);
    std::swap(readPath, list.Path);
    if (encoded.size() > LargestList(stamp)) return;
    std::lock_guard<std::mutex> hold(lock_);
    auto found = noted_.find(name);
    if (found == noted_.end()) {
        // A loaded record moves to the noted ones, its header still in the file.
        Loaded* loaded = FindLoaded(name);
        if (!loaded || loaded->stamp != stamp) return;
        loaded->gone = true;
        found = noted_.emplace(name, Record()).first;
        found->second.stamp = stamp;
        found->second.at = loaded->at;
    }
    if (found->second.stamp != stamp) return;
    found->second.pending = std::move(encoded);
    found->second.listLength = 0;
    dirty_ = true;
}

void LocationCache::FindLists(const ListedFiles& wanted, const std::function<void(size_t, ModuleReadResult&)>& take) {
    struct Section {
        size_t position;
        std::string pending;
        ULONGLONG offset = 0;
        uint32_t length = 0, crc = 0;
    };
    std::vector<Section> sections;
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (size_t i = 0; i < wanted.size(); ++i) {
            auto noted = noted_.find(wanted.Name(i));
            if (noted != noted_.end()) {
                const Record& r = noted->second;
                if (r.stamp != wanted.Stamp(i)) continue;
                if (!r.pending.empty()) sections.push_back({i, r.pending});
                else if (r.listLength > 0) sections.push_back({i, std::string(), r.listOffset, r.listLength, r.listCrc});
            } else if (const Loaded* r = FindLoaded(wanted.Name(i))) {
                if (r->stamp == wanted.Stamp(i) && r->listLength > 0)
                    sections.push_back({i, std::string(), r->listOffset, r->listLength, r->listCrc});
            }
        }
    }
    // In file order, consecutive sections a chunk at a time: one read for many lists.
    std::sort(sections.begin(), sections.end(), [](const Section& a, const Section& b) { return a.offset < b.offset; });
    unique_file file;
    // Not cleared first: the read fills it. The records read from it hold it.
    std::shared_ptr<char[]> chunk;
    size_t chunkSize = 0;
    ULONGLONG chunkStart = 0;
    std::vector<std::wstring> bad;
    for (size_t i = 0; i < sections.size(); ++i) {
        Section& s = sections[i];
        ModuleReadResult list;
        if (!s.pending.empty()) {
            if (DecodeResult(s.pending, list)) take(s.position, list);
            continue;
        }
        if (s.offset < chunkStart || s.offset + s.length > chunkStart + chunkSize) {
            if (!file) file = OpenForReading(file_);
            ULONGLONG end = s.offset + s.length;
            for (size_t j = i + 1; j < sections.size() && sections[j].offset + sections[j].length - s.offset <= kChunk; ++j)
                if (sections[j].pending.empty()) end = std::max(end, sections[j].offset + sections[j].length);
            chunkStart = s.offset;
            chunkSize = static_cast<size_t>(end - s.offset);
            chunk.reset(new char[chunkSize]);
            if (!file || !ReadAt(file.get(), chunkStart, chunk.get(), chunkSize)) chunkSize = 0;
        }
        const bool inChunk = s.offset + s.length <= chunkStart + chunkSize;
        std::string_view bytes =
            inChunk ? std::string_view(chunk.get(), chunkSize).substr(static_cast<size_t>(s.offset - chunkStart), s.length) : std::string_view();
        if (inChunk && DecodeListSection(bytes, s.crc, wanted.Name(s.position), wanted.Stamp(s.position), &list,
                                        std::shared_ptr<const char>(chunk, chunk.get()), chunkSize))
            take(s.position, list);
        else
            bad.emplace_back(wanted.Name(s.position));
    }
    if (bad.empty()) return;
    // Read from the module instead, and written again at the next save.
    std::lock_guard<std::mutex> hold(lock_);
    for (const std::wstring& name : bad) {
        auto noted = noted_.find(name);
        if (noted != noted_.end()) {
            if (noted->second.pending.empty()) noted->second.listLength = 0;
        } else if (Loaded* loaded = FindLoaded(name)) {
            loaded->listLength = 0;
        }
    }
    dirty_ = true;
}

void LocationCache::Retain(const ListedFiles& listed) {
    std::lock_guard<std::mutex> hold(lock_);
    EndReading();
    next_ = 0;
    auto listedAs = [&](size_t& file, std::wstring_view name, const ListedStamp& stamp) {
        while (file < listed.size() && listed.Name(file) < name) ++file;
        return file < listed.size() && listed.Name(file) == name && listed.Stamp(file) == stamp;
    };
    size_t file = 0;
    for (Loaded& record : loaded_) {
        if (record.gone || listedAs(file, LoadedName(record), record.stamp)) continue;
        record.gone = true;
        dirty_ = true;
    }
    file = 0;
    for (auto record = noted_.begin(); record != noted_.end();) {
        if (listedAs(file, record->first, record->second.stamp)) {
            ++record;
            continue;
        }
        record = noted_.erase(record);
        dirty_ = true;
    }
}

// What records loaded from a file hold there (their headers, their lists unless read again) is
// copied from the file now in place, found by name and stamp under its checksums: another process
// may have replaced it since with records of its own, and a record it no longer holds is dropped.
bool LocationCache::Compose(std::string& out) {
    std::string old;
    if (std::any_of(loaded_.begin(), loaded_.end(), [](const Loaded& r) { return !r.gone; }) ||
        std::any_of(noted_.begin(), noted_.end(), [](const auto& r) { return r.second.at != 0; })) {
        unique_file file = OpenForReading(file_);
        LARGE_INTEGER size{};
        if (file && GetFileSizeEx(file.get(), &size) && size.QuadPart < (1ll << 32)) {
            old.resize(static_cast<size_t>(size.QuadPart));
            if (!ReadAt(file.get(), 0, old.data(), old.size())) old.clear();
        }
    }
    const std::wstring folder = folder_.Lower().str();
    RecordWalk walk(old, folder, kind_);
    std::string header, lists;
    PutName(header, folder);
    Put32(header, static_cast<uint32_t>(kind_));
    const size_t countAt = header.size();
    uint32_t count = 0;
    Put32(header, count);
    // Records come in name order, from both kinds at once.
    auto put = [&](std::wstring_view name, const ListedStamp& stamp, ULONGLONG at, std::string_view ownHeader,
                   std::string_view pending, uint32_t listLength) {
        const bool inOld = at != 0 && walk.Find(name, stamp);
        if (at != 0 && !inOld) return;
        std::string section;
        if (!pending.empty()) {
            PutName(section, name);
            Put64(section, stamp.size);
            Put64(section, stamp.written);
            PutBlob(section, pending.data(), pending.size());
        } else if (listLength > 0 && inOld) {
            section = walk.List();
        }
        PutName(header, name);
        Put64(header, stamp.size);
        Put64(header, stamp.written);
        const std::string_view recorded = inOld ? walk.Header() : ownHeader;
        PutBlob(header, recorded.data(), recorded.size());
        Put64(header, section.empty() ? 0 : lists.size());
        Put32(header, static_cast<uint32_t>(section.size()));
        Put32(header, section.empty() ? 0 : Checksum(section.data(), section.size()));
        lists += section;
        ++count;
    };
    auto noted = noted_.begin();
    for (const Loaded& loaded : loaded_) {
        if (loaded.gone) continue;
        for (; noted != noted_.end() && noted->first < LoadedName(loaded); ++noted)
            put(noted->first, noted->second.stamp, noted->second.at, noted->second.ownHeader, noted->second.pending,
                noted->second.listLength);
        put(LoadedName(loaded), loaded.stamp, loaded.at, std::string_view(), std::string_view(), loaded.listLength);
    }
    for (; noted != noted_.end(); ++noted)
        put(noted->first, noted->second.stamp, noted->second.at, noted->second.ownHeader, noted->second.pending,
            noted->second.listLength);
    memcpy(header.data() + countAt, &count, sizeof count);
    if (header.size() > MAXDWORD) return false;
    out.assign(kMagic, sizeof kMagic);
    Put32(out, kFormat);
    out.append(reinterpret_cast<const char*>(BuildIdentity()), 16);
    Put32(out, static_cast<uint32_t>(header.size()));
    Put32(out, Checksum(header.data(), header.size()));
    out += header;
    out += lists;
    return true;
}

void LocationCache::Save() {
    std::lock_guard<std::mutex> hold(lock_);
    if (!dirty_ || !ModuleCacheEnabled()) return;
    dirty_ = false;  // one attempt: a folder that cannot be written means no cache this time
    // Let go before the file is replaced: an open file cannot be, on every file system.
    EndReading();
    std::string bytes;
    if (!Compose(bytes)) return;
    _stringx folder = ModuleCacheFolder();
    SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    PruneOnce(folder, file_);
    _stringx temporary =
        file_ + _stringx::Formatted(L".%lu.%lu.tmp", GetCurrentProcessId(), GetCurrentThreadId());
    {
        unique_file out(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!out) return;
        if (!WriteFile(out.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size()) {
            out.reset();
            DeleteFileW(temporary.c_str());
            return;
        }
    }
    if (!MoveFileExW(temporary.c_str(), file_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(temporary.c_str());
        return;
    }
    // The records now point into the file just written; their headers and lists leave memory.
    ClearRecords();
    auto read = [&](ULONGLONG offset, char* to, size_t length) {
        if (offset > bytes.size() || length > bytes.size() - offset) return false;
        memcpy(to, bytes.data() + offset, length);
        return true;
    };
    if (!LoadFrom(read, bytes.size())) ClearRecords();
    EndReading();
}
