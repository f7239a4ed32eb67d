#include "cli/Commands.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <nlohmann/json.hpp>
#include "cli/Client.h"
#include "cli/Configuration.h"

using nlohmann::json;

namespace {
std::unique_ptr<CatalogClient> g_catalog;
std::set<_stringx> g_told;  // warnings printed in this run
bool g_compactJson = false;
bool g_outputClosed = false;

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

// One line per module, for lists meant to be read and grepped.
std::string ListLine(const json& module) {
    std::string line = S(module["entry_key"]) + "  " + S(module["version"]) + "  " + S(module["display_name"]) +
                       "  (" + S(module["source"]);
    if (!module["present"].get<bool>()) line += "; not present";
    if (module["newer_version"].get<bool>()) line += "; a newer version is described";
    return line + ")\n";
}

// A field of a tab-separated line: tabs and line breaks inside it written as \t, \n and \r.
std::string Field(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\t' ? "\\t" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
    return out;
}

// A header line and a line per row (Tsv), or the first field of each row (Keys).
std::string Table(OutputFormat format, const std::vector<std::string>& header,
                  const std::vector<std::vector<std::string>>& rows) {
    std::string text;
    auto line = [&](const std::vector<std::string>& fields) {
        for (size_t i = 0; i < fields.size() && (i == 0 || format == OutputFormat::Tsv); ++i)
            text += (i ? "\t" : "") + Field(fields[i]);
        text += "\n";
    };
    if (format == OutputFormat::Tsv) line(header);
    for (const auto& row : rows) line(row);
    return text;
}

std::string ModulesTable(OutputFormat format, const json& modules) {
    std::vector<std::vector<std::string>> rows;
    for (const json& m : modules)
        rows.push_back({S(m["entry_key"]), S(m["version"]), S(m["language"]), S(m["path"]), S(m["source"])});
    return Table(format, {"key", "version", "language", "path", "source"}, rows);
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


bool IsFile(const _stringx& path, bool& folder) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    return attributes != INVALID_FILE_ATTRIBUTES && !folder;
}

// A ModuleID has no slashes and does not end in ".msm": such an argument was meant as a file.
bool MeantAsFile(const _stringx& argument) {
    _stringx lower = argument.Lower();
    return lower.find(L'\\') != _stringx::npos || lower.find(L'/') != _stringx::npos ||
           (lower.length() > 4 && lower.substr(lower.length() - 4) == _stringx(L".msm"));
}

std::string KeysOf(const std::vector<CatalogModule>& modules) {
    std::string text;
    for (const CatalogModule& module : modules) text += "\n  " + ToUtf8(module.Summary.EntryKey);
    return text;
}

}  // namespace

void PrintJson(json document) {
    json warnings = json::array();
    if (g_catalog)
        for (const _stringx& warning : g_catalog->Survey().Warnings) warnings.push_back(ToUtf8(warning));
    document["warnings"] = warnings;
    Print(document.dump(g_compactJson ? -1 : 2, ' ', false, json::error_handler_t::replace) + "\n");
}

