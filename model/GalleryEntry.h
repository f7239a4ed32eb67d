// The part of a catalog entry that knows its gallery description file: an INI file in the folder
// "ObjectGallery" of the application folder, named after the entry's gallery name, in which the
// environment describes a module it offers (its file, version, lists and download files). Only
// read, never written. Also the lazy availability check built on it.
#pragma once
#include <windows.h>
#include "model/ProfileAccess.h"
#include "base/stringx.h"
#include "base/Handles.h"

class GalleryEntry {
public:
    GalleryEntry() = default;
    GalleryEntry(const GalleryEntry&) = delete;
    GalleryEntry& operator=(const GalleryEntry&) = delete;
    virtual ~GalleryEntry();

    // The availability getters run Validate first and never raise.
    virtual HRESULT IsPresent(VARIANT_BOOL* present);
    virtual HRESULT NeedsUpdate(VARIANT_BOOL* needsUpdate);
    // The entry's own cached BSTR: the caller must not free it. For the thread that validates only;
    // others take ResolvedPathText.
    virtual BSTR ResolvedPath();
    _stringx ResolvedPathText();

    // <application folder>\ObjectGallery\<gallery name>.ini (an empty name gives ObjectGallery.ini).
    _stringx GalleryFilePath() const;

    _stringx ReadValue(const _stringx& section, const _stringx& key);
    ComPtr<IProfileSection> FindSection(const _stringx& section);
    LONG CountListEntries(const _stringx& listSection);
    bool HasFileName();
    // The module file found through the search path, when its section names a Location.
    _stringx GetModulePath();

    LONG GetLanguage();
    _stringx GetModuleId();
    _stringx GetVersion();
    _stringx GetAuthor();
    _stringx GetComments();
    _stringx GetSubject();
    _stringx GetName() const { return *named_; }
    _stringx GetRecordedVersion() const { return *versioned_; }
    // Null counts as empty.
    void SetNameAndVersion(const wchar_t* name, const wchar_t* version);

    LONG GetFileCount();
    LONG GetDependencyCount();
    LONG GetExclusionCount();
    LONG GetDownloadFileCount();
    // index counts from 0 and reads the list key "Key<index+1>". Text outs get new BSTRs that the
    // caller frees, and only when that key exists; numbers are always written, 0 when not found.
    void GetFile(LONG index, BSTR* fileKey, BSTR* fileName, BSTR* version, LONG* fileSize, LONG* language);
    void GetDependency(LONG index, BSTR* moduleId, BSTR* version, LONG* language);
    void GetExclusion(LONG index, BSTR* moduleId, BSTR* minVersion, BSTR* maxVersion, LONG* language);
    void GetDownloadFile(LONG index, BSTR* location, BSTR* mediaLocation, BSTR* internetLocation, LONG* fileSize,
                         BSTR* checkSum);

    // Looks the file name up in each folder of the merge-module search path, in order.
    static bool FindModuleFile(const _stringx& fileName, _stringx& path);

    // Settles IsPresent and NeedsUpdate. Runs to the end once; a missing module or download file
    // leaves it unsettled so that a later getter looks again.
    void Validate();

protected:
    // The name and version from texts the subclass keeps anyway, which live as long as the entry:
    // a catalog makes thousands of entries, and copies would cost two allocations each.
    void UseNameAndVersion(const _stringx& name, const _stringx& version);

private:
    // What a validation settles, made apart and then put in place under the entry's lock.
    struct Validation {
        VARIANT_BOOL isPresent = VARIANT_TRUE;
        VARIANT_BOOL needsUpdate = VARIANT_FALSE;
        bool settled = false;
        _stringx resolvedPath;
    };

    // Null while the file does not exist; the reader is kept once made, even if loading failed.
    // Only the thread that made it uses the kept one: another makes its own for each read.
    ComPtr<IProfileFile> Reader();
    // The value of list key Key<index+1>, false when the list or the key is missing.
    bool ListEntryName(const wchar_t* listSection, LONG index, _stringx& entryName);
    void RunValidation(Validation& result);
    void CheckDownloads(Validation& result);

    _stringx name_;
    _stringx recordedVersion_;
    const _stringx* named_ = &name_;
    const _stringx* versioned_ = &recordedVersion_;
    VARIANT_BOOL isPresent_ = VARIANT_TRUE;
    VARIANT_BOOL needsUpdate_ = VARIANT_FALSE;
    BYTE validated_ = 0;
    ComPtr<IProfileFile> reader_;
    DWORD readerThread_ = 0;
    _stringx resolvedPath_;
};
