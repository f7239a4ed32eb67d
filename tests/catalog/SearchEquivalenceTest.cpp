// The file search and the lookup in any language answer from indexes; here the plain walk they
// replace runs beside them over a generated module set and must give the same module, the same
// found flag and the same result for every file, for misses, under both switches, with and without
// a directory key, with right and wrong versions, and after modules are added, touched and deleted.
#include <windows.h>
#include <gtest/gtest.h>
#include <shlwapi.h>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>
#include "catalog/SearchLocationList.h"
#include "catalog/MMCatalog.h"
#include "catalog/SettingsDocument.h"
#include "msi/DirectoryResolver.h"
#include "folders/FolderSyntax.h"
#include "model/ModuleIndex.h"
#include "msi/InstallerAccess.h"
#include "msi/MergeModule2.h"
#include "server/SiblingLoader.h"
#include "tests/collections/PropertyText.h"
#include "tests/support/Environment.h"
#include "tests/support/TestSupport.h"
#include "tests/support/CorpusManifest.h"
#include "tools/ModuleDamage.h"

extern "C" DWORD WINAPI RtlComputeCrc32(DWORD initial, const BYTE* data, INT length);

namespace {
using cvtest::Props;

bool SameText(const _stringx& a, const _stringx& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

struct Query {
    _stringx path, key, version;
};

// ---------------------------------------------------------------- the walk, as first written

// Opens the module for every folder it resolves.
bool WalkResolve(CatalogEntry& entry, const _stringx& key, _stringx& path) {
    if (key.empty() || entry.FromGallery()) return false;
    InstallerHandle database;
    UINT result = MsiOpenDatabaseW(entry.Path().c_str(), MSIDBOPEN_READONLY, database.put());
    CheckInstallerResult(result, L"MsiOpenDatabase", entry.Path().c_str());
    _stringx resolved;
    if (ResolveDirectoryPath(database.get(), key, resolved, ResolveOptions()) != 0) return false;
    path = resolved;
    return true;
}

// Every module of the published collection with that ModuleID; the preferred language is never set.
ComPtr<IMergeModule2> WalkFindBySignature(IMMCatalog* catalog, const _stringx& signature) {
    ComPtr<IDispatch> modules;
    CheckResult(catalog->GetModules(modules.Put()));
    ComPtr<IModuleCollection> collection;
    CheckResult(modules.As(IID_IModuleCollection, collection));
    size_t colon = signature.rfind(L':');
    _stringx moduleId = signature.substr(0, colon), language = signature.substr(colon + 1);
    LONG count = 0;
    CheckResult(collection->get_Count(&count));
    std::set<_stringx> languages;
    if (language == _stringx(L"0")) {
        for (LONG i = 1; i <= count; ++i) {
            ComPtr<IMergeModule2> module;
            CheckResult(cvtest::ItemAt(collection.Get(), i).As(IID_IMergeModule2, module));
            unique_bstr id;
            CheckResult(module->get_ModuleId(id.put()));
            if (_stringx(id.get()) != moduleId) continue;
            LONG variant = 0;
            CheckResult(module->get_Language(&variant));
            languages.insert(_stringx::Formatted(L"%d", variant));
        }
        if (languages.empty()) return nullptr;
        language = *languages.begin();
    }
    ComPtr<IDispatch> item;
    unique_variant key;
    V_VT(key.get()) = VT_BSTR;
    V_BSTR(key.get()) = SysAllocString((moduleId + L":" + language).c_str());
    CheckResult(collection->get_Item(key.Get(), item.Put()));
    ComPtr<IMergeModule2> module;
    if (item) CheckResult(item.As(IID_IMergeModule2, module));
    return module;
}

// What a search answered: the result and its error information, the module's key and path, the
// found flag.
_stringx Outcome(HRESULT hr, IMergeModule2* module, VARIANT_BOOL found) {
    cvtest::ErrorInfoText error = cvtest::TakeErrorInfo();
    return _stringx::Formatted(L"0x%08lx|", hr) + (error.present ? error.source + L":" + error.description : L"") +
           L"|" + Props(module, {L"EntryKey", L"Path"}) + _stringx::Formatted(L"|#%d", static_cast<int>(found));
}

_stringx IndexedAnswer(IMMCatalog2* catalog, const Query& q, bool extended) {
    ComPtr<IMergeModule2> answer;
    VARIANT_BOOL found = 7;
    _stringx path = q.path, key = q.key, version = q.version;
    HRESULT hr = extended ? catalog->FindModuleForFileEx(path.AsBSTR(), key.AsBSTR(), version.AsBSTR(), answer.Put(),
                                                         &found)
                          : catalog->FindModuleForFile(path.AsBSTR(), key.AsBSTR(), version.AsBSTR(), answer.Put(),
                                                       &found);
    return Outcome(hr, answer.Get(), found);
}

// Each file as delivered; every n-th also with no key, a wrong key, no version and a wrong version,
// and in a folder where it is not; and names nobody has.
std::vector<Query> QueriesOf(const CorpusManifest& manifest, size_t every) {
    std::vector<Query> queries;
    for (size_t i = 0; i < manifest.files.size(); ++i) {
        const CorpusFile& file = manifest.files[i];
        Query exact{file.TargetPath(), file.directoryKey, file.version};
        queries.push_back(exact);
        if (i % every != 0) continue;
        queries.push_back({exact.path, L"", exact.version});
        queries.push_back({exact.path, L"NoSuchKey", exact.version});
        queries.push_back({exact.path, exact.key, L""});
        queries.push_back({exact.path, exact.key, L"9.9.9.9"});
        queries.push_back({L"[WindowsFolder]Elsewhere\\" + _stringx(file.name), exact.key, exact.version});
        queries.push_back({_stringx(file.name), L"", exact.version});
        // Keys and folders equal without case: their hashes must not tell them apart.
        size_t root = exact.path.find(L']') + 1;
        if (i % (3 * every) == 0)
            queries.push_back({exact.path.substr(0, root) + exact.path.substr(root).Upper(), exact.key.Lower(),
                               exact.version});
    }
    for (const auto& indexed : manifest.indexed) queries.push_back({L"[SystemFolder]" + _stringx(indexed.first), L"", L""});
    for (const wchar_t* miss : {L"[SystemFolder]nobody-has-this.dll", L"[SystemFolder]", L"", L"[SystemFolder]x.pdb"})
        queries.push_back({miss, L"", L""});
    return queries;
}

// Everything a client sees of a catalog: each module's properties in collection order, and the
// answer to every query through both front ends.
_stringx CatalogAnswers(IMMCatalog2* catalog, const std::vector<Query>& queries) {
    ComPtr<IDispatch> modules;
    CheckResult(catalog->GetModules(modules.Put()));
    ComPtr<IModuleCollection> collection;
    CheckResult(modules.As(IID_IModuleCollection, collection));
    LONG count = 0;
    CheckResult(collection->get_Count(&count));
    _stringx all;
    for (LONG i = 1; i <= count; ++i)
        all += Props(cvtest::ItemAt(collection.Get(), i).Get(),
                     {L"EntryKey", L"Path", L"ModuleId", L"Language", L"Version", L"RevisionNumber", L"Author",
                      L"Comments", L"Subject", L"DisplayName", L"HasSourceLocation", L"SourceLocation"}) + L"\n";
    for (const Query& q : queries)
        for (bool extended : {true, false}) all += IndexedAnswer(catalog, q, extended) + L"\n";
    return all;
}

// The files of a folder that match a pattern, in name order.
std::vector<_stringx> FilesIn(const _stringx& folder, const wchar_t* pattern) {
    std::vector<_stringx> files;
    WIN32_FIND_DATAW data;
    unique_find search(FindFirstFileW(JoinPath(folder, pattern).c_str(), &data));
    if (search)
        do
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) files.push_back(JoinPath(folder, data.cFileName));
        while (FindNextFileW(search.get(), &data));
    std::sort(files.begin(), files.end());
    return files;
}

// Every module file under a folder, held open without sharing while this lives: whatever a catalog
// answers meanwhile comes from the cache.
class HeldModules {
public:
    explicit HeldModules(const _stringx& folder) { Hold(folder); }

private:
    void Hold(const _stringx& folder) {
        for (const _stringx& path : FilesIn(folder, L"*.msm"))
            files_.emplace_back(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        WIN32_FIND_DATAW data;
        unique_find search(FindFirstFileW(JoinPath(folder, L"*").c_str(), &data));
        if (search)
            do
                if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && data.cFileName[0] != L'.')
                    Hold(JoinPath(folder, data.cFileName));
            while (FindNextFileW(search.get(), &data));
    }
    std::vector<unique_file> files_;
};

_stringx Environment(const wchar_t* name) {
    wchar_t value[MAX_PATH * 2] = L"";
    DWORD length = GetEnvironmentVariableW(name, value, ARRAYSIZE(value));
    return length && length < ARRAYSIZE(value) ? _stringx(value) : _stringx();
}

// The exit code given for a child that could not be started (the program rebuilt meanwhile).
constexpr DWORD kNotStarted = static_cast<DWORD>(-1);

// Runs one test of this program in child processes at once, each with its own value of
// CV_CACHE_CHILD; each must end within the limit or is stopped. Their exit codes, STILL_ACTIVE for
// one stopped.
std::vector<DWORD> RunChildren(const char* test, const std::vector<_stringx>& arguments, DWORD limitMs) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    _stringx line = _stringx(L"\"") + self + L"\" --gtest_filter=CacheChild." + _stringx(std::wstring(test, test + strlen(test)));
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    unique_file nul(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
    std::vector<unique_handle> processes;
    for (const _stringx& argument : arguments) {
        SetEnvironmentVariableW(L"CV_CACHE_CHILD", argument.c_str());
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = startup.hStdError = nul.get();
        PROCESS_INFORMATION process{};
        if (cvtest::StartProcess(line.str(), TRUE, 0, nullptr, startup, process)) {
            CloseHandle(process.hThread);
            processes.emplace_back(process.hProcess);
        }
    }
    SetEnvironmentVariableW(L"CV_CACHE_CHILD", nullptr);
    std::vector<DWORD> codes(arguments.size(), kNotStarted);
    const ULONGLONG end = GetTickCount64() + limitMs;
    for (size_t i = 0; i < processes.size(); ++i) {
        ULONGLONG now = GetTickCount64();
        if (WaitForSingleObject(processes[i].get(), now < end ? static_cast<DWORD>(end - now) : 0) == WAIT_TIMEOUT) {
            TerminateProcess(processes[i].get(), STILL_ACTIVE);
            WaitForSingleObject(processes[i].get(), INFINITE);
            codes[i] = STILL_ACTIVE;
        } else {
            GetExitCodeProcess(processes[i].get(), &codes[i]);
        }
    }
    return codes;
}

// What a child process was asked: "<root>|<output>[|seed|first|count]".
std::vector<_stringx> ChildArguments() {
    std::vector<_stringx> parts;
    for (_stringx rest = Environment(L"CV_CACHE_CHILD"); !rest.empty();) {
        size_t bar = rest.find(L'|');
        parts.push_back(rest.substr(0, bar));
        rest = bar == _stringx::npos ? _stringx() : rest.substr(bar + 1);
    }
    return parts;
}

// The first line where two catalogs' answers part, or empty when they agree.
std::string Parting(const _stringx& expected, const _stringx& actual) {
    std::istringstream a(ToUtf8(expected)), b(ToUtf8(actual));
    for (int line = 1;; ++line) {
        std::string x, y;
        bool more = static_cast<bool>(std::getline(a, x));
        more = static_cast<bool>(std::getline(b, y)) || more;
        if (!more) return std::string();
        if (x != y) return "line " + std::to_string(line) + "\n expected: " + x + "\n actual:   " + y;
    }
}

size_t EnvironmentCount(const wchar_t* name, size_t otherwise) {
    _stringx text = Environment(name);
    return text.empty() ? otherwise : static_cast<size_t>(_wtoi64(text.c_str()));
}

// Queries of the damage campaign: one in so many files beyond the exact ones.
constexpr size_t kCampaignEvery = 97;

class SearchEquivalence : public cvtest::ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        // Every answer read from the modules, unless a test switches the cache on.
        SetEnvironmentVariableW(L"CVMMUPDATER_CACHE", L"0");
        // A private copy: the test adds, touches and deletes modules.
        const _stringx source = cvtest::Backslashed(CV_TEST_SMALL_CORPUS);
        // A folder per test: ctest runs the tests of this program side by side.
        std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        root_ = cvtest::FreshScratchDir((L"search-equivalence-" + std::wstring(test.begin(), test.end())).c_str());
        ASSERT_EQ(0u, cvtest::RunProcess(L"cmd /c xcopy /e /i /q \"" + source + L"\" \"" + root_ + L"\\corpus\"",
                                         nullptr, 300000));
        root_ = JoinPath(root_, L"corpus");
        for (const wchar_t* file : {L"AppServices.ini", L"App\\Repositories\\Repositories.xml"}) {
            _stringx path = JoinPath(root_, file);
            std::string text = cvtest::ReadBytes(path), from = _stringx(source).AsNarrow(), to = root_.AsNarrow();
            for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
                text.replace(at, from.size(), to);
            cvtest::WriteText(path, text);
        }
        std::wstring error;
        ASSERT_TRUE(manifest_.Read(JoinPath(root_, L"manifest.txt").str(), &error)) << _stringx(error).AsNarrow();
        SetEnvironmentVariableW(L"CVAPPSERVICES_INI", JoinPath(root_, L"AppServices.ini").c_str());
        catalog_.Attach(ComObject<MMCatalog>::Make());
        ASSERT_EQ(S_OK, catalog_->FinalConstruct());
        ComPtr<IAppFolders> folders;
        ASSERT_EQ(S_OK, CreateSiblingObject(L"CvAppServices.dll", CLSID_AppServices, IID_IAppFolders,
                                            folders.PutVoid()));
        unique_bstr patterns;
        ASSERT_EQ(S_OK, folders->ExcludedFilePatterns(patterns.put()));
        for (_stringx rest = patterns.get(); !rest.empty();) {
            size_t comma = rest.find(L',');
            patterns_.push_back(rest.substr(0, comma));
            rest = comma == _stringx::npos ? _stringx() : rest.substr(comma + 1);
        }
        ASSERT_EQ(S_OK, CreateSiblingObject(L"CvAppServices.dll", CLSID_AppServices, IID_IAppSettingsFiles,
                                            settingsFiles_.PutVoid()));
    }
    void TearDown() override {
        catalog_ = nullptr;
        settingsFiles_ = nullptr;
        SetEnvironmentVariableW(L"CVAPPSERVICES_INI", nullptr);
        ComTest::TearDown();
    }

    void SetSwitches(bool matchKey, bool matchFolder) {
        _stringx ini = JoinPath(root_, L"AppServices.ini");
        WritePrivateProfileStringW(L"MergeModules", L"MatchDirectoryKey", matchKey ? L"1" : L"0", ini.c_str());
        WritePrivateProfileStringW(L"MergeModules", L"MatchResolvedFolder", matchFolder ? L"1" : L"0", ini.c_str());
        matchKey_ = matchKey;
        matchFolder_ = matchFolder;
    }

    _stringx Walk(const Query& q, bool extended) {
        bool matchKey = extended ? !q.key.empty() : matchKey_, matchFolder = extended || matchFolder_;
        ComPtr<IMergeModule2> answer;
        VARIANT_BOOL found = 7;
        HRESULT hr = GuardedCall(
            [&] {
                _stringx folderPart, filePart;
                SplitFolderPath(q.path, folderPart, filePart);
                size_t slash = filePart.rfind(L'\\');
                _stringx fileName = slash == _stringx::npos ? filePart : filePart.substr(slash + 1);
                _stringx wanted = q.version.empty() ? _stringx(L"0") : q.version;
                if (!fileName.empty())
                    for (const _stringx& pattern : patterns_)
                        if (PathMatchSpecW(fileName.c_str(), pattern.c_str())) return S_OK;
                std::vector<std::shared_ptr<CatalogEntry>> candidates;
                for (const auto& location : SearchLocationList::Instance().Locations()) {
                    const EntryMapSnapshot modules = location->Modules();
                    for (const auto& entry : *modules) candidates.push_back(entry.second);
                }
                for (const auto& entry : catalog_->GalleryEntries()) candidates.push_back(entry.second);
                for (const auto& entry : candidates) {
                    bool delivers = false;
                    for (const FileEntry& record : entry->Files()) {
                        if (!SameText(LongFileName(record.StoredName()), fileName)) continue;
                        if (matchKey && !SameText(record.Directory(), q.key)) continue;
                        _stringx resolved;
                        if (matchFolder && !folderPart.empty() &&
                            (!WalkResolve(*entry, record.Directory(), resolved) || !SameText(resolved, folderPart)))
                            continue;
                        if ((record.Version().empty() ? _stringx(L"0") : _stringx(record.Version())) != wanted) continue;
                        delivers = true;
                        break;
                    }
                    if (!delivers) continue;
                    unique_bstr document;
                    CheckResult(settingsFiles_->SettingsFile(8, document.put()));
                    if (IsFileExcluded(document.get(), entry->RevisionNumber(), fileName)) continue;
                    CheckResult(MergeModule2::CreateBound(entry.get(), entry, IID_IMergeModule2, answer.PutVoid()));
                    found = VARIANT_TRUE;
                    return S_OK;
                }
                _stringx value;
                if (fileName.empty() || !LookupFileModule(fileName.Lower(), value)) return S_OK;
                size_t colon = value.find(L':');
                if (colon == _stringx::npos || value.substr(0, colon) != _stringx(L"0")) return S_OK;
                _stringx signature = value.substr(colon + 1);
                if (signature.find(L':') == _stringx::npos) signature += L":0";
                answer = WalkFindBySignature(catalog_.Get(), signature);
                return S_OK;
            },
            [](const com_exception& e) { return ReportComException(e, CLSID_MMCatalog, nullptr); });
        return Outcome(hr, answer.Get(), found);
    }

    _stringx Indexed(const Query& q, bool extended) { return IndexedAnswer(catalog_.Get(), q, extended); }

    // Every query through both front ends, the walk beside the index; returns how many differed.
    int Compare(const std::vector<Query>& queries) {
        int differences = 0;
        for (const Query& q : queries)
            for (bool extended : {true, false}) {
                _stringx walked = Walk(q, extended), indexed = Indexed(q, extended);
                if (indexed.find(L"|#-1") != _stringx::npos) ++found_;
                if (walked == indexed) continue;
                if (++differences <= 5)
                    ADD_FAILURE() << (extended ? "Ex " : "") << _stringx(q.path).AsNarrow() << " key "
                                  << _stringx(q.key).AsNarrow() << " version " << _stringx(q.version).AsNarrow()
                                  << "\n walk:  " << walked.AsNarrow() << "\n index: " << indexed.AsNarrow();
            }
        return differences;
    }

    std::vector<Query> Queries(size_t every) const { return QueriesOf(manifest_, every); }

    // The module cache on or off, in a profile of the test's own, from the next catalog on.
    void UseCache(bool on) {
        catalog_ = nullptr;
        SetEnvironmentVariableW(L"LOCALAPPDATA", JoinPath(root_, L"profile").c_str());
        SetEnvironmentVariableW(L"CVMMUPDATER_CACHE", on ? L"1" : L"0");
    }
    _stringx CacheFolder() const { return JoinPath(root_, L"profile\\CvMMUpdater2\\Cache"); }
    std::vector<_stringx> CacheFiles() const { return FilesIn(CacheFolder(), L"*.cache"); }
    // A new catalog as a new process makes it (every earlier one released, so the locations are
    // built anew), and what it answers.
    _stringx FreshAnswers(size_t every) {
        catalog_ = nullptr;
        catalog_.Attach(ComObject<MMCatalog>::Make());
        EXPECT_EQ(S_OK, catalog_->FinalConstruct());
        return CatalogAnswers(catalog_.Get(), Queries(every));
    }
    _stringx ModulePath(const CorpusModule& module) const {
        _stringx path = module.path;
        return JoinPath(root_, path.substr(path.find(L"Modules\\")));
    }
    // The corpus's module paths, grouped by file size.
    std::map<ULONGLONG, std::vector<_stringx>> ModulesBySize() const {
        std::map<ULONGLONG, std::vector<_stringx>> bySize;
        for (const CorpusModule& module : manifest_.modules) {
            _stringx path = ModulePath(module);
            bySize[cvtest::ReadBytes(path).size()].push_back(path);
        }
        return bySize;
    }

    _stringx root_;
    CorpusManifest manifest_;
    std::vector<_stringx> patterns_;
    ComPtr<IAppSettingsFiles> settingsFiles_;
    ComPtr<ComObject<MMCatalog>> catalog_;
    bool matchKey_ = false, matchFolder_ = false;
    size_t found_ = 0;
};

