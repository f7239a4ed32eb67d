#include "model/GalleryEntry.h"

#include <shlwapi.h>
#include <initializer_list>
#include <mutex>
#include <new>
#include <utility>
#include <vector>
#include "base/Versions.h"
#include "server/ComException.h"
#include "server/SiblingLoader.h"

namespace {
const wchar_t kMergeModule[] = L"MergeModule";

bool PathExists(const _stringx& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Gives each non-null out a new BSTR of its text; all are allocated before any is written, so a
// failed allocation leaves the caller's outs untouched and leaks nothing.
void HandOut(std::initializer_list<std::pair<BSTR*, const _stringx*>> outs) {
    std::vector<std::pair<BSTR*, unique_bstr>> made;
    for (const auto& out : outs) {
        if (!out.first) continue;
        unique_bstr copy(SysAllocStringLen(out.second->c_str(), static_cast<UINT>(out.second->length())));
        if (!copy) throw std::bad_alloc();
        made.emplace_back(out.first, std::move(copy));
    }
    for (auto& m : made) *m.first = m.second.release();
}

void Zero(LONG* n) {
    if (n) *n = 0;
}

void Put(LONG* n, LONG value) {
    if (n) *n = value;
}

// Guards every entry's kept reader and validation results; held only to look or to file.
std::mutex g_entryLock;
}  // namespace

GalleryEntry::~GalleryEntry() = default;

_stringx GalleryEntry::GalleryFilePath() const {
    return JoinPath(JoinPath(ApplicationFolder(), L"ObjectGallery"), *named_) + L".ini";
}

ComPtr<IProfileFile> GalleryEntry::Reader() {
    bool keep = false;
    {
        std::lock_guard<std::mutex> hold(g_entryLock);
        if (reader_ && readerThread_ == GetCurrentThreadId()) return reader_;
        keep = !reader_;
    }
    _stringx path = GalleryFilePath();
    DWORD attributes = GetFileAttributesW(path.c_str());
    // Nothing cached: the file may appear before the next read.
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return nullptr;
    ComPtr<IProfileFile> reader = CreateProfileReader();
    unique_bstr pathText(SysAllocStringLen(path.c_str(), static_cast<UINT>(path.length())));
    if (!pathText) throw std::bad_alloc();
    HRESULT loaded = reader->Load(pathText.get());
    if (keep) {
        std::lock_guard<std::mutex> hold(g_entryLock);
        if (!reader_) {
            reader_ = reader;
            readerThread_ = GetCurrentThreadId();
        }
    }
    // Kept even when loading fails: later reads use it as it is rather than loading again.
    CheckResult(loaded);
    return reader;
}

ComPtr<IProfileSection> GalleryEntry::FindSection(const _stringx& section) {
    ComPtr<IProfileFile> reader = Reader();
    if (!reader) return nullptr;
    return ProfileSection(reader.Get(), section);
}

_stringx GalleryEntry::ReadValue(const _stringx& section, const _stringx& key) {
    ComPtr<IProfileSection> found = FindSection(section);
    if (!found) return _stringx();
    ComPtr<IProfileKeys> keys = ProfileKeys(found.Get());
    ComPtr<IProfileKey> value = ProfileKeyByName(keys.Get(), key);
    return value ? ProfileKeyValue(value.Get()) : _stringx();
}

LONG GalleryEntry::CountListEntries(const _stringx& listSection) {
    ComPtr<IProfileSection> found = FindSection(listSection);
    if (!found) return 0;
    ComPtr<IProfileKeys> keys = ProfileKeys(found.Get());
    return ProfileKeyCount(keys.Get());
}

bool GalleryEntry::HasFileName() { return !ReadValue(kMergeModule, L"FileName").empty(); }

LONG GalleryEntry::GetLanguage() { return ParseNumber(ReadValue(kMergeModule, L"Language")); }
_stringx GalleryEntry::GetModuleId() { return ReadValue(kMergeModule, L"ModuleID"); }
_stringx GalleryEntry::GetVersion() { return ReadValue(kMergeModule, L"Version"); }
_stringx GalleryEntry::GetAuthor() { return ReadValue(kMergeModule, L"Author"); }
_stringx GalleryEntry::GetComments() { return ReadValue(kMergeModule, L"Comments"); }
_stringx GalleryEntry::GetSubject() { return ReadValue(kMergeModule, L"Subject"); }

void GalleryEntry::SetNameAndVersion(const wchar_t* name, const wchar_t* version) {
    name_ = name;
    recordedVersion_ = version;
    named_ = &name_;
    versioned_ = &recordedVersion_;
}

void GalleryEntry::UseNameAndVersion(const _stringx& name, const _stringx& version) {
    named_ = &name;
    versioned_ = &version;
}

LONG GalleryEntry::GetFileCount() { return CountListEntries(L"Files"); }
LONG GalleryEntry::GetDependencyCount() { return CountListEntries(L"Dependency"); }
LONG GalleryEntry::GetExclusionCount() { return CountListEntries(L"Exclusions"); }
LONG GalleryEntry::GetDownloadFileCount() { return CountListEntries(L"DownloadFiles"); }

bool GalleryEntry::ListEntryName(const wchar_t* listSection, LONG index, _stringx& entryName) {
    ComPtr<IProfileSection> list = FindSection(listSection);
    if (!list) return false;
    ComPtr<IProfileKeys> keys = ProfileKeys(list.Get());
    // By name, not position: a list whose keys skip a number has an empty entry there.
    ComPtr<IProfileKey> key = ProfileKeyByName(keys.Get(), _stringx::Formatted(L"Key%d", static_cast<int>(index + 1)));
    if (!key) return false;
    entryName = ProfileKeyValue(key.Get());
    return true;
}

void GalleryEntry::GetFile(LONG index, BSTR* fileKey, BSTR* fileName, BSTR* version, LONG* fileSize, LONG* language) {
    Zero(fileSize);
    Zero(language);
    _stringx key;
    if (!ListEntryName(L"Files", index, key)) return;
    _stringx name = ReadValue(key, L"FileName");
    _stringx fileVersion = ReadValue(key, L"Version");
    LONG size = ParseNumber(ReadValue(key, L"FileSize"));
    LONG lang = ParseNumber(ReadValue(key, L"Language"));
    HandOut({{fileKey, &key}, {fileName, &name}, {version, &fileVersion}});
    Put(fileSize, size);
    Put(language, lang);
}

void GalleryEntry::GetDependency(LONG index, BSTR* moduleId, BSTR* version, LONG* language) {
    Zero(language);
    _stringx id;
    if (!ListEntryName(L"Dependency", index, id)) return;
    _stringx required = ReadValue(id, L"Version");
    LONG lang = ParseNumber(ReadValue(id, L"Language"));
    HandOut({{moduleId, &id}, {version, &required}});
    Put(language, lang);
}

void GalleryEntry::GetExclusion(LONG index, BSTR* moduleId, BSTR* minVersion, BSTR* maxVersion, LONG* language) {
    Zero(language);
    _stringx id;
    if (!ListEntryName(L"Exclusions", index, id)) return;
    _stringx minimum = ReadValue(id, L"ExcludedMinVersion");
    _stringx maximum = ReadValue(id, L"ExcludedMaxVersion");
    LONG lang = ParseNumber(ReadValue(id, L"ExcludedLanguage"));
    HandOut({{moduleId, &id}, {minVersion, &minimum}, {maxVersion, &maximum}});
    Put(language, lang);
}

void GalleryEntry::GetDownloadFile(LONG index, BSTR* location, BSTR* mediaLocation, BSTR* internetLocation,
                                   LONG* fileSize, BSTR* checkSum) {
    Zero(fileSize);
    _stringx section;
    if (!ListEntryName(L"DownloadFiles", index, section)) return;
    _stringx where = ReadValue(section, L"Location");
    _stringx media = ReadValue(section, L"MediaLocation");
    _stringx internet = ReadValue(section, L"InternetLocation");
    LONG size = ParseNumber(ReadValue(section, L"FileSize"));
    _stringx sum = ReadValue(section, L"CheckSum");
    HandOut({{location, &where}, {mediaLocation, &media}, {internetLocation, &internet}, {checkSum, &sum}});
    Put(fileSize, size);
}

bool GalleryEntry::FindModuleFile(const _stringx& fileName, _stringx& path) {
    ComPtr<IAppSearchPaths> searchPaths;
    HRESULT hr = CreateSiblingObject(L"CvAppServices.dll", CLSID_AppServices, IID_IAppSearchPaths,
                                     searchPaths.PutVoid());
    if (FAILED(hr) || !searchPaths) {
        ForgetErrorInfo();  // no services, no module: not an error
        return false;
    }
    unique_bstr searchPath;
    CheckResult(searchPaths->SearchPath(searchPath.put()));
    std::vector<_stringx> folders;
    SplitSearchPath(searchPath.get(), folders);
    for (const _stringx& folder : folders) {
        _stringx candidate = JoinPath(folder, fileName);
        if (PathFileExistsW(candidate.c_str())) {
            path = candidate;
            return true;
        }
    }
    return false;
}

_stringx GalleryEntry::GetModulePath() {
    _stringx fileName = ReadValue(kMergeModule, L"FileName");
    // Location only says that the module is meant to be on this machine; the search path finds it.
    if (ReadValue(fileName, L"Location").empty()) return _stringx();
    _stringx path;
    return FindModuleFile(fileName, path) ? path : _stringx();
}

void GalleryEntry::Validate() {
    {
        std::lock_guard<std::mutex> hold(g_entryLock);
        if (validated_) return;
    }
    Validation result;
    try {
        RunValidation(result);
    } catch (...) {
        // An unreadable description settles nothing more; the flags stay as they are.
        std::lock_guard<std::mutex> hold(g_entryLock);
        validated_ = 1;
        return;
    }
    std::lock_guard<std::mutex> hold(g_entryLock);
    // Two threads may validate at once: the first to settle stands.
    if (validated_) return;
    isPresent_ = result.isPresent;
    needsUpdate_ = result.needsUpdate;
    if (resolvedPath_ != result.resolvedPath) resolvedPath_ = result.resolvedPath;
    validated_ = result.settled ? 1 : 0;
}

void GalleryEntry::RunValidation(Validation& result) {
    // A run after a missing file starts afresh, so that what has been fetched since shows.
    result.settled = true;
    if (!HasFileName()) return;
    if (CompareVersions(GetVersion(), *versioned_) == 1) result.needsUpdate = VARIANT_TRUE;

    result.resolvedPath = GetModulePath();
    if (result.resolvedPath.empty()) {
        result.isPresent = VARIANT_FALSE;
        result.needsUpdate = VARIANT_FALSE;
        return;
    }
    if (!PathExists(result.resolvedPath)) {
        result.isPresent = VARIANT_FALSE;
        result.needsUpdate = VARIANT_TRUE;
        result.settled = false;
        return;
    }
    CheckDownloads(result);
}

void GalleryEntry::CheckDownloads(Validation& result) {
    ComPtr<IProfileSection> downloads = FindSection(L"DownloadFiles");
    if (!downloads) return;
    _stringx applicationFolder = ApplicationFolder();
    ComPtr<IProfileKeys> keys = ProfileKeys(downloads.Get());
    LONG count = ProfileKeyCount(keys.Get());
    size_t slash = result.resolvedPath.rfind(L'\\');
    _stringx moduleFolder = slash == _stringx::npos ? _stringx() : result.resolvedPath.substr(0, slash);
    for (LONG p = 1; p <= count; ++p) {
        // By position here: every key of the list counts, whatever its name.
        ComPtr<IProfileKey> key = ProfileKeyAt(keys.Get(), p);
        _stringx section = key ? ProfileKeyValue(key.Get()) : _stringx();
        _stringx location = ReadValue(section, L"Location");
        size_t nameStart = location.rfind(L'\\');
        _stringx nameOnly = nameStart == _stringx::npos ? location : location.substr(nameStart + 1);
        // Fetched into the application folder, or copied beside the module.
        if (!PathExists(JoinPath(applicationFolder, location)) && !PathExists(JoinPath(moduleFolder, nameOnly))) {
            result.isPresent = VARIANT_FALSE;
            result.needsUpdate = VARIANT_TRUE;
            result.settled = false;
            return;
        }
    }
}

HRESULT GalleryEntry::IsPresent(VARIANT_BOOL* present) {
    Validate();
    if (!present) return E_POINTER;
    std::lock_guard<std::mutex> hold(g_entryLock);
    *present = isPresent_;
    return S_OK;
}

HRESULT GalleryEntry::NeedsUpdate(VARIANT_BOOL* needsUpdate) {
    Validate();
    if (!needsUpdate) return E_POINTER;
    std::lock_guard<std::mutex> hold(g_entryLock);
    *needsUpdate = needsUpdate_;
    return S_OK;
}

BSTR GalleryEntry::ResolvedPath() {
    Validate();
    std::lock_guard<std::mutex> hold(g_entryLock);
    return resolvedPath_.AsBSTR();
}

_stringx GalleryEntry::ResolvedPathText() {
    Validate();
    std::lock_guard<std::mutex> hold(g_entryLock);
    return resolvedPath_;
}
