#include "cli/Report.h"

#include <windows.h>
#include <map>
#include <nlohmann/json.hpp>
#include "cli/Conflicts.h"
#include "cli/ModuleSet.h"
#include "server/ComException.h"

using nlohmann::json;

namespace {
std::string Resource(const wchar_t* name) {
    HRSRC found = FindResourceW(nullptr, name, MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
    const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (!bytes) throw ToolError(_stringx::Formatted(L"mmcat.exe lacks its report resource %s", name));
    return std::string(bytes, SizeofResource(nullptr, found));
}

// "IconTheme.0A1B..." gives "IconTheme": the suffix only tells modules of one name apart.
std::string ShortName(const _stringx& moduleId) {
    size_t dot = moduleId.rfind(L'.');
    return ToUtf8(dot == _stringx::npos || dot == 0 ? moduleId : moduleId.substr(0, dot));
}

struct PageData {
    std::map<_stringx, size_t> index;  // EntryKey to the module's position
    std::map<_stringx, size_t> missing;  // "ModuleID:language" to its position
    json Missing = json::array();
};

json Requirements(const ModuleNode& node, const Closure& graph, PageData& page) {
    json list = json::array();
    size_t self = page.index.at(node.EntryKey);
    for (const ResolvedRequirement& r : graph.Requirements.at(node.EntryKey)) {
        json item{{"id", ToUtf8(r.Wanted.ModuleId)}, {"language", r.Wanted.Language}, {"version", ToUtf8(r.Wanted.Version)},
                  {"too_old", r.TooOld}, {"to", nullptr}, {"missing", nullptr}};
        if (r.Found) {
            item["to"] = page.index.at(r.Found->EntryKey);
        } else {
            _stringx key = r.Wanted.ModuleId + _stringx::Formatted(L":%ld", static_cast<long>(r.Wanted.Language));
            auto added = page.missing.emplace(key, page.missing.size());
            if (added.second)
                page.Missing.push_back(json{{"id", ToUtf8(r.Wanted.ModuleId)}, {"language", r.Wanted.Language}, {"required_by", json::array()}});
            page.Missing[added.first->second]["required_by"].push_back(self);
            item["missing"] = added.first->second;
        }
        list.push_back(item);
    }
    return list;
}

json ModuleJson(const ModuleDetails& details, const ModuleNode& node, const Closure& graph, PageData& page) {
    const ModuleSummary& s = details.Summary;
    json excludes = json::array(), files = json::array();
    for (const Exclusion& x : node.Excludes)
        excludes.push_back(json{{"id", ToUtf8(x.ModuleId)}, {"language", x.Language}, {"min", ToUtf8(x.MinVersion)},
                                {"max", ToUtf8(x.MaxVersion)}});
    for (const FileRecord& f : details.Files)
        files.push_back(json::array({ToUtf8(f.FileName), f.Resolved ? json(ToUtf8(f.TargetFolder)) : json(nullptr),
                                     ToUtf8(f.Directory), ToUtf8(f.Version), f.Size}));
    return json{{"key", ToUtf8(s.EntryKey)}, {"id", ToUtf8(s.ModuleId)}, {"name", ShortName(s.ModuleId)},
                {"language", s.Language}, {"version", ToUtf8(s.Version)}, {"display", ToUtf8(s.DisplayName)},
                {"subject", ToUtf8(details.Subject)}, {"author", ToUtf8(details.Author)},
                {"comments", ToUtf8(details.Comments)}, {"path", ToUtf8(s.Path)}, {"source", ToUtf8(s.Source())},
                {"present", s.Present}, {"package", ToUtf8(details.RevisionNumber)},
                {"requires", Requirements(node, graph, page)}, {"excludes", excludes}, {"files", files}};
}

json SharedJson(const std::vector<SharedFile>& list, const PageData& page) {
    json groups = json::array();
    for (const SharedFile& shared : list) {
        json deliveries = json::array();
        for (const Delivery& d : shared.Deliveries)
            deliveries.push_back(json{{"module", page.index.at(d.Module->EntryKey)}, {"version", ToUtf8(d.File->Version)},
                                      {"size", d.File->Size}, {"directory", ToUtf8(d.File->Directory)}});
        groups.push_back(json{{"target", ToUtf8(shared.TargetPath)}, {"modules", deliveries}});
    }
    return groups;
}

json GatherPage(ModuleSet& set) {
    PageData page;
    const Closure& graph = set.Graph;
    for (const ModuleNode* node : graph.Modules) page.index.emplace(node->EntryKey, page.index.size());
    json modules = json::array(), unreadable = json::array();
    std::vector<ModuleFiles> files = ReadSetFiles(set);
    for (size_t i = 0; i < set.Modules.size(); ++i) {
        ModuleDetails details = ReadDetailsButFiles(set.Modules[i].Get());
        details.Files = files[i].Files;
        modules.push_back(ModuleJson(details, *graph.Modules[i], graph, page));
        // The catalog keeps a file that does not open as a module without values.
        if (details.Summary.ModuleId.empty()) unreadable.push_back(i);
    }
    ConflictAnswer answer = FindConflicts(files);
    json excluded = json::array(), cycles = json::array(), unresolved = json::array(), scope = json::array();
    for (const ViolatedExclusion& v : graph.Violations)
        excluded.push_back(json{{"by", page.index.at(v.ExcludedBy->EntryKey)}, {"target", page.index.at(v.Excluded->EntryKey)},
                                {"min", ToUtf8(v.Rule.MinVersion)}, {"max", ToUtf8(v.Rule.MaxVersion)}});
    for (const auto& cycle : graph.Cycles) {
        json members = json::array();
        for (const _stringx& key : cycle) members.push_back(page.index.at(key));
        cycles.push_back(members);
    }
    for (const Delivery& d : answer.Unresolved)
        unresolved.push_back(json{{"module", page.index.at(d.Module->EntryKey)}, {"name", ToUtf8(d.File->FileName)},
                                  {"directory", ToUtf8(d.File->Directory)}});
    if (!set.WholeCatalog)
        for (const ModuleNode* root : set.Roots) scope.push_back(ToUtf8(root->EntryKey));
    return json{{"scope", scope}, {"modules", modules}, {"missing", page.Missing}, {"excluded", excluded},
                {"cycles", cycles}, {"conflicts", SharedJson(answer.Conflicts, page)},
                {"duplicates", SharedJson(answer.Duplicates, page)}, {"unresolved", unresolved}, {"unreadable", unreadable}};
}

// The template with each /*@NAME@*/ marker replaced once; markers inside the inserted parts stay as they are.
std::string FillTemplate(const std::string& page, const std::vector<std::pair<std::string, std::string>>& parts) {
    std::string out;
    size_t from = 0;
    for (const auto& part : parts) {
        size_t at = page.find("/*@" + part.first + "@*/", from);
        if (at == std::string::npos) throw ToolError(L"the report template lacks a marker");
        out += page.substr(from, at - from) + part.second;
        from = at + part.first.size() + 6;
    }
    return out + page.substr(from);
}

// Written beside the target and moved over it, so that a failure leaves any earlier report whole.
void WriteReport(const _stringx& path, const std::string& bytes) {
    _stringx partial = path + L".partial";
    HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw ToolError(_stringx::Formatted(L"cannot write %s: %s", path.c_str(), SystemMessage(HRESULT_FROM_WIN32(GetLastError())).c_str()));
    DWORD written = 0;
    bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size();
    DWORD error = GetLastError();
    CloseHandle(file);
    if (!ok || !MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        if (ok) error = GetLastError();
        DeleteFileW(partial.c_str());
        throw ToolError(_stringx::Formatted(L"cannot write %s: %s", path.c_str(), SystemMessage(HRESULT_FROM_WIN32(error)).c_str()));
    }
}
}  // namespace

int ReportCommand(const Request& request) {
    const _stringx& output = request.OutputPath;
    if (output.length() >= 4 && _wcsicmp(output.c_str() + output.length() - 4, L".msm") == 0)
        throw ToolError(_stringx::Formatted(L"%s: a report is not written over a merge module", output.c_str()));
    std::unique_ptr<ModuleSet> set = GatherModuleSet(request.Arguments);
    std::string data = GatherPage(*set).dump();
    // Inside a script element only "</script" could end the data early; no "<" is left to do so.
    std::string escaped;
    escaped.reserve(data.size());
    for (char c : data) {
        if (c == '<')
            escaped += "\\u003c";
        else
            escaped += c;
    }
    std::string page = FillTemplate(Resource(L"REPORT_TEMPLATE"), {{"STYLE", Resource(L"REPORT_STYLE")},
                                                                   {"DATA", escaped},
                                                                   {"LIBRARY", Resource(L"REPORT_LIBRARY")},
                                                                   {"PAGE", Resource(L"REPORT_PAGE")}});
    WriteReport(output, page);
    Print(ToUtf8(output) + ": " + std::to_string(set->Modules.size()) + " modules, " + std::to_string(page.size()) +
          " bytes\n");
    return 0;
}