TEST_F(SearchEquivalence, EveryFileAndMissUnderBothSwitches) {
    ASSERT_GT(manifest_.files.size(), 500u);
    for (int switches = 0; switches < 4; ++switches) {
        SetSwitches(switches & 1, switches & 2);
        EXPECT_EQ(0, Compare(Queries(switches == 3 ? 7 : 41))) << "switches " << switches;
    }
    // Most searches find their file: the comparison is not one of empty answers.
    EXPECT_GT(found_, 4 * manifest_.files.size());
}

TEST_F(SearchEquivalence, AfterModulesAreAddedTouchedAndDeleted) {
    SetSwitches(false, true);
    std::vector<Query> sample = Queries(53);
    ASSERT_EQ(0, Compare(sample));
    LONG ignored = 0;
    const CorpusModule& first = manifest_.modules.front();
    const CorpusModule& last = manifest_.modules.back();
    _stringx firstPath = JoinPath(root_, _stringx(first.path).substr(_stringx(first.path).find(L"Modules\\")));
    _stringx lastPath = JoinPath(root_, _stringx(last.path).substr(_stringx(last.path).find(L"Modules\\")));

    // Added: a copy that delivers the same files under the same key, earlier in path order.
    _stringx copy = JoinPath(firstPath.substr(0, firstPath.rfind(L'\\')), L"0-copy.msm");
    ASSERT_TRUE(CopyFileW(firstPath.c_str(), copy.c_str(), FALSE));
    ASSERT_EQ(S_OK, catalog_->Refresh(&ignored));
    EXPECT_EQ(0, Compare(sample)) << "added";

    // Touched: a new entry for the same file.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ahead{{now.dwLowDateTime, now.dwHighDateTime}};
    ahead.QuadPart += 600ull * 10000000;
    FILETIME later{ahead.LowPart, ahead.HighPart};
    {
        unique_file file(CreateFileW(lastPath.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &later));
    }
    ASSERT_EQ(S_OK, catalog_->Refresh(&ignored));
    EXPECT_EQ(0, Compare(sample)) << "touched";

    ASSERT_TRUE(DeleteFileW(copy.c_str()));
    ASSERT_TRUE(DeleteFileW(lastPath.c_str()));
    ASSERT_EQ(S_OK, catalog_->Refresh(&ignored));
    EXPECT_EQ(0, Compare(sample)) << "deleted";
}

