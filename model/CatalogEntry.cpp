#include "model/CatalogEntry.h"

#include "model/ModuleIndex.h"

#include <iterator>
#include <mutex>
#include <utility>

namespace {
// The file title: no folder, no extension.
_stringx FileTitle(const _stringx& path) {
    size_t slash = path.rfind(L'\\');
    _stringx name = slash == _stringx::npos ? path : path.substr(slash + 1);
    size_t dot = name.rfind(L'.');
    return dot == _stringx::npos ? name : name.substr(0, dot);
}

// Guards the file list's pending failure of every entry: taken by one thread only.
std::mutex g_filesFailureLock;
}  // namespace

CatalogEntry::~CatalogEntry() { delete lists_.load(); }

void CatalogEntry::LoadFromGallery(const _stringx& path) {
    fromGallery_ = 1;
    SetNameAndVersion(FileTitle(path).c_str(), L"");
    path_ = GetModulePath();
    language_ = GetLanguage();
    moduleId_ = GetModuleId();
    version_ = GetVersion();
    author_ = GetAuthor();
    comments_ = GetComments();
    revisionNumber_ = GetName();
    subject_ = GetSubject();
    ComputeDisplayName();
}

void CatalogEntry::SetHeader(_stringx moduleId, LONG language, _stringx version, _stringx author, _stringx comments,
                             _stringx revisionNumber, _stringx subject) {
    moduleId_ = std::move(moduleId);
    language_ = language;
    version_ = std::move(version);
    author_ = std::move(author);
    comments_ = std::move(comments);
    revisionNumber_ = std::move(revisionNumber);
    subject_ = std::move(subject);
    // Its gallery file is named after its package code; its version is what the gallery's is
    // compared with. Texts up to a NUL, as before: a text holding one names a shorter file.
    if (revisionNumber_.find(L'\0') == _stringx::npos && version_.find(L'\0') == _stringx::npos)
        UseNameAndVersion(revisionNumber_, version_);
    else
        SetNameAndVersion(revisionNumber_.c_str(), version_.c_str());
}

void CatalogEntry::ComputeDisplayName() {
    displayIsSubject_ = false;
    if (LookupFriendlyName(EntryKey(), displayName_)) return;
    displayIsSubject_ = !subject_.empty();
    displayName_ = displayIsSubject_ ? _stringx() : path_;
}

const std::vector<_stringx>& CatalogEntry::DialogNames() {
    dialogNamesOnce_.Run([&] {
        if (!fromGallery_) ReadDialogNames(TheLists().dialogNames);
    });
    return TheLists().dialogNames;
}

const std::vector<_stringx>& CatalogEntry::CustomActionNames() {
    customActionNamesOnce_.Run([&] {
        if (!fromGallery_) ReadCustomActionNames(TheLists().customActionNames);
    });
    return TheLists().customActionNames;
}

const DependencyMap& CatalogEntry::Dependencies() {
    dependenciesOnce_.Run([&] {
        if (fromGallery_)
            ReadGalleryDependencies();
        else
            ReadDependencies();
    });
    return TheLists().dependencies;
}

const ExclusionMap& CatalogEntry::Exclusions() {
    exclusionsOnce_.Run([&] {
        if (fromGallery_)
            ReadGalleryExclusions();
        else
            ReadExclusions();
    });
    return TheLists().exclusions;
}

const FileList& CatalogEntry::Files() {
    LoadFiles();
    if (ReadFailure failure = TakeFilesFailure()) failure.Raise();
    return TheLists().files;
}

void CatalogEntry::LoadFiles() {
    filesOnce_.Run([&] {
        ReadFailure failure = fromGallery_ ? ReadGalleryFiles() : ReadFiles();
        if (failure) FailFiles(std::move(failure));
    });
}

void CatalogEntry::FailFiles(ReadFailure failure) {
    Lists& lists = TheLists();
    std::lock_guard<std::mutex> hold(g_filesFailureLock);
    lists.filesFailure = std::move(failure);
}

bool CatalogEntry::FilesFailurePending() const {
    Lists* lists = lists_.load(std::memory_order_acquire);
    if (!lists) return false;
    std::lock_guard<std::mutex> hold(g_filesFailureLock);
    return static_cast<bool>(lists->filesFailure);
}

