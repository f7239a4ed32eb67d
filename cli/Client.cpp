#include "cli/Client.h"

#include <shlwapi.h>
#include <set>
#include "cli/ServerInternals.h"
#include "server/ComException.h"

namespace {
_stringx Text(HRESULT (STDMETHODCALLTYPE IMergeModule2::*getter)(BSTR*), IMergeModule2* module, const wchar_t* what) {
    unique_bstr value;
    Check((module->*getter)(value.put()), what);
    return _stringx(value.get());
}

template <typename Item, typename Get>
_stringx ItemText(Item* item, Get get, const wchar_t* what) {
    unique_bstr value;
    Check((item->*get)(value.put()), what);
    return _stringx(value.get());
}

// Every item of a collection, asked for its own interface, in the collection's order.
template <typename Item, typename Collection, typename Visit>
void ForEachItem(Collection* collection, REFIID iid, Visit visit) {
    LONG count = 0;
    Check(collection->get_Count(&count), L"Count");
    for (LONG i = 1; i <= count; ++i) {
        unique_variant index;
        V_VT(index.get()) = VT_I4;
        V_I4(index.get()) = i;
        ComPtr<IDispatch> element;
        Check(collection->get_Item(index.Get(), element.Put()), L"Item");
        ComPtr<Item> item;
        Check(element.As(iid, item), L"QueryInterface");
        visit(item.Get());
    }
}

bool Flag(HRESULT (STDMETHODCALLTYPE IMergeModule2::*getter)(VARIANT_BOOL*), IMergeModule2* module,
          const wchar_t* what) {
    VARIANT_BOOL value = VARIANT_FALSE;
    Check((module->*getter)(&value), what);
    return value != VARIANT_FALSE;
}

// One of the module's lists, each item read into a record by fill(item, record).
template <typename Item, typename Record, typename Collection, typename Fill>
std::vector<Record> ReadList(IMergeModule2* module, HRESULT (STDMETHODCALLTYPE IMergeModule2::*get)(Collection**),
                             REFIID itemIid, const wchar_t* what, Fill fill) {
    ComPtr<Collection> collection;
    Check((module->*get)(collection.Put()), what);
    std::vector<Record> records;
    ForEachItem<Item>(collection.Get(), itemIid, [&](Item* item) {
        records.emplace_back();
        fill(item, records.back());
    });
    return records;
}

std::vector<Requirement> ReadDependencies(IMergeModule2* module) {
    return ReadList<IDependencyItem, Requirement>(
        module, &IMergeModule2::get_Dependencies, IID_IDependencyItem, L"Dependencies",
        [](IDependencyItem* item, Requirement& requirement) {
            requirement.ModuleId = ItemText(item, &IDependencyItem::get_ModuleID, L"Dependency ModuleID");
            requirement.Version = ItemText(item, &IDependencyItem::get_Version, L"Dependency Version");
            Check(item->get_Language(&requirement.Language), L"Dependency Language");
        });
}

std::vector<Exclusion> ReadExclusions(IMergeModule2* module) {
    return ReadList<IExclusionItem, Exclusion>(
        module, &IMergeModule2::get_Exclusions, IID_IExclusionItem, L"Exclusions",
        [](IExclusionItem* item, Exclusion& exclusion) {
            exclusion.ModuleId = ItemText(item, &IExclusionItem::get_ModuleID, L"Exclusion ModuleID");
            exclusion.MinVersion = ItemText(item, &IExclusionItem::get_MinVersion, L"Exclusion MinVersion");
            exclusion.MaxVersion = ItemText(item, &IExclusionItem::get_MaxVersion, L"Exclusion MaxVersion");
            // The interface gives the language as text; the closure compares numbers.
            exclusion.Language = _wtol(ItemText(item, &IExclusionItem::get_Language, L"Exclusion Language").c_str());
        });
}

template <typename Item, typename Collection>
std::vector<_stringx> ReadNames(IMergeModule2* module, HRESULT (STDMETHODCALLTYPE IMergeModule2::*get)(Collection**),
                                REFIID itemIid, const wchar_t* what) {
    return ReadList<Item, _stringx>(module, get, itemIid, what,
                                    [](Item* item, _stringx& name) { name = ItemText(item, &Item::get_Name, L"Name"); });
}

std::vector<DownloadFileRecord> ReadDownloadFiles(IMergeModule2* module) {
    return ReadList<IDownloadFileItem, DownloadFileRecord>(
        module, &IMergeModule2::get_DownloadFiles, IID_IDownloadFileItem, L"DownloadFiles",
        [](IDownloadFileItem* item, DownloadFileRecord& record) {
            record.Location = ItemText(item, &IDownloadFileItem::get_Location, L"Location");
            record.MediaLocation = ItemText(item, &IDownloadFileItem::get_MediaLocation, L"MediaLocation");
            record.InternetLocation = ItemText(item, &IDownloadFileItem::get_InternetLocation, L"InternetLocation");
            record.CheckSum = ItemText(item, &IDownloadFileItem::get_CheckSum, L"CheckSum");
            Check(item->get_FileSize(&record.Size), L"FileSize");
        });
}

ComPtr<IMergeModule2> AsModule(IDispatch* object) {
    ComPtr<IMergeModule2> module;
    if (object) Check(ComPtr<IDispatch>(object).As(IID_IMergeModule2, module), L"QueryInterface(IMergeModule2)");
    return module;
}

// "Id:1033" into its parts; a language that is not a number, or no ModuleID, is a usage error.
void SplitSignature(const _stringx& text, _stringx& id, LONG& language) {
    size_t colon = text.rfind(L':');
    id = colon == _stringx::npos ? text : text.substr(0, colon);
    language = 0;
    if (colon != _stringx::npos) {
        _stringx number = text.substr(colon + 1);
        if (number.empty() || number.str().find_first_not_of(L"0123456789") != std::wstring::npos ||
            number.length() > 9)
            throw ToolError(_stringx::Formatted(L"%s: the language after the colon must be a number, e.g. %s:1033 "
                                                L"(none or 0: any language)",
                                                text.c_str(), id.c_str()));
        language = _wtol(number.c_str());
    }
    if (id.str().find_first_not_of(L" \t") == std::wstring::npos)
        throw ToolError(L"no ModuleID given: type one, e.g. \"mmcat find zlib\" (its beginning is enough), "
                        L"or \"*\" for every module");
}

ComPtr<IUnknown> CreateByProgId(const wchar_t* progId, REFIID iid) {
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(progId, &clsid);
    if (FAILED(hr))
        throw ToolError(_stringx::Formatted(L"%s is not registered; register the server (regsvr32 CvMMUpdater2.dll)",
                                            progId));
    ComPtr<IUnknown> object;
    Check(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, object.PutVoid()),
          _stringx::Formatted(L"creating %s", progId).c_str());
    return object;
}
}  // namespace