// Gallery modules deliver names beyond ASCII, one in capitals and one in small letters, some of which
// only a full case mapping would pair (final sigma, the Kelvin sign, a dotted capital I): each is
// searched as written, in capitals and in small letters, and the index must pair exactly the names
// that the runtime's case-blind comparison pairs.
TEST_F(SearchEquivalence, NamesBeyondAsciiCompareAsTheWalkDoes) {
    const std::vector<_stringx> capitals = {L"\u00C4RGER.DLL", L"\u03A3\u038A\u03A3\u03A5\u03A6\u039F\u03A3.DLL",
                                            L"\u0416\u0423\u0420\u041D\u0410\u041B.DLL", L"\u212A.DLL",
                                            L"\u0130NI.DLL", L"\u0178ES.DLL", L"STRA\u1E9EE.DLL", L"\uFF21.DLL"};
    const std::vector<_stringx> smalls = {L"\u00E4rger.dll", L"\u03C3\u03AF\u03C3\u03C5\u03C6\u03BF\u03C2.dll",
                                          L"\u0436\u0443\u0440\u043D\u0430\u043B.dll", L"k.dll",
                                          L"ini.dll", L"\u00FFes.dll", L"stra\u00DFe.dll", L"\uFF41.dll"};
    std::vector<Query> queries;
    for (const auto* names : {&capitals, &smalls}) {
        std::string ini = "[MergeModule]\r\nModuleID=Beyond." + std::to_string(names == &smalls) +
                          "\r\nLanguage=0\r\n[Files]\r\n";
        for (size_t i = 0; i < names->size(); ++i) ini += "Key" + std::to_string(i + 1) + "=F" + std::to_string(i) + "\r\n";
        for (size_t i = 0; i < names->size(); ++i) {
            ini += "[F" + std::to_string(i) + "]\r\nFileName=" + ToUtf8((*names)[i]) + "\r\n";
            for (const _stringx& name : {(*names)[i], (*names)[i].Upper(), (*names)[i].Lower()})
                queries.push_back({L"[SystemFolder]" + name, L"", L""});
        }
        cvtest::WriteText(JoinPath(root_, _stringx::Formatted(L"App\\ObjectGallery\\Beyond%d.ini", names == &smalls)), ini);
    }
    catalog_.Attach(ComObject<MMCatalog>::Make());
    ASSERT_EQ(S_OK, catalog_->FinalConstruct());
    for (int switches = 0; switches < 4; ++switches) {
        SetSwitches(switches & 1, switches & 2);
        EXPECT_EQ(0, Compare(queries)) << "switches " << switches;
    }
    EXPECT_GT(found_, queries.size()) << "the comparison is not one of empty answers";
}

