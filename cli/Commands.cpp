#include "cli/Commands.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include "cli/Client.h"

using nlohmann::json;

namespace {
// ---------------------------------------------------------------- JSON of the records

json Summary(const ModuleSummary& module) {
    return json{{"entry_key", ToUtf8(module.EntryKey)},   {"module_id", ToUtf8(module.ModuleId)},
                {"display_name", ToUtf8(module.DisplayName)}, {"version", ToUtf8(module.Version)},
                {"language", module.Language},          {"source", ToUtf8(module.Source())},
                {"path", ToUtf8(module.Path)},            {"present", module.Present},
                {"newer_version", module.NewerVersion}};
}

json OrNull(bool has, const _stringx& text) { return has ? json(ToUtf8(text)) : json(nullptr); }

// "[SystemFolder]MyDir" and "zeta.dll" give "[SystemFolder]MyDir\zeta.dll"; a root reference takes
// the name directly.
_stringx TargetPath(const FileRecord& file) {
    if (!file.Resolved) return _stringx();
    const _stringx& folder = file.TargetFolder;
    bool closed = folder.empty() || folder.ends_with(L'\\') || folder.ends_with(L']') || folder.ends_with(L'>');
    return folder + (closed ? L"" : L"\\") + file.FileName;
}

json File(const FileRecord& file) {
    return json{{"file_key", ToUtf8(file.FileKey)},
                {"file_name", ToUtf8(file.FileName)},
                {"stored_name", ToUtf8(file.StoredName)},
                {"directory", ToUtf8(file.Directory)},
                {"target_folder", OrNull(file.Resolved, file.TargetFolder)},
                {"target_path", OrNull(file.Resolved, TargetPath(file))},
                {"version", ToUtf8(file.Version)},
                {"language", ToUtf8(file.Language)},
                {"size", file.Size},
                {"sequence", file.Sequence}};
}

json Dependency(const Requirement& requirement) {
    return json{{"module_id", ToUtf8(requirement.ModuleId)},
                {"language", requirement.Language},
                {"version", ToUtf8(requirement.Version)}};
}

json ExclusionRule(const Exclusion& exclusion) {
    return json{{"module_id", ToUtf8(exclusion.ModuleId)},
                {"language", exclusion.Language},
                {"min_version", ToUtf8(exclusion.MinVersion)},
                {"max_version", ToUtf8(exclusion.MaxVersion)}};
}

json Details(const ModuleDetails& details) {
    json result = Summary(details.Summary);
    result["revision_number"] = ToUtf8(details.RevisionNumber);
    result["subject"] = ToUtf8(details.Subject);
    result["author"] = ToUtf8(details.Author);
    result["comments"] = ToUtf8(details.Comments);
    result["resolved_path"] = ToUtf8(details.ResolvedPath);
    result["dependencies"] = json::array();
    for (const Requirement& r : details.Dependencies) result["dependencies"].push_back(Dependency(r));
    result["exclusions"] = json::array();
    for (const Exclusion& e : details.Exclusions) result["exclusions"].push_back(ExclusionRule(e));
    result["dialogs"] = json::array();
    for (const _stringx& name : details.Dialogs) result["dialogs"].push_back(ToUtf8(name));
    result["custom_actions"] = json::array();
    for (const _stringx& name : details.CustomActions) result["custom_actions"].push_back(ToUtf8(name));
    result["download_files"] = json::array();
    for (const DownloadFileRecord& d : details.DownloadFiles)
        result["download_files"].push_back(json{{"location", ToUtf8(d.Location)},
                                                {"media_location", ToUtf8(d.MediaLocation)},
                                                {"internet_location", ToUtf8(d.InternetLocation)},
                                                {"size", d.Size},
                                                {"checksum", ToUtf8(d.CheckSum)}});
    result["files"] = json::array();
    for (const FileRecord& f : details.Files) result["files"].push_back(File(f));
    return result;
}

// ---------------------------------------------------------------- text

std::string S(const json& value) { return value.is_string() ? value.get<std::string>() : value.dump(); }

std::string Language(long language) { return language == 0 ? "0 (any language)" : std::to_string(language); }

// "ModuleID:language", saying so when the language is 0.
std::string Signature(const std::string& moduleId, long language) {
    return moduleId + ":" + std::to_string(language) + (language == 0 ? " (any language)" : "");
}

std::string Signature(const json& record) { return Signature(S(record["module_id"]), record["language"].get<long>()); }

std::string Range(const std::string& min, const std::string& max) {
    if (min.empty() && max.empty()) return "all versions";
    if (min.empty()) return "versions up to " + max;
    if (max.empty()) return "versions from " + min;
    return "versions " + min + " to " + max;
}

std::string Minimum(const std::string& version) { return version.empty() ? "any version" : version + " or later"; }

std::string SummaryText(const json& module) {
    std::string text = S(module["entry_key"]) + "\n    " + S(module["display_name"]) + "; version " +
                       S(module["version"]) + "; language " + S(module["language"]) + "\n    from " +
                       S(module["source"]) + "; " + (module["present"].get<bool>() ? "present" : "not present");
    if (module["newer_version"].get<bool>()) text += "; a newer version is described";
    return text + "\n";
}

std::string FileText(const json& file) {
    std::string where = file["target_path"].is_null()
                            ? "(directory \"" + S(file["directory"]) + "\" unresolved) " + S(file["file_name"])
                            : S(file["target_path"]);
    std::string version = S(file["version"]).empty() ? "no version" : "version " + S(file["version"]);
    return where + "  " + version + ", " + S(file["size"]) + " bytes, directory " +
           (S(file["directory"]).empty() ? "(none)" : S(file["directory"]));
}

void PrintList(const char* title, const json& items, std::string (*line)(const json&)) {
    std::string text = std::string(title) + " (" + std::to_string(items.size()) + ")" + (items.empty() ? "" : ":") + "\n";
    for (const json& item : items) text += "  " + line(item) + "\n";
    Print(text);
}

std::string Name(const json& name) { return S(name); }

void PrintDetails(const json& m) {
    std::string text = S(m["entry_key"]) + "\n";
    auto field = [&](const char* label, const std::string& value) {
        text += std::string("  ") + label + std::string(16 - std::char_traits<char>::length(label), ' ') + value + "\n";
    };
    field("Display name:", S(m["display_name"]));
    field("Module ID:", S(m["module_id"]));
    field("Language:", S(m["language"]));
    field("Version:", S(m["version"]));
    field("Path:", S(m["path"]));
    field("Source:", S(m["source"]));
    field("Subject:", S(m["subject"]));
    field("Author:", S(m["author"]));
    field("Comments:", S(m["comments"]));
    field("Package code:", S(m["revision_number"]));
    field("Present:", m["present"].get<bool>() ? "yes" : "no");
    field("Newer version:", m["newer_version"].get<bool>() ? "described" : "no");
    if (!S(m["resolved_path"]).empty()) field("Resolved path:", S(m["resolved_path"]));
    Print(text);
    PrintList("Dependencies", m["dependencies"],
              [](const json& d) { return Signature(d) + ", " + Minimum(S(d["version"])); });
    PrintList("Exclusions", m["exclusions"], [](const json& e) {
        return Signature(e) + ", " + Range(S(e["min_version"]), S(e["max_version"]));
    });
    PrintList("Dialogs", m["dialogs"], Name);
    PrintList("Custom actions", m["custom_actions"], Name);
    PrintList("Download files", m["download_files"], [](const json& d) {
        return S(d["location"]) + ", " + S(d["size"]) + " bytes" +
               (S(d["internet_location"]).empty() ? "" : ", from " + S(d["internet_location"]));
    });
    PrintList("Files", m["files"], FileText);
}

void PrintJson(const json& document) { Print(document.dump(2) + "\n"); }

}  // namespace

