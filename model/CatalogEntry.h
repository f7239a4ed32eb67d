// Everything the catalog knows about one merge module: identity, summary texts, path, file time
// and the lists read on first request. Filled either from a gallery description file
// (LoadFromGallery) or from the module file itself by the module reader.
#pragma once
#include <windows.h>
#include <atomic>
#include <memory>
#include <optional>
#include <vector>
#include "server/ApartmentWait.h"
#include "server/ComException.h"
#include "model/GalleryEntry.h"
#include "model/ModuleRecords.h"

class CatalogEntry : public GalleryEntry {
public:
    CatalogEntry() = default;
    ~CatalogEntry() override;

    // Fills the entry from a gallery description file; the caller sets LastWriteTime afterwards.
    void LoadFromGallery(const _stringx& path);

    // The module reader's header: also makes the EntryKey, and names the gallery description file
    // after the package code (RevisionNumber) with the module's version as the recorded one.
    // Taken by value: a header read for the entry alone is moved in.
    void SetHeader(_stringx moduleId, LONG language, _stringx version, _stringx author, _stringx comments,
                   _stringx revisionNumber, _stringx subject);
    void SetPath(_stringx path) { path_ = std::move(path); }
    void SetSourceLocation(const _stringx& sourceLocation) { sourceLocation_ = sourceLocation; }
    // The friendly name from the index, else Subject, else Path.
    void ComputeDisplayName();

    _stringx EntryKey() const { return MakeEntryKey(moduleId_, language_); }
    _stringx ModuleId() const { return moduleId_; }
    _stringx Path() const { return path_; }
    _stringx Version() const { return version_; }
    _stringx Author() const { return author_; }
    _stringx RevisionNumber() const { return revisionNumber_; }
    _stringx Comments() const { return comments_; }
    _stringx Subject() const { return subject_; }
    _stringx DisplayName() const { return displayIsSubject_ ? subject_ : displayName_; }
    _stringx SourceLocation() const { return sourceLocation_; }
    bool HasSourceLocation() const { return !sourceLocation_.empty(); }
    LONG Language() const { return language_; }
    bool FromGallery() const { return fromGallery_ != 0; }
    ULONGLONG LastWriteTime() const { return lastWriteTime_; }
    void SetLastWriteTime(ULONGLONG fileTime) { lastWriteTime_ = fileTime; }
    // What was read does not stand for the file (it was in use): the next scan reads it again.
    void MarkStale() { lastWriteTime_ = 0; }
    void SetLastWriteTime(const FILETIME& fileTime) {
        lastWriteTime_ = static_cast<ULONGLONG>(fileTime.dwHighDateTime) << 32 | fileTime.dwLowDateTime;
    }

    // The lazy lists: the first request reads the list, requests from other threads meanwhile wait
    // for that read; later requests return it as it stands, even when that read failed part way.
    const std::vector<_stringx>& DialogNames();
    const std::vector<_stringx>& CustomActionNames();
    const DependencyMap& Dependencies();
    const ExclusionMap& Exclusions();
    const FileList& Files();
    // Reads the file list now without raising: a failure of that read waits for the first caller
    // of Files(), who sees it exactly as if the list had been read for him.
    void LoadFiles();
    bool FilesFailurePending() const;
    // The failure of the file list's read, once: whoever takes it raises it.
    ReadFailure TakeFilesFailure();
    bool FilesLoaded() const { return filesOnce_.Done(); }
    // For a reader of many lists at once: true when this thread now owes the file list, which it
    // hands over with AdoptFiles (or FailFiles) and then FinishFiles.
    bool ClaimFiles() { return filesOnce_.Claim(); }
    void FinishFiles() { filesOnce_.Finish(); }
    void FailFiles(ReadFailure failure);
    // The file list as read so far, without reading or raising.
    const FileList& LoadedFiles() const;

    // The target path of one of the module's Directory keys. Only an entry read from a module file
    // can answer; this one (and every entry filled from a gallery file) cannot.
    bool ResolveModuleDirectory(const _stringx& directoryKey, _stringx& path);
    // The same folder as kept by the entry, null when it does not resolve: for the file search,
    // which asks for thousands of them.
    virtual const _stringx* ModuleDirectory(const _stringx& directoryKey);

protected:
    // Where the module reader reads the module's own tables. Each is called at most once, on the
    // first request of its list, and never for an entry filled from a gallery description file;
    // until the reader overrides them the lists of a module file stay empty.
    virtual void ReadDialogNames(std::vector<_stringx>& names);
    virtual void ReadCustomActionNames(std::vector<_stringx>& names);
    virtual void ReadDependencies();  // calls AddDependency per row
    virtual void ReadExclusions();    // calls AddExclusion per row
    virtual ReadFailure ReadFiles();  // calls AddFiles; a failure is kept for Files()

    // The file list read elsewhere, taken as LoadFiles would have read it.
    void AdoptFiles(std::vector<FileEntry>&& files, ReadFailure failure);

    // Skips a module's dependency on itself (same ModuleID, language and version); a later record
    // with a key already present replaces the earlier one.

    void AddDependency(const DependencyEntry& entry);
    void AddExclusion(const ExclusionEntry& entry);
    void AddFiles(std::vector<FileEntry>&& records) { TheLists().files.Add(std::move(records)); }

private:
    void ReadGalleryDependencies();
    void ReadGalleryExclusions();
    ReadFailure ReadGalleryFiles();

    _stringx moduleId_;
    _stringx path_;
    _stringx version_;
    _stringx author_;
    _stringx revisionNumber_;
    _stringx comments_;
    _stringx subject_;
    _stringx displayName_;  // empty while it is the subject, as it mostly is
    bool displayIsSubject_ = false;
    // Any thread may mark the entry stale (see MarkStale) while a scan compares it.
    std::atomic<ULONGLONG> lastWriteTime_{0};
    LONG language_ = 0;
    // The lists, made on the first request for any of them: a catalog holds thousands of entries
    // whose lists are never asked for.
    struct Lists {
        std::vector<_stringx> dialogNames;
        std::vector<_stringx> customActionNames;
        DependencyMap dependencies;
        ExclusionMap exclusions;
        FileList files;
        ReadFailure filesFailure;
    };
    Lists& TheLists();

    // Made once by whichever thread asks first; each list is written only by its read.
    std::atomic<Lists*> lists_{nullptr};
    DoneOnce dialogNamesOnce_;
    DoneOnce customActionNamesOnce_;
    DoneOnce dependenciesOnce_;
    DoneOnce exclusionsOnce_;
    DoneOnce filesOnce_;
    BYTE fromGallery_ = 0;
    _stringx sourceLocation_;
};