void Check(HRESULT hr, const wchar_t* what) {
    if (SUCCEEDED(hr)) return;
    _stringx description;
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Put()) == S_OK && info) {
        unique_bstr text;
        if (SUCCEEDED(info->GetDescription(text.put()))) description = text.get();
    }
    if (description.empty()) description = SystemMessage(hr);
    while (!description.empty() && (description.ends_with(L'\n') || description.ends_with(L'\r')))
        description.resize(description.length() - 1);
    throw ToolError(_stringx::Formatted(L"%s failed: %s (0x%08lX)", what,
                                        description.empty() ? L"no description" : description.c_str(),
                                        static_cast<unsigned long>(hr)));
}

_stringx LoadedServerVersion() {
    // An object of the server keeps its DLL loaded while the DLL is looked up.
    ComPtr<IUnknown> module = CreateByProgId(L"CvMMUpdater.MergeModule2", IID_IUnknown);
    wchar_t path[MAX_PATH] = {};
    HMODULE server = GetModuleHandleW(L"CvMMUpdater2.dll");
    if (!server || !GetModuleFileNameW(server, path, MAX_PATH)) throw ToolError(L"the server DLL is not loaded");
    std::vector<BYTE> block(GetFileVersionInfoSizeW(path, nullptr));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    if (block.empty() || !GetFileVersionInfoW(path, 0, static_cast<DWORD>(block.size()), block.data()) ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &size) || size < sizeof(*fixed))
        throw ToolError(_stringx::Formatted(L"%s has no version resource", path));
    return _stringx::Formatted(L"%u.%u.%u %s", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                               HIWORD(fixed->dwFileVersionLS), path);
}

_stringx ModuleSummary::Source() const {
    if (!SourceLocation.empty()) return SourceLocation;
    size_t slash = Path.rfind(L'\\');
    if (slash != _stringx::npos) return Path.substr(0, slash);
    return Path.empty() ? _stringx(L"gallery") : Path;
}