TEST_F(SearchEquivalence, AnyLanguageLookupPicksAsTheWalkDoes) {
    std::set<std::wstring> ids;
    for (const CorpusModule& module : manifest_.modules) ids.insert(module.moduleId);
    ids.insert(L"Nobody.Has.This");
    for (const std::wstring& id : ids) {
        _stringx signature = _stringx(id) + L":0";
        ComPtr<IDispatch> indexed;
        ASSERT_EQ(S_OK, catalog_->FindModule(signature.AsBSTR(), 0, indexed.Put()));
        ComPtr<IMergeModule2> walked = WalkFindBySignature(catalog_.Get(), signature);
        EXPECT_EQ(Props(walked.Get(), {L"EntryKey", L"Path"}), Props(indexed.Get(), {L"EntryKey", L"Path"}))
            << signature.AsNarrow();
    }
}


// ---------------------------------------------------------------- the module cache

// The same answers from a cache written by an earlier catalog, and with no module readable at all.
TEST_F(SearchEquivalence, WarmCacheAnswersAsTheModulesDo) {
    SetSwitches(false, true);
    const _stringx baseline = FreshAnswers(7);
    UseCache(true);
    EXPECT_EQ("", Parting(baseline, FreshAnswers(7))) << "cold, writing the cache";
    ASSERT_FALSE(CacheFiles().empty());
    {
        HeldModules held(root_);
        EXPECT_EQ("", Parting(baseline, FreshAnswers(7))) << "warm, no module readable";
    }
    EXPECT_EQ(0, Compare(Queries(41))) << "the walk beside the warm index";
}