// A module file when the argument names an existing file, else a module of the catalog looked up as
// users type it; anything else is a usage error (2) or nothing found (1), with what to type instead.
ComPtr<IMergeModule2> ModuleByArgument(CatalogClient& catalog, const _stringx& given) {
    _stringx argument = HostPath(given);
    bool folder = false;
    if (IsFile(argument, folder)) {
        ComPtr<IMergeModule2> module = OpenModuleFile(argument);
        // The server reads a damaged file as a module without values; say so instead.
        if (ReadSummary(module.Get()).ModuleId.empty())
            throw ToolError(_stringx::Formatted(L"%s: not a merge module, or one without a module signature",
                                                argument.c_str()));
        return module;
    }
    if (folder)
        throw ToolError(_stringx::Formatted(L"%s is a folder: name a module file in it, or catalog it with --path",
                                            given.c_str()));
    if (MeantAsFile(given))
        throw ToolError(_stringx::Formatted(L"%s: no such file (name a module file, or a module by its "
                                            L"ModuleID[:language])",
                                            given.c_str()));
    ModuleLookup lookup = catalog.LookUp(given);
    if (lookup.Unique()) return lookup.Matches.front().Object;
    if (lookup.Matches.empty())
        throw ToolError(_stringx::Formatted(L"no module %s in the catalog (\"mmcat list\" shows them)",
                                            NormalizedSignature(given).c_str()),
                        1);
    throw ToolError(FromUtf8(ToUtf8(given) + " fits " + std::to_string(lookup.Matches.size()) +
                             " modules; give more of the ModuleID, or the key of one:" + KeysOf(lookup.Matches)),
                    1);
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
    for (const CatalogModule& candidate : catalog.ReadableModules()) {
        std::vector<FileRecord> files = FileRecordsOf(candidate.Object.Get());
        std::vector<FileRecord> named;
        for (const FileRecord& file : files)
            if (_wcsicmp(file.FileName.c_str(), fileName.c_str()) == 0) named.push_back(file);
        if (named.empty()) continue;
        const ModuleSummary& summary = candidate.Summary;
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
    _stringx DamagedCopy;  // an unreadable file that looks like a copy of it
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

    bool Clean() const { return Missing.empty() && TooOld.empty() && Graph.Violations.empty() && Graph.Cycles.empty(); }
};

DependencyReport GatherDependencies(CatalogClient& catalog, const ComPtr<IMergeModule2>& module) {
    DependencyReport report;
    const ModuleNode* root = report.Root = catalog.Node(module.Get());
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

// "zlib.msm" or "ZLIB.7A99....msm" unreadable in a search folder: likely a damaged copy of ZLIB.7A99....
void NoteDamagedCopies(CatalogClient& catalog, DependencyReport& report) {
    for (MissingModule& missing : report.Missing) {
        _stringx id = missing.Wanted.ModuleId.Lower();
        _stringx name = id.substr(0, id.find(L'.'));
        for (const _stringx& path : catalog.Survey().UnreadableFiles) {
            _stringx file = path.substr(path.rfind(L'\\') + 1).Lower();
            _stringx stem = file.substr(0, file.length() - 4);
            if (stem == id || stem == name) missing.DamagedCopy = path;
        }
    }
}

// Every module's closure over the catalog, its findings each listed once.
struct CatalogCheck {
    DependencyReport Findings;
    size_t Checked = 0;
};

CatalogCheck CheckCatalog(CatalogClient& catalog) {
    CatalogCheck check;
    DependencyReport& all = check.Findings;
    std::set<std::string> seen;
    auto first = [&](const std::string& finding) { return seen.insert(finding).second; };
    for (const CatalogModule& module : catalog.ReadableModules()) {
        ++check.Checked;
        DependencyReport report = GatherDependencies(catalog, module.Object);
        for (const MissingModule& m : report.Missing)
            if (first("m" + ToUtf8(m.Wanted.ModuleId + m.RequiredBy) + std::to_string(m.Wanted.Language)))
                all.Missing.push_back(m);
        for (const TooOldModule& t : report.TooOld)
            if (first("t" + ToUtf8(t.Found->EntryKey + L" " + t.RequiredBy))) all.TooOld.push_back(t);
        for (const ViolatedExclusion& v : report.Graph.Violations)
            if (first("x" + ToUtf8(v.ExcludedBy->EntryKey + L" " + v.Excluded->EntryKey)))
                all.Graph.Violations.push_back(v);
        for (const auto& cycle : report.Graph.Cycles) {
            std::set<_stringx> members(cycle.begin(), cycle.end());
            std::string name = "c";
            for (const _stringx& key : members) name += ToUtf8(key) + " ";
            if (first(name)) all.Graph.Cycles.push_back(cycle);
        }
    }
    return check;
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
        item["damaged_copy"] = m.DamagedCopy.empty() ? json(nullptr) : json(ToUtf8(m.DamagedCopy));
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
    return json{{"root", report.Root ? json(ToUtf8(report.Root->EntryKey)) : json(nullptr)},
                {"complete", report.Clean()},
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

// A found requirement is named by the key that answers it, a missing one by what was asked.
std::string RequirementText(const ResolvedRequirement& r) {
    std::string minimum = Minimum(ToUtf8(r.Wanted.Version));
    if (!r.Found)
        return "    requires " + Signature(ToUtf8(r.Wanted.ModuleId), r.Wanted.Language) + ", " + minimum + ": missing\n";
    bool anyLanguage = r.Wanted.Language == 0 && r.Found->Language != 0;
    return "    requires " + ToUtf8(r.Found->EntryKey) + (anyLanguage ? " (any language asked)" : "") + ", " + minimum +
           (r.TooOld ? ": too old\n" : "\n");
}

std::string MissingText(const MissingModule& m) {
    return Signature(ToUtf8(m.Wanted.ModuleId), m.Wanted.Language) + ", " + Minimum(ToUtf8(m.Wanted.Version)) +
           ", required by " + ToUtf8(m.RequiredBy) +
           (m.DamagedCopy.empty() ? "" : " (a damaged copy is at " + ToUtf8(m.DamagedCopy) + ")");
}

std::string TooOldText(const TooOldModule& t) {
    return ToUtf8(t.Found->EntryKey) + " is " + ToUtf8(t.Found->Version) + "; " + ToUtf8(t.RequiredBy) + " requires " +
           ToUtf8(t.RequiredVersion) + " or later";
}

std::string ExcludedText(const ViolatedExclusion& v) {
    return ToUtf8(v.ExcludedBy->EntryKey) + " excludes " + ToUtf8(v.Excluded->EntryKey) + " " +
           ToUtf8(v.Excluded->Version) + " (" + Language(v.Rule.Language) + ", " +
           Range(ToUtf8(v.Rule.MinVersion), ToUtf8(v.Rule.MaxVersion)) + ")";
}

std::string CycleText(const std::vector<_stringx>& cycle) {
    std::string line;
    for (const _stringx& key : cycle) line += ToUtf8(key) + " -> ";
    return line + ToUtf8(cycle.front());
}

std::string FindingsText(const DependencyReport& report) {
    return Findings("Missing", report.Missing, MissingText) + Findings("Too old", report.TooOld, TooOldText) +
           Findings("Exclusions violated", report.Graph.Violations, ExcludedText) +
           Findings("Cycles", report.Graph.Cycles, CycleText);
}

std::string CheckText(const CatalogCheck& check) {
    std::string text = "Checked the closures of " + std::to_string(check.Checked) + " modules.\n" +
                       FindingsText(check.Findings);
    return text + (check.Findings.Clean() ? "Every closure is complete.\n" : "Incomplete.\n");
}

// A line per finding: the module it is about, what is wrong, and the details.
std::vector<std::vector<std::string>> CheckRows(const DependencyReport& report) {
    std::vector<std::vector<std::string>> rows;
    for (const MissingModule& m : report.Missing) rows.push_back({ToUtf8(m.RequiredBy), "missing", MissingText(m)});
    for (const TooOldModule& t : report.TooOld) rows.push_back({ToUtf8(t.RequiredBy), "too_old", TooOldText(t)});
    for (const ViolatedExclusion& v : report.Graph.Violations)
        rows.push_back({ToUtf8(v.ExcludedBy->EntryKey), "excluded", ExcludedText(v)});
    for (const auto& cycle : report.Graph.Cycles) rows.push_back({ToUtf8(cycle.front()), "cycle", CycleText(cycle)});
    return rows;
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
    text += FindingsText(report);
    text += "Merge order:\n";
    int position = 0;
    for (const _stringx& key : closure.MergeOrder)
        text += "  " + std::to_string(++position) + ". " + ToUtf8(key) + "\n";
    return text + (report.Clean() ? "Complete.\n" : "Incomplete.\n");
}

// A node's label: its key, or with short labels the ModuleID's name part; then its version.
std::string DotLabel(const std::string& key, const std::string& version, bool shortLabel) {
    std::string name = shortLabel ? key.substr(0, key.find_first_of(".:")) : key;
    return name + (version.empty() ? "" : "\n" + version);
}

// A requirement as an edge: to a dashed red node of its own when missing, red when too old, bold
// blue along a cycle, none when the module requires itself.
std::string DotEdge(const std::string& from, const ResolvedRequirement& r, bool cyclic, bool shortLabels) {
    std::string version = ToUtf8(r.Wanted.Version);
    std::string label = version.empty() ? "" : ">= " + version;
    if (!r.Found) {
        std::string target = ToUtf8(r.Wanted.ModuleId) + ":" + std::to_string(r.Wanted.Language);
        return "  " + Quoted(target) + " [style=dashed, color=red, label=" +
               Quoted(DotLabel(target, "", shortLabels) + "\nmissing") + "];\n  " + Quoted(from) + " -> " +
               Quoted(target) + " [color=red, label=" + Quoted(label) + "];\n";
    }
    std::string to = ToUtf8(r.Found->EntryKey);
    if (to == from) return std::string();
    std::vector<std::string> attributes;
    if (!label.empty() || r.TooOld) attributes.push_back("label=" + Quoted(label + (r.TooOld ? " (too old)" : "")));
    if (r.TooOld) attributes.push_back("color=red");
    if (cyclic) attributes.push_back(r.TooOld ? "style=bold" : "color=blue, style=bold");
    std::string list;
    for (const std::string& a : attributes) list += (list.empty() ? " [" : ", ") + a;
    return "  " + Quoted(from) + " -> " + Quoted(to) + (list.empty() ? "" : list + "]") + ";\n";
}

std::string DependenciesDot(const DependencyReport& report, bool shortLabels) {
    const Closure& closure = report.Graph;
    std::set<std::pair<_stringx, _stringx>> cyclic;
    for (const auto& cycle : closure.Cycles)
        for (size_t i = 0; i < cycle.size(); ++i) cyclic.emplace(cycle[i], cycle[(i + 1) % cycle.size()]);
    std::string dot = "digraph closure {\n  node [shape=box];\n";
    for (const ModuleNode* module : closure.Modules) {
        std::string key = ToUtf8(module->EntryKey);
        dot += "  " + Quoted(key) + " [label=" + Quoted(DotLabel(key, ToUtf8(module->Version), shortLabels)) + "];\n";
        for (const ResolvedRequirement& r : closure.Requirements.at(module->EntryKey))
            dot += DotEdge(key, r, r.Found && cyclic.count({module->EntryKey, r.Found->EntryKey}), shortLabels);
    }
    for (const ViolatedExclusion& v : closure.Violations)
        dot += "  " + Quoted(ToUtf8(v.ExcludedBy->EntryKey)) + " -> " + Quoted(ToUtf8(v.Excluded->EntryKey)) +
               " [style=dotted, color=red, label=\"excludes\"];\n";
    return dot + "}\n";
}
}  // namespace

void Print(const std::string& text) {
    if (g_outputClosed) return;
    if (fwrite(text.data(), 1, text.size(), stdout) != text.size() || fflush(stdout) != 0) g_outputClosed = true;
}

void PrintError(const std::string& text) {
    fwrite(text.data(), 1, text.size(), stderr);
    fflush(stderr);
}

bool OutputOpen() { return !g_outputClosed; }

CatalogClient& RunCatalog() {
    if (!g_catalog) g_catalog = std::make_unique<CatalogClient>();
    return *g_catalog;
}

void ForgetCatalog() { g_catalog.reset(); }

void TellWarnings() {
    if (!g_catalog) return;
    for (const _stringx& warning : g_catalog->Survey().Warnings)
        if (g_told.insert(warning).second) PrintError("mmcat: warning: " + ToUtf8(warning) + "\n");
}

void SetCompactJson(bool compact) { g_compactJson = compact; }

void PrintJsonError(int exitCode, const std::string& message) {
    json document{{"error", {{"code", exitCode}, {"message", message}}}};
    Print(document.dump(g_compactJson ? -1 : 2, ' ', false, json::error_handler_t::replace) + "\n");
}

int ListCommand(const Request& request) {
    json modules = json::array();
    for (const CatalogModule& module : RunCatalog().ReadableModules()) modules.push_back(Summary(module.Summary));
    if (request.Format == OutputFormat::Json) {
        PrintJson(json{{"modules", modules}});
    } else if (request.Format != OutputFormat::Text) {
        Print(ModulesTable(request.Format, modules));
    } else {
        std::string text;
        for (const json& module : modules) text += ListLine(module);
        Print(text + std::to_string(modules.size()) + (modules.size() == 1 ? " module\n" : " modules\n"));
    }
    return modules.empty() ? 1 : 0;
}

int ShowCommand(const Request& request) {
    json details = Details(ReadDetails(ModuleByArgument(RunCatalog(), request.Argument).Get()));
    if (request.Format == OutputFormat::Json)
        PrintJson(details);
    else
        PrintDetails(details);
    return 0;
}

int FindCommand(const Request& request) {
    ModuleLookup lookup = RunCatalog().LookUp(request.Argument);
    json modules = json::array();
    for (const CatalogModule& module : lookup.Matches) modules.push_back(Summary(module.Summary));
    bool answered = lookup.Unique() || (lookup.Wildcard && !modules.empty());
    json result{{"signature", ToUtf8(NormalizedSignature(request.Argument))},
                {"module", lookup.Unique() ? modules[0] : json(nullptr)},
                {"modules", modules}};
    if (request.Format == OutputFormat::Json) {
        PrintJson(result);
    } else if (request.Format != OutputFormat::Text) {
        Print(ModulesTable(request.Format, modules));
    } else if (modules.empty()) {
        Print("No module " + S(result["signature"]) + " in the catalog.\n");
    } else {
        std::string text = answered ? "" : ToUtf8(request.Argument) + " fits " + std::to_string(modules.size()) +
                                               " modules; give more of the ModuleID:\n";
        for (const json& module : modules) text += SummaryText(module);
        Print(text);
    }
    return answered ? 0 : 1;
}

namespace {
// A target path without a folder part: every module that has a file of that name, and the index's word.
int WhichName(const Request& request, const _stringx& name) {
    CatalogClient& catalog = RunCatalog();
    json candidates = json::array();
    for (json& candidate : Candidates(catalog, name)) {
        bool keyFits = request.DirectoryKey.empty() || _wcsicmp(FromUtf8(S(candidate["directory"])).c_str(),
                                                                request.DirectoryKey.c_str()) == 0;
        if (keyFits && (request.Version.empty() || S(candidate["version"]) == ToUtf8(request.Version)))
            candidates.push_back(candidate);
    }
    _stringx indexed = catalog.IndexedSignature(name);
    bool found = !candidates.empty() || !indexed.empty();
    json result{{"path", ToUtf8(name)},       {"directory_key", ToUtf8(request.DirectoryKey)},
                {"version", ToUtf8(request.Version)}, {"found", found},
                {"matched_by", found ? json("name") : json(nullptr)},
                {"module", nullptr},          {"candidates", candidates},
                {"index", indexed.empty() ? json(nullptr) : json(ToUtf8(indexed))}};
    if (request.Format == OutputFormat::Json) {
        PrintJson(result);
    } else if (request.Format != OutputFormat::Text) {
        std::vector<std::vector<std::string>> rows;
        for (const json& c : candidates)
            rows.push_back({S(c["entry_key"]), S(c["target_path"]), S(c["version"]), S(c["directory"])});
        Print(Table(request.Format, {"key", "target_path", "version", "directory"}, rows));
    } else {
        std::string text = candidates.empty() ? "No module has a file named " + ToUtf8(name) + ".\n"
                                              : ToUtf8(name) + " is in " + std::to_string(candidates.size()) +
                                                    (candidates.size() == 1 ? " module:\n" : " modules:\n");
        for (const json& c : candidates) text += "  " + S(c["entry_key"]) + " has " + FileText(c) + "\n";
        text += indexed.empty() ? "The file-to-module index names no module for it.\n"
                                : "The file-to-module index names " + ToUtf8(indexed) + ".\n";
        Print(text);
    }
    return found ? 0 : 1;
}
}  // namespace

int WhichCommand(const Request& request) {
    _stringx target = request.Argument;
    std::wstring slashes = target.str();
    std::replace(slashes.begin(), slashes.end(), L'/', L'\\');
    target = slashes;
    if (target.str().find_first_of(L"\\]>") == std::wstring::npos) return WhichName(request, target);
    CatalogClient& catalog = RunCatalog();
    bool found = false;
    ComPtr<IMergeModule2> module = catalog.FindModuleForFile(target, request.DirectoryKey, request.Version, found);
    _stringx version = request.Version.empty() ? _stringx(L"0") : request.Version;
    json result{{"path", ToUtf8(target)},
                {"directory_key", ToUtf8(request.DirectoryKey)},
                {"version", ToUtf8(version)},
                {"found", static_cast<bool>(module)},
                {"matched_by", module ? json(found ? "files" : "index") : json(nullptr)},
                {"module", module ? Summary(ReadSummary(module.Get())) : json(nullptr)},
                {"candidates", module ? json::array() : Candidates(catalog, target)}};
    if (request.Format == OutputFormat::Json) {
        PrintJson(result);
    } else if (request.Format != OutputFormat::Text) {
        std::vector<std::vector<std::string>> rows;
        if (module)
            rows.push_back({S(result["module"]["entry_key"]), ToUtf8(target), ToUtf8(version),
                            ToUtf8(request.DirectoryKey)});
        Print(Table(request.Format, {"key", "target_path", "version", "directory"}, rows));
    } else if (module) {
        Print(std::string(found ? "Delivered by " : "Named by the file-to-module index: ") +
              SummaryText(result["module"]));
    } else {
        std::string text = "No module delivers " + ToUtf8(target) +
                           (request.DirectoryKey.empty() ? "" : " from directory " + ToUtf8(request.DirectoryKey)) +
                           " in version " + ToUtf8(version) + ".\n";
        if (result["candidates"].empty()) text += "No module has a file of that name.\n";
        else text += "Files of that name:\n";
        for (const json& candidate : result["candidates"])
            text += "  " + S(candidate["entry_key"]) + " has " + FileText(candidate) + "\n";
        Print(text);
    }
    return module ? 0 : 1;
}

int DepsCommand(const Request& request) {
    CatalogClient& catalog = RunCatalog();
    catalog.ForgetNodes();
    DependencyReport report = GatherDependencies(catalog, ModuleByArgument(catalog, request.Argument));
    NoteDamagedCopies(catalog, report);
    if (request.Format == OutputFormat::Json) {
        PrintJson(DependenciesJson(report));
    } else if (request.Format == OutputFormat::Tsv || request.Format == OutputFormat::Keys) {
        std::vector<std::vector<std::string>> rows;
        for (const _stringx& key : report.Graph.MergeOrder) {
            const ModuleNode* node = catalog.NodeByKey(key);
            rows.push_back({ToUtf8(key), node ? ToUtf8(node->Version) : "", node ? std::to_string(node->Language) : ""});
        }
        Print(Table(request.Format, {"key", "version", "language"}, rows));
    } else {
        Print(request.Format == OutputFormat::Dot ? DependenciesDot(report, request.ShortLabels)
                                                  : DependenciesText(report));
    }
    return report.Clean() ? 0 : 1;
}

int RdepsCommand(const Request& request) {
    CatalogClient& catalog = RunCatalog();
    catalog.ForgetNodes();
    const ModuleNode* target = catalog.Node(ModuleByArgument(catalog, request.Argument).Get());
    json modules = json::array();
    for (const CatalogModule& module : catalog.ReadableModules()) {
        if (module.Summary.EntryKey == target->EntryKey) continue;
        DependencyReport report = GatherDependencies(catalog, module.Object);
        for (const ModuleNode* needed : report.Graph.Modules)
            if (needed->EntryKey == target->EntryKey) {
                modules.push_back(Summary(module.Summary));
                break;
            }
    }
    if (request.Format == OutputFormat::Json) {
        PrintJson(json{{"module", ToUtf8(target->EntryKey)}, {"needed_by", modules}});
    } else if (request.Format != OutputFormat::Text) {
        Print(ModulesTable(request.Format, modules));
    } else {
        std::string text = ToUtf8(target->EntryKey) + " is needed by " + std::to_string(modules.size()) +
                           (modules.size() == 1 ? " module" : " modules") + (modules.empty() ? ".\n" : ":\n");
        for (const json& module : modules) text += "  " + ListLine(module);
        Print(text);
    }
    return modules.empty() ? 1 : 0;
}

int CheckCommand(const Request& request) {
    CatalogClient& catalog = RunCatalog();
    catalog.ForgetNodes();
    CatalogCheck check = CheckCatalog(catalog);
    NoteDamagedCopies(catalog, check.Findings);
    if (request.Format == OutputFormat::Json) {
        json document = DependenciesJson(check.Findings);
        document.erase("root");
        document.erase("modules");
        document.erase("merge_order");
        document["modules_checked"] = check.Checked;
        PrintJson(document);
    } else if (request.Format != OutputFormat::Text) {
        Print(Table(request.Format, {"module", "problem", "detail"}, CheckRows(check.Findings)));
    } else {
        Print(CheckText(check));
    }
    return check.Findings.Clean() ? 0 : 1;
}