ModuleSummary ReadSummary(IMergeModule2* module) {
    ModuleSummary summary;
    summary.EntryKey = Text(&IMergeModule2::get_EntryKey, module, L"EntryKey");
    summary.ModuleId = Text(&IMergeModule2::get_ModuleId, module, L"ModuleId");
    summary.DisplayName = Text(&IMergeModule2::get_DisplayName, module, L"DisplayName");
    summary.Version = Text(&IMergeModule2::get_Version, module, L"Version");
    summary.Path = Text(&IMergeModule2::get_Path, module, L"Path");
    summary.SourceLocation = Text(&IMergeModule2::get_SourceLocation, module, L"SourceLocation");
    Check(module->get_Language(&summary.Language), L"Language");
    summary.Present = Flag(&IMergeModule2::get_IsPresent, module, L"IsPresent");
    summary.NewerVersion = Flag(&IMergeModule2::get_NeedsUpdate, module, L"NeedsUpdate");
    return summary;
}

_stringx ModulePath(IMergeModule2* module) { return Text(&IMergeModule2::get_Path, module, L"Path"); }

std::vector<FileRecord> FileRecordsOf(IMergeModule2* module) {
    return ReadList<IFileItem, FileRecord>(
        module, &IMergeModule2::get_Files, IID_IFileItem, L"Files", [](IFileItem* item, FileRecord& file) {
            file.FileKey = ItemText(item, &IFileItem::get_FileKey, L"FileKey");
            file.StoredName = ItemText(item, &IFileItem::get_FileName, L"FileName");
            // The stored form may be "SHORT~1.TXT|Long Name.txt"; files are searched and delivered by the long one.
            file.FileName = server_internals::LongFileName(file.StoredName);
            file.Directory = ItemText(item, &IFileItem::get_Directory, L"Directory");
            file.Version = ItemText(item, &IFileItem::get_Version, L"Version");
            file.Language = ItemText(item, &IFileItem::get_Language, L"Language");
            Check(item->get_FileSize(&file.Size), L"FileSize");
            Check(item->get_Sequence(&file.Sequence), L"Sequence");
        });
}

void ResolveTargetFolders(const _stringx& path, std::vector<FileRecord>& files) {
    if (path.empty() || files.empty()) return;
    server_internals::ModuleFolders folders(path);
    for (FileRecord& file : files) file.Resolved = folders.Resolve(file.Directory, file.TargetFolder);
}

ModuleDetails ReadDetails(IMergeModule2* module) {
    ModuleDetails details = ReadDetailsButFiles(module);
    details.Files = FileRecordsOf(module);
    ResolveTargetFolders(details.Summary.Path, details.Files);
    return details;
}

ModuleDetails ReadDetailsButFiles(IMergeModule2* module) {
    ModuleDetails details;
    details.Summary = ReadSummary(module);
    details.RevisionNumber = Text(&IMergeModule2::get_RevisionNumber, module, L"RevisionNumber");
    details.Subject = Text(&IMergeModule2::get_Subject, module, L"Subject");
    details.Author = Text(&IMergeModule2::get_Author, module, L"Author");
    details.Comments = Text(&IMergeModule2::get_Comments, module, L"Comments");
    unique_bstr resolvedPath;
    Check(module->get_ResolvedPath(resolvedPath.put()), L"ResolvedPath");
    details.ResolvedPath = resolvedPath.get();
    details.Dependencies = ReadDependencies(module);
    details.Exclusions = ReadExclusions(module);
    details.Dialogs = ReadNames<IDialogItem>(module, &IMergeModule2::get_Dialogs, IID_IDialogItem, L"Dialogs");
    details.CustomActions =
        ReadNames<ICustomActionItem>(module, &IMergeModule2::get_CustomActions, IID_ICustomActionItem, L"CustomActions");
    details.DownloadFiles = ReadDownloadFiles(module);
    return details;
}

ComPtr<IMergeModule2> OpenModuleFile(const _stringx& path) {
    ComPtr<IMergeModule2> module;
    Check(CreateByProgId(L"CvMMUpdater.MergeModule2", IID_IMergeModule2).As(IID_IMergeModule2, module),
          L"QueryInterface(IMergeModule2)");
    Check(module->Open(_stringx(path).AsBSTR()), L"Open");
    return module;
}

_stringx NormalizedSignature(const _stringx& signature) {
    return signature.find(L':') == _stringx::npos ? signature + L":0" : signature;
}