// Either switch keeps the cache from being read or written; the user's key is redirected to a
// scratch key of this process, as other tests run beside it.
TEST_F(SearchEquivalence, SwitchedOffNothingIsCached) {
    UseCache(false);
    FreshAnswers(97);
    catalog_ = nullptr;
    EXPECT_TRUE(CacheFiles().empty()) << "CVMMUPDATER_CACHE=0";

    UseCache(true);
    unique_hkey user;
    const _stringx scratch = L"Software\\CvMMUpdater2Tests\\" + root_.substr(root_.rfind(L'\\', root_.length() - 8) + 1);
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, scratch.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             user.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_CURRENT_USER, user.get()));
    DWORD off = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\CvMMUpdater2", L"Cache", REG_DWORD, &off, sizeof off));
    FreshAnswers(97);
    catalog_ = nullptr;
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegDeleteTreeW(HKEY_CURRENT_USER, scratch.c_str());
    EXPECT_TRUE(CacheFiles().empty()) << "HKCU Cache=0";

    FreshAnswers(97);
    catalog_ = nullptr;
    EXPECT_FALSE(CacheFiles().empty()) << "switched on";
}

// Damage makes a folder's cache count as empty, or one module's list be read from the module; the
// answers stay, and the next write leaves a whole cache again.
TEST_F(SearchEquivalence, DamagedCacheFilesAnswerAsTheModulesDo) {
    const _stringx baseline = FreshAnswers(11);
    UseCache(true);
    ASSERT_EQ(baseline, FreshAnswers(11));
    catalog_ = nullptr;
    std::map<_stringx, std::string> good;
    for (const _stringx& path : CacheFiles()) good[path] = cvtest::ReadBytes(path);
    ASSERT_FALSE(good.empty());
    auto word = [](std::string& b, size_t at, uint32_t value) { b.replace(at, 4, reinterpret_cast<char*>(&value), 4); };
    // The fixed part: magic (8), format, build (16), header length, header checksum; the header
    // section begins with the folder's name, the kind and the count of records.
    constexpr size_t kBuild = 12, kHeaderLength = 28, kHeader = 36;
    const std::pair<const char*, std::function<void(std::string&)>> damages[] = {
        {"cut", [](std::string& b) { b.resize(b.size() / 2); }},
        {"cut in the fixed part", [](std::string& b) { b.resize(kHeaderLength); }},
        {"empty", [](std::string& b) { b.clear(); }},
        {"header flipped", [](std::string& b) { b[kHeader + 9] ^= 0x10; }},
        {"last list flipped", [](std::string& b) { b[b.size() - 3] ^= 0x01; }},
        {"zeroed", [](std::string& b) { std::fill_n(b.begin() + b.size() / 3, 64, '\0'); }},
        {"another build", [](std::string& b) { b[kBuild + 3] ^= 0x5A; }},
        {"header length past the end", [&](std::string& b) { word(b, kHeaderLength, 0x7FFFFFF0); }},
        {"count past the records, checksum right", [&](std::string& b) {
             uint32_t name = 0, length = 0;
             memcpy(&name, b.data() + kHeader, 4);
             memcpy(&length, b.data() + kHeaderLength, 4);
             word(b, kHeader + 8 + name, 0x7FFFFFFF);
             word(b, kHeaderLength + 4, RtlComputeCrc32(0, reinterpret_cast<const BYTE*>(b.data() + kHeader), length));
         }},
    };
    for (const auto& [name, damage] : damages) {
        for (const auto& [path, bytes] : good) {
            std::string damaged = bytes;
            damage(damaged);
            cvtest::WriteText(path, damaged);
        }
        EXPECT_EQ("", Parting(baseline, FreshAnswers(11))) << name;
        catalog_ = nullptr;
        HeldModules held(root_);
        EXPECT_EQ("", Parting(baseline, FreshAnswers(11))) << name << ": the cache written again";
        catalog_ = nullptr;
    }
}