ComPtr<IMergeModule2> ModuleByArgument(CatalogClient& catalog, const _stringx& argument) {
    DWORD attributes = GetFileAttributesW(argument.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ComPtr<IMergeModule2> module = OpenModuleFile(argument);
        // The server reads a damaged file as a module without values; say so instead.
        if (ReadSummary(module.Get()).ModuleId.empty())
            throw ToolError(_stringx::Formatted(L"%s: not a merge module, or one without a module signature",
                                                argument.c_str()));
        return module;
    }
    ComPtr<IMergeModule2> module = catalog.FindModule(argument);
    if (!module)
        throw ToolError(_stringx::Formatted(L"no module %s in the catalog, and no such file",
                                            NormalizedSignature(argument).c_str()),
                        1);
    return module;
}

namespace {
_stringx FileNameOf(const _stringx& targetPath) {
    size_t cut = targetPath.rfind(L'\\');
    if (cut == _stringx::npos) {
        size_t bracket = targetPath.rfind(L']');
        size_t angle = targetPath.rfind(L'>');
        cut = bracket == _stringx::npos ? angle : angle == _stringx::npos ? bracket : std::max(bracket, angle);
    }
    return cut == _stringx::npos ? targetPath : targetPath.substr(cut + 1);
}

// Why nothing matched: every module's files of the target path's name, with their folders and versions.
json Candidates(CatalogClient& catalog, const _stringx& targetPath) {
    json candidates = json::array();
    _stringx fileName = FileNameOf(targetPath);
    for (const auto& candidate : catalog.Modules()) {
        std::vector<FileRecord> files = FileRecordsOf(candidate.Get());
        std::vector<FileRecord> named;
        for (const FileRecord& file : files)
            if (_wcsicmp(file.FileName.c_str(), fileName.c_str()) == 0) named.push_back(file);
        if (named.empty()) continue;
        ModuleSummary summary = ReadSummary(candidate.Get());
        ResolveTargetFolders(summary.Path, named);
        for (const FileRecord& file : named) {
            json entry = File(file);
            entry["entry_key"] = ToUtf8(summary.EntryKey);
            entry["display_name"] = ToUtf8(summary.DisplayName);
            candidates.push_back(entry);
        }
    }
    return candidates;
}

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text)
        out += c == '\n' ? std::string("\\n") : c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    return out + "\"";
}