CatalogClient::CatalogClient() {
    Check(CreateByProgId(L"CvMMUpdater.MMCatalog", IID_IMMCatalog).As(IID_IMMCatalog, catalog_),
          L"QueryInterface(IMMCatalog)");
}

std::vector<ComPtr<IMergeModule2>> CatalogClient::Modules() {
    ComPtr<IDispatch> object;
    Check(catalog_->GetModules(object.Put()), L"GetModules");
    ComPtr<IModuleCollection> collection;
    Check(object.As(IID_IModuleCollection, collection), L"QueryInterface(IModuleCollection)");
    std::vector<ComPtr<IMergeModule2>> modules;
    ForEachItem<IMergeModule2>(collection.Get(), IID_IMergeModule2,
                               [&](IMergeModule2* module) { modules.emplace_back(module); });
    return modules;
}

ComPtr<IMergeModule2> CatalogClient::FindModule(const _stringx& signature) {
    ComPtr<IDispatch> found;
    Check(catalog_->FindModule(NormalizedSignature(signature).AsBSTR(), 0, found.Put()), L"FindModule");
    return AsModule(found.Get());
}

ComPtr<IMergeModule2> CatalogClient::FindModuleForFile(const _stringx& path, const _stringx& directoryKey,
                                                       const _stringx& version, bool& found) {
    ComPtr<IMergeModule2> module;
    VARIANT_BOOL matched = VARIANT_FALSE;
    Check(catalog_->FindModuleForFileEx(_stringx(path).AsBSTR(), _stringx(directoryKey).AsBSTR(),
                                        _stringx(version).AsBSTR(), module.Put(), &matched),
          L"FindModuleForFileEx");
    found = matched != VARIANT_FALSE;
    return module;
}

const std::vector<CatalogModule>& CatalogClient::ReadableModules() {
    if (readable_) return *readable_;
    readable_ = std::make_unique<std::vector<CatalogModule>>();
    for (ComPtr<IMergeModule2>& module : Modules()) {
        ModuleSummary summary = ReadSummary(module.Get());
        if (!summary.ModuleId.empty()) readable_->push_back({module, summary});
    }
    return *readable_;
}

ModuleLookup CatalogClient::LookUp(const _stringx& text) {
    _stringx id;
    LONG language = 0;
    SplitSignature(text, id, language);
    ModuleLookup lookup;
    lookup.Wildcard = id.str().find_first_of(L"*?") != std::wstring::npos;
    if (!lookup.Wildcard) {
        if (ComPtr<IMergeModule2> exact = FindModule(id + _stringx::Formatted(L":%ld", static_cast<long>(language)))) {
            lookup.Matches.push_back({exact, ReadSummary(exact.Get())});
            return lookup;
        }
    }
    auto collect = [&](auto fits) {
        for (const CatalogModule& module : ReadableModules())
            if ((language == 0 || module.Summary.Language == language) && fits(module.Summary.ModuleId))
                lookup.Matches.push_back(module);
    };
    if (lookup.Wildcard) {
        collect([&](const _stringx& moduleId) { return PathMatchSpecW(moduleId.c_str(), id.c_str()) != FALSE; });
        return lookup;
    }
    collect([&](const _stringx& moduleId) { return _wcsicmp(moduleId.c_str(), id.c_str()) == 0; });
    if (lookup.Matches.empty())
        collect([&](const _stringx& moduleId) { return _wcsnicmp(moduleId.c_str(), id.c_str(), id.length()) == 0; });
    std::set<_stringx> ids;
    for (const CatalogModule& module : lookup.Matches) ids.insert(module.Summary.ModuleId);
    // One ModuleID in several languages: the catalog picks among them as it does for the exact form.
    if (ids.size() == 1) {
        ComPtr<IMergeModule2> picked =
            FindModule(*ids.begin() + _stringx::Formatted(L":%ld", static_cast<long>(language)));
        lookup.Matches.clear();
        if (picked) lookup.Matches.push_back({picked, ReadSummary(picked.Get())});
    }
    return lookup;
}

_stringx CatalogClient::IndexedSignature(const _stringx& fileName) {
    unique_bstr signature;
    Check(catalog_->GetModuleForFile(_stringx(fileName).AsBSTR(), signature.put()), L"GetModuleForFile");
    return _stringx(signature.get());
}