// A module file replaced (by another of the same size), touched, deleted or added between two
// catalogs: the one that starts from the cache answers as one that reads every module.
TEST_F(SearchEquivalence, ChangesBetweenCatalogsShowAsWithoutTheCache) {
    SetSwitches(false, true);
    const std::map<ULONGLONG, std::vector<_stringx>> bySize = ModulesBySize();
    auto largest = std::max_element(bySize.begin(), bySize.end(),
                                    [](const auto& a, const auto& b) { return a.second.size() < b.second.size(); });
    ASSERT_GE(largest->second.size(), 3u) << "modules of the same size";
    const _stringx target = largest->second[0], other = largest->second[1], third = largest->second[2];
    const std::string targetBytes = cvtest::ReadBytes(target);
    FILETIME original{};
    {
        unique_file file(CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(GetFileTime(file.get(), nullptr, nullptr, &original));
    }
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    auto replace = [&](const _stringx& by, const FILETIME& base, int seconds) {
        cvtest::WriteText(target, cvtest::ReadBytes(by));
        cvtest::SetWriteTime(target, base, seconds);
    };
    const std::pair<const char*, std::function<void()>> changes[] = {
        {"replaced, same size, older", [&] { replace(other, original, -3600); }},
        {"replaced, same size, newer", [&] { replace(third, original, 3600); }},
        // Dated ahead of the clock, as a file written just before it was read would be: never kept,
        // so a replacement with the same size and time is read.
        {"dated ahead, so not kept", [&] { cvtest::SetWriteTime(target, now, 3600); }},
        {"replaced, same size and time", [&] { replace(other, now, 3600); }},
        {"touched", [&] { cvtest::SetWriteTime(target, original, 600); }},
        {"deleted", [&] { ASSERT_TRUE(DeleteFileW(target.c_str())); }},
        {"added", [&] { cvtest::WriteText(target, targetBytes); cvtest::SetWriteTime(target, original, 0); }},
    };
    UseCache(true);
    FreshAnswers(13);
    for (const auto& [name, change] : changes) {
        catalog_ = nullptr;
        change();
        UseCache(false);
        const _stringx expected = FreshAnswers(13);
        UseCache(true);
        EXPECT_EQ("", Parting(expected, FreshAnswers(13))) << name;
    }
}

// Three files of one size and time, the cache written over them; then, with no save possible, the
// middle one gone at a warm start, and back by a refresh under its old stamp with other content.
// The warm start takes each header by name, not by the order it was recorded in, and the refresh
// reads the file again: the cache forgot it when it went.
TEST_F(SearchEquivalence, SameStampsAndAForgottenStampAnswerAsWithoutTheCache) {
    SetSwitches(false, true);
    const std::map<ULONGLONG, std::vector<_stringx>> bySize = ModulesBySize();
    auto group = std::find_if(bySize.begin(), bySize.end(), [](const auto& same) { return same.second.size() >= 3; });
    ASSERT_NE(group, bySize.end()) << "three modules of the same size";
    const std::vector<_stringx>& sources = group->second;
    const _stringx folder = sources[0].substr(0, sources[0].rfind(L'\\'));
    // Named to sort after the folder's own files.
    const _stringx copies[] = {JoinPath(folder, L"zzzz-a.msm"), JoinPath(folder, L"zzzz-b.msm"),
                               JoinPath(folder, L"zzzz-c.msm")};
    FILETIME base;
    GetSystemTimeAsFileTime(&base);
    for (size_t k = 0; k < 3; ++k) cvtest::WriteTextDated(copies[k], cvtest::ReadBytes(sources[k]), base, -3600);

    UseCache(true);
    FreshAnswers(13);
    ASSERT_FALSE(CacheFiles().empty());
    catalog_ = nullptr;
    // Each cache's temporary file is taken by a folder of the same name: no save succeeds.
    std::vector<_stringx> blockers;
    for (const _stringx& cache : CacheFiles()) {
        blockers.push_back(cache + _stringx::Formatted(L".%lu.%lu.tmp", GetCurrentProcessId(), GetCurrentThreadId()));
        ASSERT_TRUE(CreateDirectoryW(blockers.back().c_str(), nullptr));
    }
    ASSERT_TRUE(DeleteFileW(copies[1].c_str()));
    const _stringx warm = FreshAnswers(13);
    cvtest::WriteTextDated(copies[1], cvtest::ReadBytes(sources[0]), base, -3600);
    LONG result = 0;
    ASSERT_EQ(S_OK, catalog_->Refresh(&result));
    const _stringx refreshed = CatalogAnswers(catalog_.Get(), Queries(13));
    for (const _stringx& blocker : blockers) RemoveDirectoryW(blocker.c_str());

    UseCache(false);
    EXPECT_EQ("", Parting(FreshAnswers(13), refreshed)) << "back under its old stamp";
    ASSERT_TRUE(DeleteFileW(copies[1].c_str()));
    EXPECT_EQ("", Parting(FreshAnswers(13), warm)) << "the warm start without it";
    for (const _stringx& copy : {copies[0], copies[2]}) DeleteFileW(copy.c_str());
}

// Two processes build catalogs over the same folders at once, from no cache and over a whole one:
// both answer right, and a third reads what they left as a whole cache.
TEST_F(SearchEquivalence, TwoProcessesAtOnceLeaveAWholeCache) {
    const _stringx baseline = FreshAnswers(13);
    UseCache(true);
    const size_t rounds = EnvironmentCount(L"CV_CACHE_ROUNDS", 10);
    for (size_t round = 0; round < rounds; ++round) {
        if (round % 2 == 0)
            for (const _stringx& path : CacheFiles()) DeleteFileW(path.c_str());
        std::vector<_stringx> outputs, arguments;
        for (int k = 0; k < 2; ++k) {
            outputs.push_back(JoinPath(root_, _stringx::Formatted(L"answers%d.txt", k)));
            DeleteFileW(outputs.back().c_str());
            arguments.push_back(root_ + L"|" + outputs.back());
        }
        std::vector<DWORD> codes = RunChildren("Answers", arguments, 300000);
        for (int k = 0; k < 2; ++k) {
            EXPECT_EQ(0u, codes[k]) << "round " << round << ", process " << k;
            EXPECT_EQ("", Parting(baseline, _stringx(FromUtf8(cvtest::ReadBytes(outputs[k]))))) << "round " << round << ", process " << k;
        }
        HeldModules held(root_);
        EXPECT_EQ("", Parting(baseline, FreshAnswers(13))) << "round " << round << ": the cache as a third process reads it";
        catalog_ = nullptr;
        if (HasFailure()) break;
    }
}

// Damaged copies of good cache files, each read by a catalog in a watched child process: none may
// crash it, stall it or change an answer.
TEST_F(SearchEquivalence, DamagedCacheCampaign) {
    const size_t count = EnvironmentCount(L"CV_CACHE_DAMAGE_COUNT", 200);
    const size_t seed = EnvironmentCount(L"CV_CACHE_DAMAGE_SEED", 20261207);
    cvtest::WriteText(JoinPath(root_, L"baseline.txt"), ToUtf8(FreshAnswers(kCampaignEvery)));
    UseCache(true);
    FreshAnswers(kCampaignEvery);
    catalog_ = nullptr;
    _stringx good = cvtest::MakeFolders(JoinPath(root_, L"good"));
    for (const _stringx& path : CacheFiles())
        ASSERT_TRUE(CopyFileW(path.c_str(), JoinPath(good, path.substr(path.rfind(L'\\') + 1)).c_str(), FALSE));
    ASSERT_FALSE(FilesIn(good, L"*.cache").empty());

    size_t crashes = 0, hangs = 0, wrong = 0, done = 0;
    constexpr size_t kBatch = 50;
    const _stringx log = JoinPath(root_, L"campaign.log");
    for (size_t next = 0; next < count;) {
        size_t batch = std::min(kBatch, count - next);
        DeleteFileW(log.c_str());
        _stringx argument = root_ + L"|" + log + _stringx::Formatted(L"|%zu|%zu|%zu", seed, next, batch);
        DWORD code = RunChildren("Damaged", {argument}, static_cast<DWORD>(batch) * 30000)[0];
        // Lines: "begin N", then "ok N kind" or "wrong N kind".
        std::istringstream lines(cvtest::ReadBytes(log));
        size_t begun = next, ended = next;
        bool open = false;
        for (std::string word, kind; lines >> word;) {
            size_t n = 0;
            lines >> n;
            if (word == "begin") {
                begun = n;
                open = true;
                continue;
            }
            lines >> kind;
            open = false;
            ended = n + 1;
            ++done;
            if (word == "wrong" && ++wrong <= 5) ADD_FAILURE() << "damaged cache file " << n << " (" << kind << ") changed an answer";
        }
        if (code == 0 && !open && ended == next + batch) {
            next += batch;
            continue;
        }
        if (code == kNotStarted) {
            ADD_FAILURE() << "no child could be started for damaged cache file " << next;
            break;
        }
        (code == STILL_ACTIVE ? hangs : crashes) += 1;
        ADD_FAILURE() << "damaged cache file " << begun << (code == STILL_ACTIVE ? " stalled" : " ended") << " its reader, code " << code;
        next = open ? begun + 1 : std::max(ended, next + 1);
    }
    std::printf("cache damage campaign, seed %zu: %zu files, %zu read, %zu crashes, %zu hangs, %zu wrong answers\n", seed,
                count, done, crashes, hangs, wrong);
    EXPECT_EQ(count, done);
}

// ---------------------------------------------------------------- the children of the tests above

class CacheChild : public cvtest::ComTest {
protected:
    void SetUp() override {
        if (ChildArguments().size() < 2) GTEST_SKIP() << "run by the module cache tests";
        ComTest::SetUp();
        root_ = ChildArguments()[0];
        output_ = ChildArguments()[1];
        std::wstring error;
        ASSERT_TRUE(manifest_.Read(JoinPath(root_, L"manifest.txt").str(), &error));
    }
    _stringx Answers(size_t every) {
        ComPtr<ComObject<MMCatalog>> catalog;
        catalog.Attach(ComObject<MMCatalog>::Make());
        EXPECT_EQ(S_OK, catalog->FinalConstruct());
        return CatalogAnswers(catalog.Get(), QueriesOf(manifest_, every));
    }
    _stringx root_, output_;
    CorpusManifest manifest_;
};

TEST_F(CacheChild, Answers) { cvtest::WriteText(output_, ToUtf8(Answers(13))); }

// Each damaged file in place of its good one, the others good; progress goes to the log as it
// happens, so the parent knows which file a crash or a stall met.
TEST_F(CacheChild, Damaged) {
    std::vector<_stringx> args = ChildArguments();
    ASSERT_EQ(5u, args.size());
    const uint64_t seed = _wtoi64(args[2].c_str());
    const size_t first = _wtoi64(args[3].c_str()), count = _wtoi64(args[4].c_str());
    const std::string baseline = cvtest::ReadBytes(JoinPath(root_, L"baseline.txt"));
    const _stringx cache = JoinPath(root_, L"profile\\CvMMUpdater2\\Cache");
    std::vector<_stringx> goods = FilesIn(JoinPath(root_, L"good"), L"*.cache");
    ASSERT_FALSE(goods.empty());
    unique_file log(CreateFileW(output_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr));
    auto note = [&](const std::string& line) {
        DWORD written = 0;
        WriteFile(log.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        FlushFileBuffers(log.get());
    };
    for (size_t i = first; i < first + count; ++i) {
        note("begin " + std::to_string(i) + "\n");
        for (const _stringx& path : FilesIn(cache, L"*")) DeleteFileW(path.c_str());
        DamageKind kind = DamageKind::Count;
        for (size_t g = 0; g < goods.size(); ++g) {
            std::string bytes = cvtest::ReadBytes(goods[g]);
            if (g == i % goods.size()) bytes = DamageModule(bytes, seed, static_cast<uint32_t>(i), kind);
            cvtest::WriteText(JoinPath(cache, goods[g].substr(goods[g].rfind(L'\\') + 1)), bytes);
        }
        const bool same = ToUtf8(Answers(kCampaignEvery)) == baseline;
        note((same ? "ok " : "wrong ") + std::to_string(i) + " " + DamageName(kind) + "\n");
    }
}

}  // namespace