// ---------------------------------------------------------------- deps: records, then JSON, text or DOT

struct MissingModule {
    Requirement Wanted;
    _stringx RequiredBy;
};

struct TooOldModule {
    const ModuleNode* Found;
    _stringx RequiredVersion, RequiredBy;
};

// The closure of one module with its verdicts, each list in the order of the closure's modules and
// their requirements. The nodes belong to the catalog client that gathered them.
struct DependencyReport {
    const ModuleNode* Root = nullptr;
    Closure Graph;
    std::vector<MissingModule> Missing;
    std::vector<TooOldModule> TooOld;
};

DependencyReport GatherDependencies(CatalogClient& catalog, const _stringx& argument) {
    DependencyReport report;
    const ModuleNode* root = report.Root = catalog.Node(ModuleByArgument(catalog, argument).Get());
    // A module file that the catalog does not hold still answers what its closure requires of it.
    report.Graph = ComputeClosure(*root, [&](const _stringx& id, LONG language) {
        const ModuleNode* found = catalog.Resolve(id, language);
        if (!found && id == root->ModuleId && (language == 0 || language == root->Language)) found = root;
        return found;
    });
    for (const ModuleNode* module : report.Graph.Modules)
        for (const ResolvedRequirement& r : report.Graph.Requirements.at(module->EntryKey)) {
            if (!r.Found)
                report.Missing.push_back({r.Wanted, module->EntryKey});
            else if (r.TooOld)
                report.TooOld.push_back({r.Found, r.Wanted.Version, module->EntryKey});
        }
    return report;
}

json Keys(const std::vector<_stringx>& keys) {
    json array = json::array();
    for (const _stringx& key : keys) array.push_back(ToUtf8(key));
    return array;
}

json ClosureModule(const ModuleNode& module, const std::vector<ResolvedRequirement>& requirements) {
    json needs = json::array();
    for (const ResolvedRequirement& r : requirements) {
        json entry = Dependency(r.Wanted);
        entry["resolved"] = r.Found ? json(ToUtf8(r.Found->EntryKey)) : json(nullptr);
        entry["too_old"] = r.TooOld;
        needs.push_back(entry);
    }
    return json{{"entry_key", ToUtf8(module.EntryKey)},
                {"module_id", ToUtf8(module.ModuleId)},
                {"language", module.Language},
                {"version", ToUtf8(module.Version)},
                {"requires", needs}};
}

json DependenciesJson(const DependencyReport& report) {
    const Closure& closure = report.Graph;
    json modules = json::array(), missing = json::array(), tooOld = json::array(), excluded = json::array(),
         cycles = json::array();
    for (const ModuleNode* module : closure.Modules)
        modules.push_back(ClosureModule(*module, closure.Requirements.at(module->EntryKey)));
    for (const MissingModule& m : report.Missing) {
        json item = Dependency(m.Wanted);
        item["required_by"] = ToUtf8(m.RequiredBy);
        missing.push_back(item);
    }
    for (const TooOldModule& t : report.TooOld)
        tooOld.push_back(json{{"entry_key", ToUtf8(t.Found->EntryKey)},
                              {"version", ToUtf8(t.Found->Version)},
                              {"required_version", ToUtf8(t.RequiredVersion)},
                              {"required_by", ToUtf8(t.RequiredBy)}});
    for (const ViolatedExclusion& v : closure.Violations) {
        json item = ExclusionRule(v.Rule);
        item["entry_key"] = ToUtf8(v.Excluded->EntryKey);
        item["version"] = ToUtf8(v.Excluded->Version);
        item["excluded_by"] = ToUtf8(v.ExcludedBy->EntryKey);
        excluded.push_back(item);
    }
    for (const auto& cycle : closure.Cycles) cycles.push_back(Keys(cycle));
    return json{{"root", ToUtf8(report.Root->EntryKey)}, {"complete", closure.Complete()},
                {"modules", modules},   {"missing", missing},
                {"too_old", tooOld},    {"excluded", excluded},
                {"cycles", cycles},     {"merge_order", Keys(closure.MergeOrder)}};
}