const SetupSurvey& CatalogClient::Survey() {
    if (survey_) return *survey_;
    survey_ = std::make_unique<SetupSurvey>();
    SetupSurvey& survey = *survey_;
    std::set<_stringx> listed, unreadable;  // lower-cased paths
    std::map<_stringx, _stringx> pathOfKey;
    for (ComPtr<IMergeModule2>& module : Modules()) {
        ModuleSummary summary = ReadSummary(module.Get());
        if (summary.Path.empty()) continue;
        listed.insert(summary.Path.Lower());
        if (summary.ModuleId.empty())
            survey.UnreadableFiles.push_back(summary.Path);
        else
            pathOfKey.emplace(summary.EntryKey, summary.Path);
    }
    std::vector<_stringx> hidden;
    auto consider = [&](const _stringx& path) {
        if (!listed.insert(path.Lower()).second) return;
        ModuleSummary summary;
        try {
            summary = ReadSummary(OpenModuleFile(path).Get());
        } catch (const ToolError&) {
        }
        auto shown = pathOfKey.find(summary.EntryKey);
        if (summary.ModuleId.empty() || shown == pathOfKey.end())
            survey.UnreadableFiles.push_back(path);
        else
            hidden.push_back(_stringx::Formatted(L"%s is hidden by %s, which has the same key %s", path.c_str(),
                                                 shown->second.c_str(), summary.EntryKey.c_str()));
    };
    auto missingFolder = [&](const _stringx& path, const wchar_t* what) {
        bool quoted = path.find(L'"') != _stringx::npos;
        survey.Warnings.push_back(_stringx::Formatted(
            L"the %s %s does not exist%s", what, path.c_str(),
            quoted ? L" (quotes are taken as part of the name: write the folder without them)" : L""));
    };
    std::vector<_stringx> folders, missing;
    try {
        server_internals::SearchPathFolders(folders, missing);
    } catch (const CComException& e) {
        // The catalog answered without it; the survey says what it could not look at.
        survey.Warnings.push_back(L"the search path could not be read: " + e.Error().Description());
    }
    for (const _stringx& path : missing) missingFolder(path, L"search path's folder");
    // Repositories: the locations the catalog hands out are the named ones.
    ComPtr<IDispatch> object;
    Check(catalog_->GetSearchLocations(object.Put()), L"GetSearchLocations");
    ComPtr<ISearchLocationCollection> locations;
    Check(object.As(IID_ISearchLocationCollection, locations), L"QueryInterface(ISearchLocationCollection)");
    ForEachItem<ISearchLocationItem>(locations.Get(), IID_ISearchLocationItem, [&](ISearchLocationItem* location) {
        unique_bstr folder;
        Check(location->get_Folder(folder.put()), L"Folder");
        if (PathIsDirectoryW(folder.get()))
            folders.push_back(folder.get());
        else
            missingFolder(folder.get(), L"repository folder");
    });
    for (const _stringx& folder : folders)
        for (const _stringx& file : server_internals::ModuleFilesIn(folder)) consider(file);
    for (const _stringx& path : survey.UnreadableFiles)
        survey.Warnings.push_back(_stringx::Formatted(
            L"%s does not read as a merge module (damaged, empty or another kind of file): left out", path.c_str()));
    survey.Warnings.insert(survey.Warnings.end(), hidden.begin(), hidden.end());
    return survey;
}

const ModuleNode* CatalogClient::Node(IMergeModule2* module) {
    _stringx key = Text(&IMergeModule2::get_EntryKey, module, L"EntryKey");
    auto known = nodes_.find(key);
    if (known != nodes_.end()) return known->second.get();
    auto node = std::make_unique<ModuleNode>();
    node->EntryKey = key;
    node->ModuleId = Text(&IMergeModule2::get_ModuleId, module, L"ModuleId");
    node->Version = Text(&IMergeModule2::get_Version, module, L"Version");
    Check(module->get_Language(&node->Language), L"Language");
    node->Requires = ReadDependencies(module);
    node->Excludes = ReadExclusions(module);
    return nodes_.emplace(key, std::move(node)).first->second.get();
}

const ModuleNode* CatalogClient::Resolve(const _stringx& moduleId, LONG language) {
    ComPtr<IMergeModule2> module = FindModule(moduleId + _stringx::Formatted(L":%ld", static_cast<long>(language)));
    return module ? Node(module.Get()) : nullptr;
}

const ModuleNode* CatalogClient::NodeByKey(const _stringx& entryKey) const {
    auto known = nodes_.find(entryKey);
    return known == nodes_.end() ? nullptr : known->second.get();
}
