#include "msi/ModuleEntry.h"

#include <mutex>
#include <stdexcept>
#include "msi/InstallerAccess.h"
#include "msi/ReaderPool.h"
#include "server/ComException.h"

namespace {
// The installer's answer to a file it cannot open, for a file it is never shown.
[[noreturn]] void RaiseUnreadable(const _stringx& path) {
    CheckInstallerResult(ERROR_FUNCTION_FAILED, L"MsiOpenDatabase", path.c_str());
    throw std::logic_error("unreachable");
}

std::mutex g_directoriesLock;
}  // namespace

void ModuleEntry::Load(const _stringx& path, const _stringx& sourceLocation) {
    Load(path, sourceLocation, ReadModuleGuarded(ModuleRead::Header, path));
}

void ModuleEntry::Load(const _stringx& path, const _stringx& sourceLocation, const ModuleReadResult& header) {
    SetPath(path);
    SetSourceLocation(sourceLocation);
    ApplyHeader(header);
    ComputeDisplayName();
}

void ModuleEntry::ApplyHeader(const ModuleReadResult& read) {
    if (read.Failure) read.Failure.Raise();
    const ModuleHeader& h = read.Header;
    SetHeader(h.ModuleId, h.Language, h.Version, h.Author, h.Comments, h.RevisionNumber, h.Subject);
}

void ModuleEntry::ReadDialogNames(std::vector<_stringx>& names) {
    ModuleReadResult read = ReadModuleGuarded(ModuleRead::Dialogs, Path());
    names.insert(names.end(), read.Names.begin(), read.Names.end());
    if (read.Failure) read.Failure.Raise();
}

void ModuleEntry::ReadCustomActionNames(std::vector<_stringx>& names) {
    ModuleReadResult read = ReadModuleGuarded(ModuleRead::CustomActions, Path());
    names.insert(names.end(), read.Names.begin(), read.Names.end());
    if (read.Failure) read.Failure.Raise();
}

void ModuleEntry::ReadDependencies() {
    ModuleReadResult read = ReadModuleGuarded(ModuleRead::Dependencies, Path());
    for (const DependencyEntry& entry : read.Dependencies) AddDependency(entry);
    if (read.Failure) read.Failure.Raise();
}

void ModuleEntry::ReadExclusions() {
    ModuleReadResult read = ReadModuleGuarded(ModuleRead::Exclusions, Path());
    for (const ExclusionEntry& entry : read.Exclusions) AddExclusion(entry);
    if (read.Failure) read.Failure.Raise();
}

void ModuleEntry::TakeDirectories(DirectoryAnswerMap& read) {
    std::lock_guard<std::mutex> hold(g_directoriesLock);
    // What is known already stands.
    DirectoryAnswerMap& known = Directories();
    if (known.empty()) known.swap(read);
    else known.insert(std::make_move_iterator(read.begin()), std::make_move_iterator(read.end()));
}

ReadFailure ModuleEntry::ReadFiles() {
    ModuleReadResult read = ReadModuleGuarded(ModuleRead::Files, Path());
    for (FileEntry& entry : read.Files) AddFile(std::move(entry));
    // The folders come with the list, so a file replaced or removed since then answers from them.
    TakeDirectories(read.Directories);
    return read.Failure;
}

void ModuleEntry::AdoptFileList(ModuleReadResult& read) {
    TakeDirectories(read.Directories);
    AdoptFiles(std::move(read.Files), std::move(read.Failure));
}

void PreloadFileLists(const std::vector<CatalogEntry*>& entries) {
    std::vector<ModuleEntry*> waiting;
    std::vector<_stringx> paths;
    for (CatalogEntry* entry : entries) {
        auto* module = dynamic_cast<ModuleEntry*>(entry);
        if (!module || module->FromGallery() || module->FilesLoaded() || !module->ClaimFiles()) continue;
        waiting.push_back(module);
        paths.push_back(module->Path());
    }
    // Lists another thread reads meanwhile are left to it; whoever asks for them waits then.
    size_t handed = 0;
    // Every list claimed is settled, as its own read would have been.
    auto settleRest = [&](const ReadFailure& failure) {
        for (; handed < waiting.size(); ++handed) {
            waiting[handed]->FailFiles(failure);
            waiting[handed]->FinishFiles();
        }
    };
    try {
        ReadModulesGuarded(ModuleRead::Files, paths, [&](size_t i, ModuleReadResult& list) {
            waiting[i]->AdoptFileList(list);
            waiting[i]->FinishFiles();
            handed = i + 1;
        });
    } catch (const CComException& error) {
        settleRest(ReadFailure::Of(error.Error()));
        throw;
    } catch (const std::bad_alloc&) {
        settleRest(ReadFailure{E_OUTOFMEMORY});
        throw;
    }
}

DirectoryAnswerMap& ModuleEntry::Directories() {
    if (!directories_) directories_ = std::make_unique<DirectoryAnswerMap>();
    return *directories_;
}

const DirectoryAnswer* ModuleEntry::KnownDirectory(const _stringx& directoryKey) {
    std::lock_guard<std::mutex> hold(g_directoriesLock);
    DirectoryAnswerMap& directories = Directories();
    auto known = directories.find(directoryKey);
    return known == directories.end() ? nullptr : &known->second;
}

const _stringx* ModuleEntry::ModuleDirectory(const _stringx& directoryKey) {
    if (directoryKey.empty() || FromGallery()) return nullptr;
    const DirectoryAnswer* answer = KnownDirectory(directoryKey);
    if (!answer) {
        // The file list brings every folder it names through one open; its own failure is
        // reported by whoever asks for the list.
        LoadFiles();
        answer = KnownDirectory(directoryKey);
    }
    if (!answer) {
        ModuleReadResult read = ReadModuleGuarded(ModuleRead::Directory, Path(), directoryKey);
        if (read.Unsafe) RaiseUnreadable(Path());
        if (read.Failure) read.Failure.Raise();
        std::lock_guard<std::mutex> hold(g_directoriesLock);
        // Another thread's answer for the key may have been filed meanwhile: the first stands.
        answer = &Directories().emplace(directoryKey, read.Directories[directoryKey]).first->second;
    }
    if (answer->Failure) answer->Failure.Raise();
    return answer->Status == ERROR_SUCCESS ? &answer->Path : nullptr;
}
