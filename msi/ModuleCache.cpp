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
void PutName(std::string& out, const std::wstring& name) { PutBlob(out, name.data(), name.size() * sizeof(wchar_t)); }

// Takes fields back, refusing anything that runs past the end: no length is trusted before it is
// compared with the bytes present.
class Cursor {
public:
    Cursor(const char* data, size_t size) : data_(data), size_(size) {}
    bool ok() const { return ok_; }
    bool AtEnd() const { return at_ == size_; }
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
        if (!ok_ || length > MAX_PATH * 64 || length > size_ - at_ || length % sizeof(wchar_t)) {
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

unique_file OpenForReading(const _stringx& path, DWORD access = GENERIC_READ) {
    return unique_file(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
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

std::string_view LocationCache::HeaderOf(const Record& record) const {
    if (record.headerLength == 0) return record.ownHeader;
    return std::string_view(loaded_).substr(record.headerAt, record.headerLength);
}

void LocationCache::ClearRecords() {
    records_.clear();
    loaded_.clear();
    next_ = records_.end();
}

// A damaged, cut or foreign file loads as no records; it is rewritten at the next save.
void LocationCache::Load() {
    dirty_ = true;
    unique_file file = OpenForReading(file_, GENERIC_READ | FILE_WRITE_ATTRIBUTES);
    if (!file) file = OpenForReading(file_);
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size)) return;
    auto read = [&](ULONGLONG offset, char* to, size_t length) { return ReadAt(file.get(), offset, to, length); };
    if (!LoadFrom(read, static_cast<ULONGLONG>(size.QuadPart))) {
        ClearRecords();
        return;
    }
    dirty_ = false;
    // A file read counts as used: it is kept while it serves.
    FILETIME written;
    if (GetFileTime(file.get(), nullptr, nullptr, &written) && Now() > TimeValue(written) + kTouchAfter) {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        SetFileTime(file.get(), nullptr, nullptr, &now);
    }
}

// `read(offset, to, length)` reads the file's bytes; every length and offset is checked against
// the file's size before anything is allocated for it.
bool LocationCache::LoadFrom(const ReadBytes& read, ULONGLONG fileSize) {
    char fixed[kFixedSize];
    if (fileSize < kFixedSize || !read(0, fixed, kFixedSize)) return false;
    Cursor f(fixed, kFixedSize);
    if (memcmp(fixed, kMagic, sizeof kMagic) != 0 || memcmp(fixed + sizeof kMagic + 4, BuildIdentity(), 16) != 0)
        return false;
    f.Skip(sizeof kMagic);
    if (f.Take32() != kFormat) return false;
    f.Skip(16);
    const uint32_t headerLength = f.Take32(), headerCrc = f.Take32();
    if (!f.ok() || headerLength > fileSize - kFixedSize) return false;
    std::string& header = loaded_;
    header.assign(headerLength, '\0');
    if (!read(kFixedSize, header.data(), header.size())) return false;
    if (Checksum(header.data(), header.size()) != headerCrc) return false;

    const ULONGLONG listArea = fileSize - kFixedSize - headerLength;
    Cursor c(header.data(), header.size());
    if (c.TakeName() != folder_.Lower().str() || c.Take32() != static_cast<uint32_t>(kind_)) return false;
    for (uint32_t count = c.Take32(); count > 0 && c.ok(); --count) {
        std::wstring name = c.TakeName();
        Record record;
        record.stamp = c.TakeStamp();
        std::string_view blob = c.TakeView(kLargestHeader);
        record.headerAt = static_cast<size_t>(blob.data() - header.data());
        record.headerLength = blob.size();
        record.listOffset = c.Take64();
        record.listLength = c.Take32();
        record.listCrc = c.Take32();
        if (record.listOffset > listArea || record.listLength > listArea - record.listOffset ||
            record.listLength > LargestList(record.stamp))
            return false;
        record.listOffset += kFixedSize + headerLength;
        // Written in name order: each lands at the end.
        records_.insert_or_assign(records_.end(), std::move(name), std::move(record));
    }
    return c.ok() && c.AtEnd();
}

bool LocationCache::FindHeader(std::wstring_view name, const ListedStamp& stamp, ModuleReadResult& header) {
    header = ModuleReadResult();
    {
        // Decoding calls nothing outside: done under the lock, without a copy.
        std::lock_guard<std::mutex> hold(lock_);
        // Asked in name order, as the folder lists them: the record after the last one found is
        // tried before a search.
        auto found = next_ != records_.end() && next_->first == name ? next_ : records_.find(name);
        if (found == records_.end() || found->second.stamp != stamp) return false;
        next_ = std::next(found);
        if (DecodeResult(HeaderOf(found->second), header) && header.Path.empty()) return true;
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
    Record& record = records_[name];
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
    auto found = records_.find(name);
    if (found == records_.end() || found->second.stamp != stamp) return;
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
            auto found = records_.find(wanted.Name(i));
            if (found == records_.end() || found->second.stamp != wanted.Stamp(i)) continue;
            const Record& r = found->second;
            if (!r.pending.empty()) sections.push_back({i, r.pending});
            else if (r.listLength > 0) sections.push_back({i, std::string(), r.listOffset, r.listLength, r.listCrc});
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
        auto found = records_.find(name);
        if (found != records_.end() && found->second.pending.empty()) found->second.listLength = 0;
    }
    dirty_ = true;
}

void LocationCache::Retain(const ListedFiles& listed) {
    std::lock_guard<std::mutex> hold(lock_);
    next_ = records_.end();
    size_t file = 0;
    for (auto record = records_.begin(); record != records_.end();) {
        while (file < listed.size() && listed.Name(file) < record->first) ++file;
        if (file < listed.size() && listed.Name(file) == record->first && listed.Stamp(file) == record->second.stamp) {
            ++record;
            continue;
        }
        record = records_.erase(record);
        dirty_ = true;
    }
}

// Lists still in the old file are copied over once their checksum, name and stamp hold; another
// process may have replaced that file since, and then they are simply dropped.
bool LocationCache::Compose(std::string& out) {
    std::string old;
    bool oldRead = false;
    std::string header, lists;
    PutName(header, folder_.Lower().str());
    Put32(header, static_cast<uint32_t>(kind_));
    Put32(header, static_cast<uint32_t>(records_.size()));
    for (auto& [name, record] : records_) {
        std::string section;
        if (record.pending.empty() && record.listLength > 0) {
            if (!oldRead) {
                oldRead = true;
                unique_file file = OpenForReading(file_);
                LARGE_INTEGER size{};
                if (file && GetFileSizeEx(file.get(), &size) && size.QuadPart < (1ll << 32)) {
                    old.resize(static_cast<size_t>(size.QuadPart));
                    if (!ReadAt(file.get(), 0, old.data(), old.size())) old.clear();
                }
            }
            if (record.listOffset <= old.size() && record.listLength <= old.size() - record.listOffset) {
                section = old.substr(static_cast<size_t>(record.listOffset), record.listLength);
                if (!DecodeListSection(section, record.listCrc, name, record.stamp, nullptr)) section.clear();
            }
        } else if (!record.pending.empty()) {
            PutName(section, name);
            Put64(section, record.stamp.size);
            Put64(section, record.stamp.written);
            PutBlob(section, record.pending.data(), record.pending.size());
        }
        PutName(header, name);
        Put64(header, record.stamp.size);
        Put64(header, record.stamp.written);
        const std::string_view recorded = HeaderOf(record);
        PutBlob(header, recorded.data(), recorded.size());
        Put64(header, section.empty() ? 0 : lists.size());
        Put32(header, static_cast<uint32_t>(section.size()));
        Put32(header, section.empty() ? 0 : Checksum(section.data(), section.size()));
        lists += section;
    }
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
    // The records now point into the file just written; their lists leave memory.
    ClearRecords();
    auto read = [&](ULONGLONG offset, char* to, size_t length) {
        if (offset > bytes.size() || length > bytes.size() - offset) return false;
        memcpy(to, bytes.data() + offset, length);
        return true;
    };
    if (!LoadFrom(read, bytes.size())) ClearRecords();
}
