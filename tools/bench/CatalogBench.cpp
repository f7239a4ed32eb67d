// The catalog at scale, over a corpus that make_corpus wrote: each figure beside an anchor measured
// in the same run, the median of the runs, runs interleaved with their anchors.
//
//   catalog_bench <corpus folder> [runs, default 5] [every Nth file searched, default 1] [soak cycles, default 0]
//
// Figures: the first build of a fresh catalog through COM against a plain msi.dll loop over the same
// files; the file search (first and warm, p50 and p99) over the files and a set of misses, through
// both front ends and both switches, against a bare listing of the search folders; FindModule with
// and without a language; Refresh with nothing changed against the same listing; the working set
// after the build and after the lists are read; optionally the working set over cycles of touching
// a module and reading the catalog. The answers of FindModuleForFileEx are checked against the
// manifest. tools/bench.sh runs it over the corpora it generates.
#include <windows.h>
#include <msiquery.h>
#include <psapi.h>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>
#include "CvMMUpdater2.h"
#include "cvmmupdater.h"
#include "base/Handles.h"
#include "tests/support/CorpusManifest.h"
#include "tools/bench/Clock.h"

namespace {

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t at = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

size_t WorkingSetKb() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return counters.WorkingSetSize / 1024;
}

std::wstring Text(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }

// What the anchor of a first build does per module: the signature row, then the summary by path.
void ReadPlainly(const std::wstring& path) {
    MSIHANDLE database = 0, view = 0, record = 0, summary = 0;
    if (MsiOpenDatabaseW(path.c_str(), MSIDBOPEN_READONLY, &database) == ERROR_SUCCESS) {
        if (MsiDatabaseOpenViewW(database, L"SELECT * FROM `ModuleSignature`", &view) == ERROR_SUCCESS) {
            if (MsiViewExecute(view, 0) == ERROR_SUCCESS && MsiViewFetch(view, &record) == ERROR_SUCCESS) {
                wchar_t text[2048];
                DWORD size = 2048;
                MsiRecordGetStringW(record, 1, text, &size);
                MsiRecordGetInteger(record, 2);
                size = 2048;
                MsiRecordGetStringW(record, 3, text, &size);
                MsiCloseHandle(record);
            }
            MsiViewClose(view);
            MsiCloseHandle(view);
        }
        MsiCloseHandle(database);
    }
    if (MsiGetSummaryInformationW(0, path.c_str(), 0, &summary) == ERROR_SUCCESS) {
        for (UINT property : {4u, 6u, 9u, 3u}) {
            UINT type = 0;
            INT number = 0;
            FILETIME time{};
            wchar_t text[260];
            DWORD size = 260;
            MsiSummaryInfoGetPropertyW(summary, property, &type, &number, &time, text, &size);
        }
        MsiCloseHandle(summary);
    }
}

// A bare listing of the folders: every entry's name and time, as a scan needs at least.
size_t ListFolders(const std::vector<std::wstring>& folders) {
    size_t count = 0;
    for (const auto& folder : folders) {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) continue;
        do ++count;
        while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return count;
}

void Check(HRESULT hr, const char* what) {
    if (FAILED(hr)) {
        fprintf(stderr, "catalog_bench: %s failed (0x%08lX)\n", what, static_cast<unsigned long>(hr));
        exit(1);
    }
}

// A fresh catalog with its module list built; the caller has released every other catalog, so the
// process-wide location list is built anew too.
ComPtr<IMMCatalog> BuildCatalog() {
    ComPtr<IMMCatalog> catalog;
    Check(CoCreateInstance(CLSID_MMCatalog, nullptr, CLSCTX_INPROC_SERVER, IID_IMMCatalog, catalog.PutVoid()),
          "creating the catalog");
    ComPtr<IDispatch> modules;
    ComPtr<IModuleCollection> collection;
    Check(catalog->GetModules(modules.Put()), "GetModules");
    Check(modules.As(IID_IModuleCollection, collection), "the module collection");
    LONG count = 0;
    Check(collection->get_Count(&count), "Count");
    return catalog;
}

