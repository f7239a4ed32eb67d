// A catalog entry read from a merge module file: the signature and summary texts when it is loaded,
// each list from the module's own tables on its first request. Only ever reads the module.
#pragma once
#include <windows.h>
#include <msi.h>
#include <functional>
#include <memory>
#include <optional>
#include "model/CatalogEntry.h"
#include "msi/ModuleCache.h"
#include "msi/ModuleData.h"

class ModuleEntry : public CatalogEntry {
public:
    // Reads the header of the module at path; a path that is not a module gives empty values.
    void Load(const _stringx& path, const _stringx& sourceLocation);
    // The same with the header read already (a failed read raises here, as Load would); its texts
    // are taken.
    void Load(_stringx path, const _stringx& sourceLocation, ModuleReadResult header);
    // The file list read already, for an entry that has not read its own; its records are taken.
    void AdoptFileList(ModuleReadResult& read);
    // The cache of the entry's location and the stamp its file was listed with: the list comes from
    // the cache, and goes into it, while the file still shows that stamp.
    void LinkCache(std::shared_ptr<LocationCache> cache, const ListedStamp& stamp);

    // The target path of one of the module's Directory keys, written the way target folders are
    // ("[SystemFolder]MyDir\Sub"); false when it does not resolve.
    const _stringx* ModuleDirectory(const _stringx& directoryKey) override;

protected:
    void ReadDialogNames(std::vector<_stringx>& names) override;
    void ReadCustomActionNames(std::vector<_stringx>& names) override;
    void ReadDependencies() override;
    void ReadExclusions() override;
    ReadFailure ReadFiles() override;

private:
    void ApplyHeader(ModuleReadResult& read);
    // A read of the entry's own file; one the file's use by another process kept out marks the
    // entry stale.
    ModuleReadResult Read(ModuleRead what, const _stringx& argument = _stringx());

    // Target folders read so far (each answer, once filed, stays where it is); made with the first
    // of them. Any thread may file one: both go under one lock for every entry, held only to file
    // or find.
    DirectoryAnswerMap& Directories();
    // Files what a read learnt of the folders, keeping what was known before.
    void TakeDirectories(DirectoryAnswerMap& read);
    // The answer filed for a key, null when none is.
    const DirectoryAnswer* KnownDirectory(const _stringx& directoryKey);
    std::unique_ptr<DirectoryAnswerMap> directories_;

    struct CacheLink {
        std::shared_ptr<LocationCache> cache;
        ListedStamp stamp;
    };
    std::optional<CacheLink> cacheLink_;
    static void ReadLists(const std::vector<ModuleEntry*>& modules,
                          const std::function<void(size_t, ModuleReadResult&)>& settle);
    friend void PreloadFileLists(const std::vector<CatalogEntry*>& entries);
};

// Reads the file lists of every entry of a module file that has not read its own, several at once.
void PreloadFileLists(const std::vector<CatalogEntry*>& entries);
