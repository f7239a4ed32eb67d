#include "cli/Conflicts.h"

#include <map>
#include <nlohmann/json.hpp>
#include "base/Versions.h"
#include "cli/ModuleSet.h"
#include "cli/ServerInternals.h"

using nlohmann::json;

namespace {
bool MergedTogether(const ModuleNode& a, const ModuleNode& b) {
    if (a.ModuleId == b.ModuleId) return false;
    for (const Exclusion& rule : a.Excludes)
        if (RuleExcludes(rule, b)) return false;
    for (const Exclusion& rule : b.Excludes)
        if (RuleExcludes(rule, a)) return false;
    return true;
}

bool SameFile(const FileRecord& a, const FileRecord& b) {
    return a.Size == b.Size && CompareVersions(a.Version, b.Version) == 0;
}

json DeliveryJson(const Delivery& d) {
    const FileRecord& file = *d.File;
    return json{{"entry_key", ToUtf8(d.Module->EntryKey)},
                {"module_id", ToUtf8(d.Module->ModuleId)},
                {"language", d.Module->Language},
                {"file_key", ToUtf8(file.FileKey)},
                {"file_name", ToUtf8(file.FileName)},
                {"directory", ToUtf8(file.Directory)},
                {"version", ToUtf8(file.Version)},
                {"size", file.Size}};
}

json SharedJson(const std::vector<SharedFile>& files) {
    json list = json::array();
    for (const SharedFile& shared : files) {
        json deliveries = json::array();
        for (const Delivery& d : shared.Deliveries) deliveries.push_back(DeliveryJson(d));
        list.push_back(json{{"target_path", ToUtf8(shared.TargetPath)}, {"modules", deliveries}});
    }
    return list;
}

std::string DeliveryText(const Delivery& d) {
    const FileRecord& file = *d.File;
    return ToUtf8(d.Module->EntryKey) + "  " + (file.Version.empty() ? "no version" : "version " + ToUtf8(file.Version)) +
           ", " + std::to_string(file.Size) + " bytes, directory " + ToUtf8(file.Directory) + "\n";
}

std::string SharedText(const char* title, const std::vector<SharedFile>& files) {
    std::string text = std::string(title) + " (" + std::to_string(files.size()) + ")" + (files.empty() ? "" : ":") + "\n";
    for (const SharedFile& shared : files) {
        text += "  " + ToUtf8(shared.TargetPath) + "\n";
        for (const Delivery& d : shared.Deliveries) text += "    " + DeliveryText(d);
    }
    return text;
}
}  // namespace

_stringx TargetPath(const FileRecord& file) {
    if (!file.Resolved) return _stringx();
    const _stringx& folder = file.TargetFolder;
    bool closed = folder.empty() || folder.ends_with(L'\\') || folder.ends_with(L']') || folder.ends_with(L'>');
    return folder + (closed ? L"" : L"\\") + file.FileName;
}

ConflictAnswer FindConflicts(const std::vector<ModuleFiles>& modules) {
    ConflictAnswer answer;
    // Compared as the file search compares folders and names: without regard to case.
    std::map<_stringx, std::vector<Delivery>, NoCaseLess> byTarget;
    for (const ModuleFiles& module : modules)
        for (const FileRecord& file : module.Files) {
            if (file.Resolved)
                byTarget[TargetPath(file)].push_back({module.Module, &file});
            else
                answer.Unresolved.push_back({module.Module, &file});
        }
    for (const auto& target : byTarget) {
        const std::vector<Delivery>& all = target.second;
        std::vector<bool> merged(all.size());
        bool differs = false;
        for (size_t i = 0; i < all.size(); ++i)
            for (size_t j = i + 1; j < all.size(); ++j)
                if (MergedTogether(*all[i].Module, *all[j].Module)) {
                    merged[i] = merged[j] = true;
                    differs = differs || !SameFile(*all[i].File, *all[j].File);
                }
        SharedFile shared{target.first, {}};
        for (size_t i = 0; i < all.size(); ++i)
            if (merged[i]) shared.Deliveries.push_back(all[i]);
        if (!shared.Deliveries.empty()) (differs ? answer.Conflicts : answer.Duplicates).push_back(shared);
    }
    return answer;
}

ModuleFiles ReadModuleFiles(IMergeModule2* module, const ModuleNode* node) {
    ModuleFiles files{node, FileRecordsOf(module)};
    ResolveTargetFolders(ReadSummary(module).Path, files.Files);
    return files;
}

std::vector<ModuleFiles> ReadSetFiles(const ModuleSet& set) {
    std::vector<server_internals::ModuleOfSet> onDisk;
    std::vector<size_t> position(set.Modules.size(), SIZE_MAX);
    for (size_t i = 0; i < set.Modules.size(); ++i) {
        _stringx path = ModulePath(set.Modules[i].Get());
        if (path.empty()) continue;
        position[i] = onDisk.size();
        onDisk.push_back({path, set.Graph.Modules[i]->EntryKey});
    }
    std::vector<server_internals::ModuleFileList> lists = server_internals::ReadFileLists(onDisk);
    std::vector<ModuleFiles> modules;
    for (size_t i = 0; i < set.Modules.size(); ++i) {
        if (position[i] != SIZE_MAX && lists[position[i]].Read)
            modules.push_back({set.Graph.Modules[i], std::move(lists[position[i]].Files)});
        else
            modules.push_back(ReadModuleFiles(set.Modules[i].Get(), set.Graph.Modules[i]));
    }
    return modules;
}

int ConflictsCommand(const Request& request) {
    std::unique_ptr<ModuleSet> set = GatherModuleSet(request.Arguments);
    std::vector<ModuleFiles> modules = ReadSetFiles(*set);
    size_t fileCount = 0;
    for (const ModuleFiles& module : modules) fileCount += module.Files.size();
    ConflictAnswer answer = FindConflicts(modules);
    json unresolved = json::array();
    for (const Delivery& d : answer.Unresolved) unresolved.push_back(DeliveryJson(d));
    if (request.Format == OutputFormat::Json) {
        PrintJson(json{{"modules", modules.size()},
                   {"files", fileCount},
                   {"conflicts", SharedJson(answer.Conflicts)},
                   {"duplicates", SharedJson(answer.Duplicates)},
                   {"unresolved", unresolved}});
    } else {
        std::string text = SharedText("Conflicts: different versions or sizes", answer.Conflicts) +
                           SharedText("Duplicates: same file, same version", answer.Duplicates) + "Unresolved folders (" +
                           std::to_string(answer.Unresolved.size()) + ")" + (answer.Unresolved.empty() ? "" : ":") + "\n";
        for (const Delivery& d : answer.Unresolved)
            text += "  " + ToUtf8(d.File->FileName) + " in " + DeliveryText(d);
        Print(text + std::to_string(modules.size()) + " modules, " + std::to_string(fileCount) + " files.\n");
    }
    return answer.Conflicts.empty() ? 0 : 1;
}