struct Search {
    std::wstring path, key, version;
    std::wstring expected;  // module path; empty: no module
    bool miss;
};

// One way of asking: the front end, the settings file that holds its switches, whether the key is passed.
struct FrontEnd {
    const char* name;
    bool extended;
    std::wstring settings;  // AppServices.ini with the switches of this row
    bool withKey;
    bool checked;  // answers compared with the manifest
};

struct Figures {
    std::vector<double> plainLoop, build, listing, firstCall, refresh, findWith, findWithout;
    std::vector<std::vector<double>> firstP50, firstP99, warmP50, warmP99;  // per front end
    size_t wsBefore = 0, wsBuilt = 0, wsLists = 0;
    size_t mismatches = 0, compared = 0;
};

void Print(const char* what, double value, const char* unit, const char* anchorName, double anchor) {
    if (anchor > 0)
        printf("%-52s %11.3f %-2s | %-18s %11.3f %-2s | %9.3fx\n", what, value, unit, anchorName, anchor, unit,
               value / anchor);
    else
        printf("%-52s %11.3f %-2s\n", what, value, unit);
}

// The switches of the first front end come from copies of the corpus's settings file.
std::vector<FrontEnd> MakeFrontEnds(const std::wstring& corpus) {
    const std::wstring ini = corpus + L"\\AppServices.ini";
    auto variant = [&](const wchar_t* name, const wchar_t* folder, const wchar_t* key) {
        std::wstring path = corpus + L"\\AppServices-" + name + L".ini";
        CopyFileW(ini.c_str(), path.c_str(), FALSE);
        WritePrivateProfileStringW(L"MergeModules", L"MatchResolvedFolder", folder, path.c_str());
        WritePrivateProfileStringW(L"MergeModules", L"MatchDirectoryKey", key, path.c_str());
        return path;
    };
    return {
        {"FindModuleForFileEx, directory key", true, ini, true, true},
        {"FindModuleForFileEx, no key", true, ini, false, true},
        {"FindModuleForFile, resolved folder", false, variant(L"folder", L"1", L"0"), false, false},
        {"FindModuleForFile, directory key", false, variant(L"key", L"0", L"1"), true, false},
    };
}

std::vector<Search> MakeSearches(const CorpusManifest& manifest, size_t step) {
    // The first search is a name no module delivers: it reads every module's file list.
    std::vector<Search> searches = {{L"[SystemFolder]delivered-by-no-module.dll", L"", L"", L"", true}};
    // Every Nth file, the offset turning within each step so that every position of a module's
    // files is sampled (a module's files come in a fixed order in the manifest).
    for (size_t k = 0, i = 0; (i = k * step + k % step) < manifest.files.size(); ++k) {
        const CorpusFile& file = manifest.files[i];
        searches.push_back({file.TargetPath(), file.directoryKey, file.version, manifest.ExpectedModule(file, true), false});
        // Misses: a name no module delivers in a folder that exists, and a wrong version.
        if (k % 10 == 0) {
            searches.push_back({file.folder + L"\\missing-" + file.name, file.directoryKey, L"", L"", true});
            searches.push_back({file.TargetPath(), file.directoryKey, L"0.0.0.1", L"", true});
        }
    }
    return searches;
}