ReadFailure CatalogEntry::TakeFilesFailure() {
    Lists* lists = lists_.load(std::memory_order_acquire);
    if (!lists) return ReadFailure();
    std::lock_guard<std::mutex> hold(g_filesFailureLock);
    return std::exchange(lists->filesFailure, ReadFailure());
}

const FileList& CatalogEntry::LoadedFiles() const {
    static const FileList none;
    Lists* lists = lists_.load(std::memory_order_acquire);
    return lists ? lists->files : none;
}

CatalogEntry::Lists& CatalogEntry::TheLists() {
    Lists* lists = lists_.load(std::memory_order_acquire);
    if (lists) return *lists;
    auto made = std::make_unique<Lists>();
    if (lists_.compare_exchange_strong(lists, made.get(), std::memory_order_acq_rel)) return *made.release();
    return *lists;  // another thread made them first
}

void CatalogEntry::AdoptFiles(std::vector<FileEntry>&& files, ReadFailure failure) {
    AddFiles(std::move(files));
    if (failure) FailFiles(std::move(failure));
}

bool CatalogEntry::ResolveModuleDirectory(const _stringx& directoryKey, _stringx& path) {
    const _stringx* folder = ModuleDirectory(directoryKey);
    if (folder) path = *folder;
    return folder != nullptr;
}

const _stringx* CatalogEntry::ModuleDirectory(const _stringx&) { return nullptr; }

void CatalogEntry::ReadDialogNames(std::vector<_stringx>&) {}
void CatalogEntry::ReadCustomActionNames(std::vector<_stringx>&) {}
void CatalogEntry::ReadDependencies() {}
void CatalogEntry::ReadExclusions() {}
ReadFailure CatalogEntry::ReadFiles() { return ReadFailure(); }

void CatalogEntry::AddDependency(const DependencyEntry& entry) {
    if (entry.ModuleId == moduleId_ && entry.Language == language_ && entry.Version == version_) return;
    TheLists().dependencies[entry.Key] = entry;
}

void CatalogEntry::AddExclusion(const ExclusionEntry& entry) { TheLists().exclusions[entry.Key] = entry; }

void CatalogEntry::ReadGalleryDependencies() {
    LONG count = GetDependencyCount();
    for (LONG i = 0; i < count; ++i) {
        unique_bstr id, version;
        DependencyEntry entry;
        GetDependency(i, id.put(), version.put(), &entry.Language);
        entry.ModuleId = id.get();
        entry.Version = version.get();
        entry.Key = MakeEntryKey(entry.ModuleId, entry.Language);
        AddDependency(entry);
    }
}

void CatalogEntry::ReadGalleryExclusions() {
    LONG count = GetExclusionCount();
    for (LONG i = 0; i < count; ++i) {
        unique_bstr id, minVersion, maxVersion;
        ExclusionEntry entry;
        GetExclusion(i, id.put(), minVersion.put(), maxVersion.put(), &entry.Language);
        entry.ModuleId = id.get();
        entry.MinVersion = minVersion.get();
        entry.MaxVersion = maxVersion.get();
        entry.Key = MakeEntryKey(entry.ModuleId, entry.Language);
        AddExclusion(entry);
    }
}

// A description file that fails part way is kept as a module file's failed read is.
ReadFailure CatalogEntry::ReadGalleryFiles() {
    std::vector<FileEntry> records;
    FileTexts texts;
    ReadFailure failure;
    try {
        LONG count = GetFileCount();
        for (LONG i = 0; i < count; ++i) {
            unique_bstr key, name, version;
            LONG language = 0;
            FileEntry entry;
            GetFile(i, key.put(), name.put(), version.put(), &entry.FileSize, &language);
            texts.Append(entry, FileEntry::kFileKey, _stringx(key.get()));
            texts.Append(entry, FileEntry::kStoredName, _stringx(name.get()));
            texts.Append(entry, FileEntry::kVersion, _stringx(version.get()));
            texts.Append(entry, FileEntry::kLanguage, _stringx::Formatted(L"%d", static_cast<int>(language)));
            records.push_back(std::move(entry));
        }
    } catch (const CComException& error) {
        failure = ReadFailure::Of(error.Error());
    }
    texts.Share(records.data(), records.data() + records.size());
    AddFiles(std::move(records));
    return failure;
}