// A titled list of the closure's findings; nothing when there are none.
template <typename Item, typename Line>
std::string Findings(const char* title, const std::vector<Item>& items, Line line) {
    if (items.empty()) return std::string();
    std::string text = std::string(title) + " (" + std::to_string(items.size()) + "):\n";
    for (const Item& item : items) text += "  " + line(item) + "\n";
    return text;
}

std::string RequirementText(const ResolvedRequirement& r) {
    return "    requires " + Signature(ToUtf8(r.Wanted.ModuleId), r.Wanted.Language) + ", " +
           Minimum(ToUtf8(r.Wanted.Version)) + ": " +
           (r.Found ? ToUtf8(r.Found->EntryKey) + (r.TooOld ? ", too old" : "") : std::string("missing")) + "\n";
}

std::string DependenciesText(const DependencyReport& report) {
    const Closure& closure = report.Graph;
    size_t count = closure.Modules.size();
    std::string text = "Dependency closure of " + ToUtf8(report.Root->EntryKey) + " (" + std::to_string(count) +
                       (count == 1 ? " module)\n" : " modules)\n");
    for (const ModuleNode* module : closure.Modules) {
        text += "  " + ToUtf8(module->EntryKey) + " " + ToUtf8(module->Version) + "\n";
        for (const ResolvedRequirement& r : closure.Requirements.at(module->EntryKey)) text += RequirementText(r);
    }
    text += Findings("Missing", report.Missing, [](const MissingModule& m) {
        return Signature(ToUtf8(m.Wanted.ModuleId), m.Wanted.Language) + ", " + Minimum(ToUtf8(m.Wanted.Version)) +
               ", required by " + ToUtf8(m.RequiredBy);
    });
    text += Findings("Too old", report.TooOld, [](const TooOldModule& t) {
        return ToUtf8(t.Found->EntryKey) + " is " + ToUtf8(t.Found->Version) + "; " + ToUtf8(t.RequiredBy) +
               " requires " + ToUtf8(t.RequiredVersion) + " or later";
    });
    text += Findings("Exclusions violated", closure.Violations, [](const ViolatedExclusion& v) {
        return ToUtf8(v.ExcludedBy->EntryKey) + " excludes " + ToUtf8(v.Excluded->EntryKey) + " " +
               ToUtf8(v.Excluded->Version) + " (" + Language(v.Rule.Language) + ", " +
               Range(ToUtf8(v.Rule.MinVersion), ToUtf8(v.Rule.MaxVersion)) + ")";
    });
    text += Findings("Cycles", closure.Cycles, [](const std::vector<_stringx>& cycle) {
        std::string line;
        for (const _stringx& key : cycle) line += ToUtf8(key) + " -> ";
        return line + ToUtf8(cycle.front());
    });
    text += "Merge order:\n";
    int position = 0;
    for (const _stringx& key : closure.MergeOrder)
        text += "  " + std::to_string(++position) + ". " + ToUtf8(key) + "\n";
    return text + (closure.Complete() ? "Complete.\n" : "Incomplete.\n");
}

// A requirement as an edge: to a dashed node of its own when missing, red when too old, none when
// the module requires itself.
std::string DotEdge(const std::string& from, const ResolvedRequirement& r) {
    std::string version = ToUtf8(r.Wanted.Version);
    std::string label = version.empty() ? "" : ">= " + version;
    if (!r.Found) {
        std::string target = ToUtf8(r.Wanted.ModuleId) + ":" + std::to_string(r.Wanted.Language);
        return "  " + Quoted(target) + " [style=dashed, color=red, label=" + Quoted(target + "\nmissing") + "];\n  " +
               Quoted(from) + " -> " + Quoted(target) + " [color=red, label=" + Quoted(label) + "];\n";
    }
    std::string to = ToUtf8(r.Found->EntryKey);
    if (to == from) return std::string();
    std::string attributes;
    if (!label.empty() || r.TooOld)
        attributes = " [label=" + Quoted(label + (r.TooOld ? " (too old)" : "")) + (r.TooOld ? ", color=red]" : "]");
    return "  " + Quoted(from) + " -> " + Quoted(to) + attributes + ";\n";
}