// One search, timed; on a checked front end its answer is compared with the manifest.
double TimeSearch(IMMCatalog* catalog, const FrontEnd& frontEnd, const Search& search, bool check, Figures& figures) {
    BSTR path = SysAllocString(search.path.c_str());
    BSTR key = SysAllocString(frontEnd.withKey ? search.key.c_str() : L"");
    BSTR version = SysAllocString(search.version.c_str());
    IMergeModule2* module = nullptr;
    VARIANT_BOOL found = VARIANT_FALSE;
    double start = Now();
    HRESULT hr = frontEnd.extended ? catalog->FindModuleForFileEx(path, key, version, &module, &found)
                                   : catalog->FindModuleForFile(path, key, version, &module, &found);
    double took = Now() - start;
    Check(hr, "the file search");
    if (check && frontEnd.checked) {
        std::wstring modulePath;
        BSTR text = nullptr;
        if (module && SUCCEEDED(module->get_Path(&text))) modulePath = Text(text);
        SysFreeString(text);
        ++figures.compared;
        if (modulePath != search.expected || (found != VARIANT_FALSE) != !search.expected.empty()) {
            if (++figures.mismatches <= 5)
                printf("MISMATCH %s: %ls key %ls version %ls: module %ls found %d, expected %ls\n", frontEnd.name,
                       search.path.c_str(), frontEnd.withKey ? search.key.c_str() : L"", search.version.c_str(),
                       modulePath.c_str(), found ? 1 : 0, search.expected.c_str());
        }
    }
    if (module) module->Release();
    SysFreeString(path);
    SysFreeString(key);
    SysFreeString(version);
    return took;
}

// Refresh beside a bare listing, and FindModule over every module by its language and by language 0.
void MeasureRefreshAndFind(IMMCatalog* catalog, const CorpusManifest& manifest,
                           const std::vector<std::wstring>& folders, Figures& figures) {
    double start = Now();
    ListFolders(folders);
    figures.listing.push_back(Now() - start);
    LONG result = 0;
    start = Now();
    Check(catalog->Refresh(&result), "Refresh");
    figures.refresh.push_back(Now() - start);

    std::vector<double> with, without;
    for (const auto& module : manifest.modules) {
        for (bool anyLanguage : {false, true}) {
            BSTR signature = SysAllocString((module.moduleId + L":" + (anyLanguage ? L"0" : module.language)).c_str());
            IDispatch* found = nullptr;
            start = Now();
            Check(catalog->FindModule(signature, 0, &found), "FindModule");
            (anyLanguage ? without : with).push_back(Now() - start);
            if (found) found->Release();
            SysFreeString(signature);
        }
    }
    figures.findWith.push_back(Percentile(with, 0.5));
    figures.findWithout.push_back(Percentile(without, 0.5));
}

// One run: the plain loop, then each front end on a fresh catalog (the first also the build,
// Refresh and FindModule figures).
void MeasureRun(int run, const CorpusManifest& manifest, const std::vector<FrontEnd>& frontEnds,
                const std::vector<Search>& searches, const std::vector<std::wstring>& folders, Figures& figures) {
    double start = Now();
    for (const auto& module : manifest.modules) ReadPlainly(module.path);
    figures.plainLoop.push_back(Now() - start);

    for (size_t f = 0; f < frontEnds.size(); ++f) {
        const FrontEnd& frontEnd = frontEnds[f];
        SetEnvironmentVariableW(L"CVAPPSERVICES_INI", frontEnd.settings.c_str());
        start = Now();
        ComPtr<IMMCatalog> catalog = BuildCatalog();
        double built = Now() - start;
        if (f == 0) {
            figures.build.push_back(built);
            if (run == 0) figures.wsBuilt = WorkingSetKb();
        }
        std::vector<double> first, warm;
        for (int pass = 0; pass < 2; ++pass)
            for (const Search& search : searches)
                (pass ? warm : first).push_back(TimeSearch(catalog.Get(), frontEnd, search, pass == 0 && run == 0, figures));
        if (f == 0) {
            figures.firstCall.push_back(first.empty() ? 0 : first.front());
            if (run == 0) figures.wsLists = WorkingSetKb();
        }
        figures.firstP50[f].push_back(Percentile(first, 0.5));
        figures.firstP99[f].push_back(Percentile(first, 0.99));
        figures.warmP50[f].push_back(Percentile(warm, 0.5));
        figures.warmP99[f].push_back(Percentile(warm, 0.99));
        if (f == 0) MeasureRefreshAndFind(catalog.Get(), manifest, folders, figures);
    }
}

// ---------------------------------------------------------------- the module cache

struct WarmFigures {
    std::vector<double> coldOff, coldOn, coldSearch, coldOnSearch, empty, listing, warm, warmSearch;
};

std::wstring CacheFolder(const std::wstring& corpus) { return corpus + L"\\profile\\CvMMUpdater2\\Cache"; }

// Every cache file of the corpus's private profile: deleted, or their bytes counted.
ULONGLONG CacheFiles(const std::wstring& corpus, bool remove) {
    ULONGLONG bytes = 0;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((CacheFolder(corpus) + L"\\*.cache").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    do {
        bytes += static_cast<ULONGLONG>(found.nFileSizeHigh) << 32 | found.nFileSizeLow;
        if (remove) DeleteFileW((CacheFolder(corpus) + L"\\" + found.cFileName).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return bytes;
}

// A catalog over an empty search path (the gallery and repositories as they are): what creating
// any catalog costs.
std::wstring MakeEmptyPathSettings(const std::wstring& corpus) {
    std::wstring path = corpus + L"\\AppServices-empty.ini";
    CopyFileW((corpus + L"\\AppServices.ini").c_str(), path.c_str(), FALSE);
    WritePrivateProfileStringW(L"MergeModules", L"SearchPath", L"", path.c_str());
    WritePrivateProfileStringW(L"Folders", L"SearchPath2", L"", path.c_str());
    return path;
}

// One run, each catalog the only one of the process (as in a new process with the server loaded):
// the cold build with the cache off and with it being written, each with its first search (which
// reads every list, and writes them to the cache); a catalog over an empty search path; then a bare listing and the warm start
// over the cache just written, with its first search. Without `cold`, the warm start alone, over the
// cache an earlier run wrote.
void MeasureWarmStart(const std::wstring& corpus, const std::wstring& settings, const std::wstring& emptyPath,
                      const FrontEnd& frontEnd, const Search& firstSearch, const std::vector<std::wstring>& folders,
                      bool cold, WarmFigures& w, Figures& scratch) {
    auto timed = [&](std::vector<double>& build, std::vector<double>* search) {
        double start = Now();
        ComPtr<IMMCatalog> catalog = BuildCatalog();
        build.push_back(Now() - start);
        if (search) search->push_back(TimeSearch(catalog.Get(), frontEnd, firstSearch, false, scratch));
    };
    SetEnvironmentVariableW(L"CVAPPSERVICES_INI", settings.c_str());
    if (cold) {
        CacheFiles(corpus, true);
        SetEnvironmentVariableW(L"CVMMUPDATER_CACHE", L"0");
        timed(w.coldOff, &w.coldSearch);
    }
    SetEnvironmentVariableW(L"CVMMUPDATER_CACHE", L"1");
    if (cold) timed(w.coldOn, &w.coldOnSearch);
    SetEnvironmentVariableW(L"CVAPPSERVICES_INI", emptyPath.c_str());
    timed(w.empty, nullptr);
    SetEnvironmentVariableW(L"CVAPPSERVICES_INI", settings.c_str());
    double start = Now();
    ListFolders(folders);
    w.listing.push_back(Now() - start);
    timed(w.warm, &w.warmSearch);
    SetEnvironmentVariableW(L"CVMMUPDATER_CACHE", L"0");
}

VARIANT Property(IDispatch* object, const wchar_t* name, const VARIANT* argument = nullptr) {
    DISPID id = 0;
    LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
    VARIANT result;
    VariantInit(&result);
    DISPPARAMS parameters{const_cast<VARIANT*>(argument), nullptr, argument ? 1u : 0u, 0};
    if (SUCCEEDED(object->GetIDsOfNames(IID_NULL, names, 1, 0, &id)))
        object->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &parameters, &result, nullptr, nullptr);
    return result;
}

// What the cache holds as plain fields: each module's name, stamp (16 bytes), header texts (UTF-16)
// and language; each file record's texts, size and sequence; each directory key with its folder.
void FieldBytes(const CorpusManifest& manifest, ULONGLONG& moduleBytes, ULONGLONG& fileBytes, size_t& files) {
    moduleBytes = fileBytes = 0;
    files = 0;
    ComPtr<IMMCatalog> catalog = BuildCatalog();
    ComPtr<IDispatch> modules;
    Check(catalog->GetModules(modules.Put()), "GetModules");
    VARIANT count = Property(modules.Get(), L"Count");
    for (LONG i = 1; i <= V_I4(&count); ++i) {
        VARIANT index;
        V_VT(&index) = VT_I4;
        V_I4(&index) = i;
        VARIANT item = Property(modules.Get(), L"Item", &index);
        IDispatch* module = V_DISPATCH(&item);
        VARIANT path = Property(module, L"Path");
        if (V_VT(&path) == VT_BSTR && SysStringLen(V_BSTR(&path)) == 0) {  // a gallery entry: not cached
            VariantClear(&item);
            continue;
        }
        std::wstring name = Text(V_BSTR(&path));
        moduleBytes += 16 + 4 + 2 * (name.size() - name.rfind(L'\\') - 1);
        VariantClear(&path);
        for (const wchar_t* text : {L"ModuleId", L"Version", L"Author", L"Comments", L"RevisionNumber", L"Subject"}) {
            VARIANT value = Property(module, text);
            if (V_VT(&value) == VT_BSTR) moduleBytes += 2 * SysStringLen(V_BSTR(&value));
            VariantClear(&value);
        }
        VARIANT list = Property(module, L"Files");
        VARIANT fileCount = Property(V_DISPATCH(&list), L"Count");
        for (LONG f = 1; f <= V_I4(&fileCount); ++f, ++files) {
            V_I4(&index) = f;
            VARIANT file = Property(V_DISPATCH(&list), L"Item", &index);
            fileBytes += 8;
            for (const wchar_t* text : {L"FileName", L"FileKey", L"Directory", L"Version", L"Language"}) {
                VARIANT value = Property(V_DISPATCH(&file), text);
                if (V_VT(&value) == VT_BSTR) fileBytes += 2 * SysStringLen(V_BSTR(&value));
                VariantClear(&value);
            }
            VariantClear(&file);
        }
        VariantClear(&list);
        VariantClear(&item);
    }
    std::vector<std::pair<std::wstring, std::wstring>> folders;
    for (const CorpusFile& file : manifest.files)
        if (!file.gallery) folders.emplace_back(file.module + L"|" + file.directoryKey, file.folder);
    std::sort(folders.begin(), folders.end());
    folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
    for (const auto& folder : folders) moduleBytes += 2 * (folder.first.size() - folder.first.find(L'|') - 1 + folder.second.size());
}

void PrintWarmFigures(const std::wstring& corpus, const CorpusManifest& manifest, const WarmFigures& w) {
    const double empty = Median(w.empty), listing = Median(w.listing);
    Print("cache: warm start", Median(w.warm), "s", "empty path+3x list", empty + 3 * listing);
    Print("cache: warm start", 1000 * Median(w.warm), "ms", "bare listing", 1000 * listing);
    Print("cache: catalog over an empty search path", 1000 * empty, "ms", "", 0);
    Print("cache: first search after the warm start", 1000 * Median(w.warmSearch), "ms", "after a cold build",
          1000 * Median(w.coldSearch));
    Print("cache: cold build writing the cache", Median(w.coldOn), "s", "cache switched off", Median(w.coldOff));
    Print("cache: its first search, writing the lists", Median(w.coldOnSearch), "s", "cache switched off",
          Median(w.coldSearch));
    SetEnvironmentVariableW(L"CVMMUPDATER_CACHE", L"1");
    ULONGLONG moduleBytes = 0, fileBytes = 0;
    size_t files = 0;
    FieldBytes(manifest, moduleBytes, fileBytes, files);
    SetEnvironmentVariableW(L"CVMMUPDATER_CACHE", L"0");
    const ULONGLONG cache = CacheFiles(corpus, false);
    const size_t modules = manifest.modules.size();
    printf("cache: %llu bytes for %zu modules and %zu file records: %.0f bytes a module, %.0f a file record "
           "(fields %.0f and %.0f); %.2fx the fields\n",
           cache, modules, files, static_cast<double>(cache) / modules, static_cast<double>(cache) / (files ? files : 1),
           static_cast<double>(moduleBytes) / modules, static_cast<double>(fileBytes) / (files ? files : 1),
           static_cast<double>(cache) / static_cast<double>(moduleBytes + fileBytes));
}

void PrintFigures(const std::wstring& corpus, const CorpusManifest& manifest, const std::vector<FrontEnd>& frontEnds,
                  size_t searches, size_t step, int runs, const Figures& figures) {
    const double listing = Median(figures.listing);
    printf("corpus %ls: %zu modules, %zu files, %zu searches a pass (every %zu. file, misses), median of %d runs\n",
           corpus.c_str(), manifest.modules.size(), manifest.files.size(), searches, step, runs);
    Print("first build", Median(figures.build), "s", "plain msi.dll loop", Median(figures.plainLoop));
    Print("first search after the build", Median(figures.firstCall), "s", "first build", Median(figures.build));
    for (size_t f = 0; f < frontEnds.size(); ++f) {
        std::string name = frontEnds[f].name;
        Print((name + ": first p50").c_str(), 1000 * Median(figures.firstP50[f]), "ms", "bare listing", 1000 * listing);
        Print((name + ": first p99").c_str(), 1000 * Median(figures.firstP99[f]), "ms", "bare listing", 1000 * listing);
        Print((name + ": warm p50").c_str(), 1000 * Median(figures.warmP50[f]), "ms", "bare listing", 1000 * listing);
        Print((name + ": warm p99").c_str(), 1000 * Median(figures.warmP99[f]), "ms", "bare listing", 1000 * listing);
    }
    Print("FindModule with a language, p50", 1e6 * Median(figures.findWith), "us", "bare listing", 1e6 * listing);
    Print("FindModule with language 0, p50", 1e6 * Median(figures.findWithout), "us", "bare listing", 1e6 * listing);
    Print("Refresh, nothing changed", 1000 * Median(figures.refresh), "ms", "bare listing", 1000 * listing);
    printf("working set before / after build / after lists: %zu / %zu / %zu KB (%zu modules)\n", figures.wsBefore,
           figures.wsBuilt, figures.wsLists, manifest.modules.size());
    printf("answers compared with the manifest: %zu, mismatches: %zu\n", figures.compared, figures.mismatches);
}

// Touch one module file a cycle (a newer time), read the catalog, keep the last ten module objects
// and let older ones go; the working set after 100 cycles against the last.
void Soak(const CorpusManifest& manifest, int soakCycles) {
    ComPtr<IMMCatalog> catalog = BuildCatalog();
    std::vector<ComPtr<IDispatch>> held;
    FILETIME base;
    GetSystemTimeAsFileTime(&base);
    size_t at100 = 0;
    for (int cycle = 1; cycle <= soakCycles; ++cycle) {
        const CorpusModule& module = manifest.modules[static_cast<size_t>(cycle) % manifest.modules.size()];
        ULARGE_INTEGER time{{base.dwLowDateTime, base.dwHighDateTime}};
        time.QuadPart += static_cast<ULONGLONG>(cycle) * 10000000;
        FILETIME newer{time.LowPart, time.HighPart};
        HANDLE file = CreateFileW(module.path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            SetFileTime(file, nullptr, nullptr, &newer);
            CloseHandle(file);
        }
        BSTR signature = SysAllocString((module.moduleId + L":" + module.language).c_str());
        ComPtr<IDispatch> object;
        ComPtr<IDispatch> modules;
        LONG result = 0;
        Check(catalog->Refresh(&result), "Refresh");
        Check(catalog->GetModules(modules.Put()), "GetModules");
        Check(catalog->FindModule(signature, 0, object.Put()), "FindModule");
        SysFreeString(signature);
        held.push_back(object);
        if (held.size() > 10) held.erase(held.begin());
        if (cycle == 100) at100 = WorkingSetKb();
    }
    size_t last = WorkingSetKb();
    printf("soak: working set after 100 cycles %zu KB, after %d cycles %zu KB (%+.1f%%)\n", at100, soakCycles, last,
           at100 ? 100.0 * (static_cast<double>(last) - static_cast<double>(at100)) / static_cast<double>(at100) : 0.0);
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: catalog_bench <corpus folder> [runs] [every Nth file] [soak cycles]\n");
        return 2;
    }
    const std::wstring corpus = argv[1];
    const int runs = argc > 2 ? std::max(1, _wtoi(argv[2])) : 5;
    const size_t step = argc > 3 ? std::max(1, _wtoi(argv[3])) : 1;
    const int soakCycles = argc > 4 ? _wtoi(argv[4]) : 0;
    CorpusManifest manifest;
    std::wstring error;
    if (!manifest.Read(corpus + L"\\manifest.txt", &error)) {
        fprintf(stderr, "catalog_bench: %ls\n", error.c_str());
        return 1;
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    // The figures below read modules: the module cache only where it is measured, in a profile of
    // the corpus's own. CV_BENCH_WARM_ONLY=1 measures the cache's figures alone; =2 makes the cold
    // builds in the first run only, for a corpus where they take minutes.
    SetEnvironmentVariableW(L"CVMMUPDATER_CACHE", L"0");
    SetEnvironmentVariableW(L"LOCALAPPDATA", (corpus + L"\\profile").c_str());
    wchar_t warmOnly[4] = L"";
    const bool cacheOnly = GetEnvironmentVariableW(L"CV_BENCH_WARM_ONLY", warmOnly, 4) && warmOnly[0] >= L'1';
    const bool coldOnce = cacheOnly && warmOnly[0] == L'2';
    Figures figures;
    figures.wsBefore = WorkingSetKb();
    const std::vector<FrontEnd> frontEnds = MakeFrontEnds(corpus);
    for (auto* perFrontEnd : {&figures.firstP50, &figures.firstP99, &figures.warmP50, &figures.warmP99})
        perFrontEnd->resize(frontEnds.size());
    const std::vector<std::wstring> folders = {corpus + L"\\Modules\\Core", corpus + L"\\Modules\\Extra"};
    const std::vector<Search> searches = MakeSearches(manifest, step);

    // Neither side pays for loading libraries or for the first read of the files.
    for (const auto& module : manifest.modules) ReadPlainly(module.path);
    BuildCatalog();
    const std::wstring emptyPath = MakeEmptyPathSettings(corpus);
    WarmFigures warm;
    Figures scratch;
    for (int run = 0; run < runs; ++run) {
        if (!cacheOnly) MeasureRun(run, manifest, frontEnds, searches, folders, figures);
        MeasureWarmStart(corpus, frontEnds[0].settings, emptyPath, frontEnds[0], searches[0], folders,
                         run == 0 || !coldOnce, warm, scratch);
    }
    SetEnvironmentVariableW(L"CVAPPSERVICES_INI", frontEnds[0].settings.c_str());

    if (!cacheOnly) PrintFigures(corpus, manifest, frontEnds, searches.size(), step, runs, figures);
    PrintWarmFigures(corpus, manifest, warm);
    if (soakCycles > 0 && !cacheOnly) Soak(manifest, soakCycles);
    printf("installer handles left open: %u\n", MsiCloseAllHandles());
    CoUninitialize();
    return figures.mismatches ? 1 : 0;
}