std::string DependenciesDot(const DependencyReport& report) {
    const Closure& closure = report.Graph;
    std::string dot = "digraph closure {\n  node [shape=box];\n";
    for (const ModuleNode* module : closure.Modules) {
        std::string key = ToUtf8(module->EntryKey);
        dot += "  " + Quoted(key) + " [label=" + Quoted(key + "\n" + ToUtf8(module->Version)) + "];\n";
        for (const ResolvedRequirement& r : closure.Requirements.at(module->EntryKey)) dot += DotEdge(key, r);
    }
    for (const ViolatedExclusion& v : closure.Violations)
        dot += "  " + Quoted(ToUtf8(v.ExcludedBy->EntryKey)) + " -> " + Quoted(ToUtf8(v.Excluded->EntryKey)) +
               " [style=dotted, color=red, label=\"excludes\"];\n";
    return dot + "}\n";
}
}  // namespace

void Print(const std::string& text) {
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
}

void PrintError(const std::string& text) {
    fwrite(text.data(), 1, text.size(), stderr);
    fflush(stderr);
}

int ListCommand(const Request& request) {
    CatalogClient catalog;
    json modules = json::array();
    for (const auto& module : catalog.Modules()) modules.push_back(Summary(ReadSummary(module.Get())));
    if (request.Format == OutputFormat::Json) {
        PrintJson(json{{"modules", modules}});
    } else {
        std::string text;
        for (const json& module : modules) text += SummaryText(module);
        Print(text + std::to_string(modules.size()) + (modules.size() == 1 ? " module\n" : " modules\n"));
    }
    return modules.empty() ? 1 : 0;
}

int ShowCommand(const Request& request) {
    CatalogClient catalog;
    json details = Details(ReadDetails(ModuleByArgument(catalog, request.Argument).Get()));
    if (request.Format == OutputFormat::Json)
        PrintJson(details);
    else
        PrintDetails(details);
    return 0;
}

int FindCommand(const Request& request) {
    CatalogClient catalog;
    ComPtr<IMergeModule2> module = catalog.FindModule(request.Argument);
    json result{{"signature", ToUtf8(NormalizedSignature(request.Argument))},
                {"module", module ? Summary(ReadSummary(module.Get())) : json(nullptr)}};
    if (request.Format == OutputFormat::Json)
        PrintJson(result);
    else if (module)
        Print(SummaryText(result["module"]));
    else
        Print("No module " + S(result["signature"]) + " in the catalog.\n");
    return module ? 0 : 1;
}

int WhichCommand(const Request& request) {
    CatalogClient catalog;
    bool found = false;
    ComPtr<IMergeModule2> module =
        catalog.FindModuleForFile(request.Argument, request.DirectoryKey, request.Version, found);
    _stringx version = request.Version.empty() ? _stringx(L"0") : request.Version;
    json result{{"path", ToUtf8(request.Argument)},
                {"directory_key", ToUtf8(request.DirectoryKey)},
                {"version", ToUtf8(version)},
                {"found", static_cast<bool>(module)},
                {"matched_by", module ? json(found ? "files" : "index") : json(nullptr)},
                {"module", module ? Summary(ReadSummary(module.Get())) : json(nullptr)},
                {"candidates", module ? json::array() : Candidates(catalog, request.Argument)}};
    if (request.Format == OutputFormat::Json) {
        PrintJson(result);
    } else if (module) {
        Print(std::string(found ? "Delivered by " : "Named by the file-to-module index: ") +
              SummaryText(result["module"]));
    } else {
        std::string text = "No module delivers " + ToUtf8(request.Argument) +
                           (request.DirectoryKey.empty() ? "" : " from directory " + ToUtf8(request.DirectoryKey)) +
                           " in version " + ToUtf8(version) + ".\n";
        if (result["candidates"].empty()) text += "No module has a file of that name.\n";
        for (const json& candidate : result["candidates"])
            text += "  " + S(candidate["entry_key"]) + " has " + FileText(candidate) + "\n";
        Print(text);
    }
    return module ? 0 : 1;
}

int DepsCommand(const Request& request) {
    CatalogClient catalog;
    DependencyReport report = GatherDependencies(catalog, request.Argument);
    if (request.Format == OutputFormat::Json)
        PrintJson(DependenciesJson(report));
    else
        Print(request.Format == OutputFormat::Dot ? DependenciesDot(report) : DependenciesText(report));
    return report.Graph.Complete() ? 0 : 1;
}
