// The catalog's module list and its searches, over laid-out environments with generated modules.
#include <windows.h>
#include <gtest/gtest.h>
#include <functional>
#include "CvMMUpdater2.h"
#include "cvmmupdater.h"
#include "base/Handles.h"
#include "tests/collections/PropertyText.h"
#include "tests/support/Environment.h"
#include "tests/support/TestSupport.h"

namespace {
using cvtest::Props;

const wchar_t kFull[] = L"FullModule.0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9";
const wchar_t kMulti[] = L"MultiLang.4E5F6071_8293_A4B5_C6D7_E8F90A1B2C3D";

ComPtr<IMMCatalog> NewCatalog() {
    ComPtr<IMMCatalog> catalog;
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_MMCatalog, nullptr, CLSCTX_INPROC_SERVER, IID_IMMCatalog,
                                     catalog.PutVoid()));
    return catalog;
}

ComPtr<IModuleCollection> Modules(IMMCatalog* catalog) {
    ComPtr<IDispatch> modules;
    ComPtr<IModuleCollection> typed;
    EXPECT_EQ(S_OK, catalog->GetModules(modules.Put()));
    EXPECT_EQ(S_OK, modules.As(IID_IModuleCollection, typed));
    return typed;
}

// The item under a text key; null when there is none.
template <typename Collection>
ComPtr<IDispatch> ItemAt(Collection* collection, _stringx key) {
    VARIANT index;
    V_VT(&index) = VT_BSTR;
    V_BSTR(&index) = key.AsBSTR();
    ComPtr<IDispatch> item;
    EXPECT_EQ(S_OK, collection->get_Item(index, item.Put()));
    return item;
}

// A search folder holding the given generated modules, the only one on the search path.
_stringx Shelf(cvtest::TestEnvironment& env, std::initializer_list<const wchar_t*> fixtures) {
    _stringx shelf = env.AddSearchFolder(L"Shelf");
    for (const wchar_t* fixture : fixtures) env.CopyFixture(fixture, shelf);
    env.SetSearchPath({shelf});
    return shelf;
}

using CatalogModules = cvtest::ComTest;

TEST_F(CatalogModules, LaterAndNamedLocationsWinAndTheGalleryOnlyFillsGaps) {
    cvtest::TestEnvironment env(L"catalog-precedence");
    _stringx first = env.AddSearchFolder(L"First"), second = env.AddSearchFolder(L"Second");
    env.CopyFixture(L"full.msm", first);
    _stringx inSecond = env.CopyFixture(L"full.msm", second);
    env.SetSearchPath({first, second});
    env.WriteGalleryFile(L"Described.ini", "[MergeModule]\r\nModuleID=Described.1\r\nLanguage=1033\r\nVersion=1.2\r\n"
                                           "Author=Makers\r\nComments=All\r\nSubject=Runtime\r\n");
    env.WriteGalleryFile(L"Shadowed.ini", "[MergeModule]\r\nLanguage=1033\r\nSubject=Gallery copy\r\nModuleID=" +
                                              std::string(_stringx(kFull).AsNarrow()) + "\r\n");
    const _stringx key = _stringx(kFull) + L":1033";

    ComPtr<IMMCatalog> catalog = NewCatalog();
    ComPtr<IModuleCollection> modules = Modules(catalog.Get());
    EXPECT_EQ(L"#2|" + inSecond,
              Props(modules.Get(), {L"Count"}) + L"|" + Props(ItemAt(modules.Get(), key).Get(), {L"Path"}))
        << "one module on disk under one key, the later location's; one described only";
    EXPECT_EQ(_stringx(L"Described.1:1033|1.2|Makers|All|Runtime|Described|"),
              Props(ItemAt(modules.Get(), L"described.1:1033").Get(),
                    {L"EntryKey", L"Version", L"Author", L"Comments", L"Subject", L"RevisionNumber", L"Path"}))
        << "keys are found in any case";

    // A repository's folder stands before the search path, yet its module wins over unnamed ones.
    _stringx named = env.AddSearchFolder(L"Named");
    _stringx inNamed = env.CopyFixture(L"full.msm", named);
    env.WriteRepositories({{named, L"Team modules"}});
    catalog = NewCatalog();
    modules = Modules(catalog.Get());
    EXPECT_EQ(inNamed + L"|Team modules", Props(ItemAt(modules.Get(), key).Get(), {L"Path", L"SourceLocation"}));
}

TEST_F(CatalogModules, FindModuleByLanguageOrAny) {
    cvtest::TestEnvironment env(L"catalog-find");
    Shelf(env, {L"multi-1033.msm", L"multi-1031.msm"});
    ComPtr<IMMCatalog> catalog = NewCatalog();
    struct {
        _stringx signature;
        const wchar_t* language;
    } cases[] = {{_stringx(kMulti) + L":0", L"#1031"},
                 {_stringx(kMulti) + L":1033", L"#1033"},
                 {_stringx(kMulti) + L":1040", L"<no object>"},
                 {L"Unknown.1:0", L"<no object>"}};
    for (auto& c : cases) {
        ComPtr<IDispatch> found;
        EXPECT_EQ(S_OK, catalog->FindModule(c.signature.AsBSTR(), 0, found.Put()));
        EXPECT_EQ(_stringx(c.language), Props(found.Get(), {L"Language"})) << c.signature.AsNarrow();
    }
    ComPtr<IDispatch> none;
    EXPECT_EQ(E_FAIL, catalog->FindModule(_stringx(kMulti).AsBSTR(), 0, none.Put())) << "no language given";
    EXPECT_FALSE(cvtest::TakeErrorInfo().present);
    EXPECT_EQ(E_POINTER, catalog->FindModule((_stringx(kMulti) + L":1033").AsBSTR(), 0, nullptr))
        << "a match is handed out through the out pointer";
    EXPECT_EQ(S_OK, catalog->FindModule(_stringx(L"Unknown.1:0").AsBSTR(), 0, nullptr)) << "no match, nothing to hand out";

    // When one variant goes away, any language gives the other, whichever of the two went.
    for (const wchar_t* gone : {L"1031", L"1033"}) {
        _stringx shelf = Shelf(env, {L"multi-1033.msm", L"multi-1031.msm"});
        LONG ignored = 0;
        ASSERT_EQ(S_OK, catalog->Refresh(&ignored));
        ComPtr<IDispatch> found;
        ASSERT_EQ(S_OK, catalog->FindModule((_stringx(kMulti) + L":0").AsBSTR(), 0, found.Put()));
        EXPECT_EQ(_stringx(L"#1031"), Props(found.Get(), {L"Language"}));
        ASSERT_TRUE(DeleteFileW(JoinPath(shelf, L"multi-" + _stringx(gone) + L".msm").c_str()));
        ASSERT_EQ(S_OK, catalog->Refresh(&ignored));
        ASSERT_EQ(S_OK, catalog->FindModule((_stringx(kMulti) + L":0").AsBSTR(), 0, found.Put()));
        EXPECT_EQ(_stringx(gone) == L"1031" ? _stringx(L"#1033") : _stringx(L"#1031"), Props(found.Get(), {L"Language"}))
            << "after " << _stringx(gone).AsNarrow() << " went";
    }
}

// "<found>|<language of the module handed out>" for one file search.
_stringx FindForFile(IMMCatalog* catalog, const wchar_t* path, const wchar_t* version, bool ex = true) {
    ComPtr<IMergeModule2> module;
    VARIANT_BOOL found = VARIANT_FALSE;
    _stringx p(path), d(L""), v(version);
    EXPECT_EQ(S_OK, ex ? catalog->FindModuleForFileEx(p.AsBSTR(), d.AsBSTR(), v.AsBSTR(), module.Put(), &found)
                       : catalog->FindModuleForFile(p.AsBSTR(), d.AsBSTR(), v.AsBSTR(), module.Put(), &found));
    return _stringx::Formatted(L"%d|", found) + Props(module.Get(), {L"Language"});
}

TEST_F(CatalogModules, FindModuleForFileByFolderVersionAndExclusions) {
    cvtest::TestEnvironment env(L"catalog-file");
    Shelf(env, {L"multi-1031.msm"});
    env.SetActiveProjectType(0);
    ComPtr<IMMCatalog> catalog = NewCatalog();

    EXPECT_EQ(_stringx(L"-1|#1031"), FindForFile(catalog.Get(), L"[SystemFolder]shared.dll", L"3.0.0.0"));
    EXPECT_EQ(_stringx(L"0|<no object>"), FindForFile(catalog.Get(), L"[SystemFolder]shared.dll", L""))
        << "an empty version counts as 0";
    EXPECT_EQ(_stringx(L"0|<no object>"), FindForFile(catalog.Get(), L"[SystemFolder]sub\\shared.dll", L"3.0.0.0"))
        << "resolved folder differs";
    EXPECT_EQ(_stringx(L"-1|#1031"), FindForFile(catalog.Get(), L"[SystemFolder]sub\\shared.dll", L"3.0.0.0", false))
        << "the environment's switches are off";

    // A module that comes in through the [in, out] parameter is let go of when another is handed out,
    // and left to the caller when none is (the fixture checks that no object is left).
    for (const wchar_t* version : {L"3.0.0.0", L"9.9.9.9"}) {
        ComPtr<IMergeModule2> held;
        VARIANT_BOOL found = VARIANT_FALSE;
        _stringx p(L"[SystemFolder]shared.dll"), d(L""), v(version), other(L"3.0.0.0");
        ASSERT_EQ(S_OK, catalog->FindModuleForFileEx(p.AsBSTR(), d.AsBSTR(), other.AsBSTR(), held.Put(), &found));
        IMergeModule2* inOut = held.Detach();
        ASSERT_TRUE(inOut);
        EXPECT_EQ(S_OK, catalog->FindModuleForFileEx(p.AsBSTR(), d.AsBSTR(), v.AsBSTR(), &inOut, &found));
        if (inOut) inOut->Release();
    }

    // The workspace excludes the file from this module.
    env.WriteSettingsDocument(
        "<Workbench><IDE><Workspaces><MM_FilesExlusion>"
        "<FilesExlusion MM_GUID=\"{a2c51b6d-c07e-4182-a3df-6e708192a3b4}\" InclusionFileNames=\"SHARED.DLL\"/>"
        "</MM_FilesExlusion></Workspaces></IDE></Workbench>");
    EXPECT_EQ(_stringx(L"0|<no object>"), FindForFile(catalog.Get(), L"[SystemFolder]shared.dll", L"3.0.0.0"));
}

// The full module delivers zeta.dll 1.2.3.4 to [SystemFolder]MyDir (directory key MyDir), top.cfg and
// "BARS~1.DAT|Bars|Twice.dat" without a version.
TEST_F(CatalogModules, FileSearchSwitchesDirectoryKeysAndLongNames) {
    cvtest::TestEnvironment env(L"catalog-switches");
    Shelf(env, {L"full.msm"});
    env.SetActiveProjectType(0);
    ComPtr<IMMCatalog> catalog = NewCatalog();
    const struct {
        const wchar_t* matchDirectoryKey;  // the environment's switches, read by FindModuleForFile only
        const wchar_t* matchResolvedFolder;
        bool ex;
        const wchar_t* path;
        const wchar_t* directoryKey;
        const wchar_t* version;
        bool found;
    } cases[] = {
        {L"0", L"0", false, L"[SystemFolder]Elsewhere\\ZETA.DLL", L"Sub", L"1.2.3.4", true},
        {L"1", L"0", false, L"[SystemFolder]Elsewhere\\zeta.dll", L"Sub", L"1.2.3.4", false},
        {L"1", L"0", false, L"[SystemFolder]Elsewhere\\zeta.dll", L"mydir", L"1.2.3.4", true},
        {L"0", L"1", false, L"[SystemFolder]Elsewhere\\zeta.dll", L"Sub", L"1.2.3.4", false},
        {L"0", L"1", false, L"[SystemFolder]mydir\\zeta.dll", L"Sub", L"1.2.3.4", true},
        {L"1", L"1", true, L"[SystemFolder]MyDir\\zeta.dll", L"Sub", L"1.2.3.4", false},
        {L"0", L"0", true, L"[SystemFolder]MyDir\\zeta.dll", L"MYDIR", L"1.2.3.4", true},
        {L"0", L"0", true, L"[SystemFolder]Elsewhere\\zeta.dll", L"MyDir", L"1.2.3.4", false},
        {L"0", L"0", false, L"[SystemFolder]x\\Bars|Twice.dat", L"", L"", true},  // after the first bar
        {L"0", L"0", false, L"[SystemFolder]x\\Twice.dat", L"", L"", false},
        {L"0", L"0", false, L"[SystemFolder]x\\top.cfg", L"", L"0", true},  // no version counts as "0"
        {L"0", L"0", false, L"[SystemFolder]x\\top.cfg", L"", L"1.0", false},
    };
    for (const auto& c : cases) {
        env.Set(L"MergeModules", L"MatchDirectoryKey", c.matchDirectoryKey);
        env.Set(L"MergeModules", L"MatchResolvedFolder", c.matchResolvedFolder);
        _stringx path(c.path), key(c.directoryKey), version(c.version);
        ComPtr<IMergeModule2> module;
        VARIANT_BOOL found = VARIANT_FALSE;
        EXPECT_EQ(S_OK, c.ex ? catalog->FindModuleForFileEx(path.AsBSTR(), key.AsBSTR(), version.AsBSTR(), module.Put(),
                                                            &found)
                             : catalog->FindModuleForFile(path.AsBSTR(), key.AsBSTR(), version.AsBSTR(), module.Put(),
                                                          &found));
        EXPECT_EQ(c.found ? _stringx(kFull) : _stringx(L"<no object>"), Props(module.Get(), {L"ModuleId"}))
            << (path + L" " + key + L" " + c.matchDirectoryKey + c.matchResolvedFolder + (c.ex ? L" Ex" : L"")).AsNarrow();
    }
}

TEST_F(CatalogModules, ExcludedPatternsAndTheIndexFallback) {
    cvtest::TestEnvironment env(L"catalog-fallback");
    Shelf(env, {L"multi-1033.msm"});
    env.SetExcludedFiles(L" *.tmp ,\tnever.*");
    env.WriteFilesToModulesIndex({{L"Elsewhere.dll", _stringx(L"0:") + kMulti + L":1033"},
                                  {L"never.dll", _stringx(L"0:") + kMulti + L":1033"}});
    ComPtr<IMMCatalog> catalog = NewCatalog();
    const struct {
        const wchar_t* file;
        const wchar_t* module;
    } cases[] = {{L"never.dll", L"<no object>"},  // excluded before the index is asked
                 {L"elsewhere.dll", L"#1033"}};    // no module delivers it, the index names one
    for (const auto& c : cases) {
        ComPtr<IMergeModule2> module;
        VARIANT_BOOL found = 5;
        EXPECT_EQ(S_OK, catalog->FindModuleForFileEx((L"[SystemFolder]" + _stringx(c.file)).AsBSTR(), nullptr,
                                                     nullptr, module.Put(), &found));
        EXPECT_EQ(5, found) << "found is left as it was";
        EXPECT_EQ(_stringx(c.module), Props(module.Get(), {L"Language"})) << _stringx(c.file).AsNarrow();
    }
}

TEST_F(CatalogModules, RebuildsFollowChangesUnlessAutoRefreshIsOff) {
    cvtest::TestEnvironment env(L"catalog-refresh");
    _stringx shelf = Shelf(env, {L"multi-1031.msm"});
    ComPtr<IMMCatalog> one = NewCatalog(), two = NewCatalog();
    ComPtr<IModuleCollection> before = Modules(two.Get());

    ASSERT_EQ(S_OK, two->SetAutoRefresh(VARIANT_FALSE));
    env.CopyFixture(L"multi-1033.msm", shelf);
    EXPECT_EQ(before.Get(), Modules(two.Get()).Get()) << "no refresh: the same collection";

    // The first catalog sees the change and marks every catalog dirty; the second rebuilds when it may.
    EXPECT_EQ(_stringx(L"#2"), Props(Modules(one.Get()).Get(), {L"Count"}));
    ASSERT_EQ(S_OK, two->SetAutoRefresh(VARIANT_TRUE));
    ComPtr<IModuleCollection> rebuilt = Modules(two.Get());
    EXPECT_NE(before.Get(), rebuilt.Get());
    EXPECT_EQ(_stringx(L"#2|#1"), Props(rebuilt.Get(), {L"Count"}) + L"|" + Props(before.Get(), {L"Count"}))
        << "a collection handed out earlier is a snapshot";

    // A folder added to the search path shows at the next read.
    _stringx added = env.AddSearchFolder(L"Added");
    env.CopyFixture(L"full.msm", added);
    env.SetSearchPath({shelf, added});
    EXPECT_EQ(_stringx(L"#3"), Props(Modules(two.Get()).Get(), {L"Count"}));

    ComPtr<IDispatch> kept = ItemAt(rebuilt.Get(), _stringx(kMulti) + L":1031");
    one = two = nullptr;
    rebuilt = before = nullptr;
    EXPECT_EQ(_stringx(kMulti), Props(kept.Get(), {L"ModuleId"})) << "module objects outlive every catalog";
}

// "Key|Path" of every module the catalog lists, in its order.
_stringx Listing(IMMCatalog* catalog) {
    ComPtr<IModuleCollection> modules = Modules(catalog);
    LONG count = 0;
    EXPECT_EQ(S_OK, modules->get_Count(&count));
    _stringx listing;
    for (LONG i = 1; i <= count; ++i) listing += Props(cvtest::ItemAt(modules.Get(), i).Get(), {L"EntryKey", L"Path"}) + L"\n";
    return listing;
}

// A rescan walks the folder's sorted names beside its entries: with names whose order differs with
// and without case, a file added, replaced or removed in the middle leaves the catalog as a fresh
// one over the folder, and a rescan that finds nothing changed rebuilds nothing.
TEST_F(CatalogModules, RescanListsAsAFreshCatalog) {
    cvtest::TestEnvironment env(L"catalog-rescan");
    _stringx shelf = env.AddSearchFolder(L"Shelf");
    env.SetSearchPath({shelf});
    // By code units A, Z, _x, b; without case _x, A, b, Z.
    env.CopyFixture(L"deps-top.msm", shelf, L"b.msm");
    env.CopyFixture(L"deps-mid.msm", shelf, L"A.msm");
    env.CopyFixture(L"deps-base.msm", shelf, L"_x.msm");
    env.CopyFixture(L"deps-cycle-a.msm", shelf, L"Z.msm");
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const struct {
        const char* what;
        std::function<void()> change;
        bool rebuilds, listsOtherwise;
    } steps[] = {
        {"nothing", [] {}, false, false},
        {"added in the middle", [&] { env.CopyFixture(L"deps-cycle-b.msm", shelf, L"N.msm"); }, true, true},
        {"replaced in the middle",
         [&] { cvtest::SetWriteTime(env.CopyFixture(L"multi-1031.msm", shelf, L"N.msm"), now, 60); }, true, true},
        {"touched in the middle", [&] { cvtest::SetWriteTime(JoinPath(shelf, L"N.msm"), now, 120); }, true, false},
        {"removed from the middle", [&] { EXPECT_TRUE(DeleteFileW(JoinPath(shelf, L"N.msm").c_str())); }, true, true},
    };
    ComPtr<IMMCatalog> catalog = NewCatalog();
    _stringx before = Listing(catalog.Get());
    for (const auto& step : steps) {
        ComPtr<IModuleCollection> held = Modules(catalog.Get());
        step.change();
        LONG ignored = 0;
        ASSERT_EQ(S_OK, catalog->Refresh(&ignored));
        ComPtr<IModuleCollection> published = Modules(catalog.Get());
        EXPECT_EQ(step.rebuilds, held.Get() != published.Get()) << step.what;
        _stringx rescanned = Listing(catalog.Get());
        EXPECT_EQ(step.listsOtherwise, before != rescanned) << step.what;
        ASSERT_EQ(S_OK, catalog->Refresh(&ignored));
        EXPECT_EQ(published.Get(), Modules(catalog.Get()).Get()) << "rebuilt with nothing changed, after " << step.what;
        // With every catalog released the locations are scanned anew.
        held = nullptr;
        published = nullptr;
        catalog = nullptr;
        catalog = NewCatalog();
        EXPECT_EQ(Listing(catalog.Get()), rescanned) << step.what;
        before = rescanned;
    }
}

TEST_F(CatalogModules, SearchLocationsListNamedFoldersAndEditTheSearchPath) {
    cvtest::TestEnvironment env(L"catalog-locations");
    _stringx plain = env.AddSearchFolder(L"Plain"), team = env.AddSearchFolder(L"Team");
    env.CopyFixture(L"multi-1031.msm", team);
    env.SetSearchPath({plain});
    env.WriteRepositories({{team, L"Team modules"}});
    ComPtr<IMMCatalog> catalog = NewCatalog();

    ComPtr<IDispatch> found;
    ComPtr<ISearchLocationCollection> locations;
    ASSERT_EQ(S_OK, catalog->GetSearchLocations(found.Put()));
    ASSERT_EQ(S_OK, found.As(IID_ISearchLocationCollection, locations));
    ASSERT_EQ(_stringx(L"#1"), Props(locations.Get(), {L"Count"})) << "only named locations";
    ComPtr<ISearchLocationItem> location;
    ASSERT_EQ(S_OK, ItemAt(locations.Get(), L"1").As(IID_ISearchLocationItem, location));
    ComPtr<IDispatch> modules;
    ASSERT_EQ(S_OK, location->get_Modules(modules.Put()));
    EXPECT_EQ(_stringx(L"Team modules|#1"),
              Props(location.Get(), {L"DisplayName"}) + L"|" + Props(modules.Get(), {L"Count"}));

    VARIANT none, first;
    VariantInit(&none);
    EXPECT_EQ(S_OK, locations->AddSearchFolder(plain.Upper().AsBSTR(), none, none));
    EXPECT_EQ(plain, env.Get(L"MergeModules", L"SearchPath")) << "a folder already there, in any case";
    _stringx extra = env.AddSearchFolder(L"Extra");
    EXPECT_EQ(S_OK, locations->AddSearchFolder(extra.AsBSTR(), none, none));
    EXPECT_EQ(plain + L"," + extra + L"\\", env.Get(L"MergeModules", L"SearchPath"));
    // The empty text would add the drive's root: refused, with error information like every failure here.
    EXPECT_EQ(E_INVALIDARG, locations->AddSearchFolder(_stringx(L"").AsBSTR(), none, none));
    cvtest::ErrorInfoText error = cvtest::TakeErrorInfo();
    EXPECT_EQ(_stringx(L"CvMMUpdater.MMCatalog.1"), error.source);
    EXPECT_FALSE(error.description.empty());
    EXPECT_EQ(plain + L"," + extra + L"\\", env.Get(L"MergeModules", L"SearchPath"));

    LONG result = 7;
    V_VT(&first) = VT_I4;
    V_I4(&first) = 1;
    EXPECT_EQ(S_OK, locations->RemoveSearchLocation(first, &result));
    EXPECT_EQ(0, result);
    EXPECT_EQ(_stringx(L"#0"), Props(locations.Get(), {L"Count"}));
    EXPECT_EQ(plain + L"," + extra, env.Get(L"MergeModules", L"SearchPath")) << "rewritten as split, kept folders";
}

}  // namespace

namespace {
TEST_F(CatalogModules, AFailedRebuildIsTriedAgainAtTheNextRead) {
    cvtest::TestEnvironment env(L"catalog-failed-rebuild");
    _stringx shelf = Shelf(env, {L"multi-1031.msm"});
    _stringx described = env.WriteGalleryFile(L"Described.ini", "[MergeModule]\r\nModuleID=Described.1\r\nLanguage=0\r\n");
    ComPtr<IMMCatalog> catalog = NewCatalog();
    EXPECT_EQ(_stringx(L"#2"), Props(Modules(catalog.Get()).Get(), {L"Count"}));

    // The gallery file cannot be read while the rebuild runs: the read fails and publishes nothing.
    HANDLE locked = CreateFileW(described.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, locked);
    env.CopyFixture(L"multi-1033.msm", shelf);
    ComPtr<IDispatch> modules;
    EXPECT_TRUE(FAILED(catalog->GetModules(modules.Put())));
    EXPECT_EQ(_stringx(L"CvMMUpdater.MMCatalog.1"), cvtest::TakeErrorInfo().source);
    CloseHandle(locked);
    EXPECT_EQ(_stringx(L"#3"), Props(Modules(catalog.Get()).Get(), {L"Count"})) << "complete once it can be read";
}
}  // namespace

namespace {
// A module another process holds while it is read (a move under way, a writer) reads as unreadable,
// but only until it is free: its header, or its list, is read again at the next read of the catalog,
// and a later catalog does not take the verdict from the module cache.
TEST_F(CatalogModules, AModuleInUseWhenReadIsReadAgainOnceFree) {
    cvtest::TestEnvironment env(L"catalog-in-use");
    _stringx shelf = Shelf(env, {});
    // The module cache on, in a profile of the test's own.
    wchar_t profile[MAX_PATH] = L"";
    GetEnvironmentVariableW(L"LOCALAPPDATA", profile, MAX_PATH);
    SetEnvironmentVariableW(L"LOCALAPPDATA", env.AddSearchFolder(L"profile").c_str());
    SetEnvironmentVariableW(L"CVMMUPDATER_CACHE", L"1");
    struct Restore {
        const wchar_t* profile;
        ~Restore() {
            SetEnvironmentVariableW(L"LOCALAPPDATA", profile);
            SetEnvironmentVariableW(L"CVMMUPDATER_CACHE", L"0");
        }
    } restore{profile};
    const struct {
        const char* holder;
        DWORD access, share;
    } holders[] = {
        {"a move under way", DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE},
        {"a writer", GENERIC_WRITE, FILE_SHARE_READ},
    };
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    _stringx signature = _stringx(kMulti) + L":1033";
    for (const auto& h : holders) {
        // Settled times: the cache would keep what it is told.
        _stringx path = env.CopyFixture(L"multi-1033.msm", shelf, L"held.msm");
        cvtest::SetWriteTime(path, now, -600);
        unique_file held;
        auto hold = [&] {
            held.reset(CreateFileW(path.c_str(), h.access, h.share, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(held) << h.holder;
        };
        auto found = [&](IMMCatalog* catalog) {
            ComPtr<IDispatch> module;
            EXPECT_EQ(S_OK, catalog->FindModule(signature.AsBSTR(), 0, module.Put()));
            return static_cast<bool>(module);
        };
        LONG ignored = 0;
        hold();
        ComPtr<IMMCatalog> catalog = NewCatalog();
        EXPECT_FALSE(found(catalog.Get())) << h.holder;
        catalog = nullptr;
        held.reset();
        catalog = NewCatalog();
        EXPECT_TRUE(found(catalog.Get())) << h.holder << ": a later catalog";

        cvtest::SetWriteTime(path, now, -500);
        hold();
        ASSERT_EQ(S_OK, catalog->Refresh(&ignored));
        EXPECT_FALSE(found(catalog.Get())) << h.holder;
        held.reset();
        ASSERT_EQ(S_OK, catalog->Refresh(&ignored));
        EXPECT_TRUE(found(catalog.Get())) << h.holder << ": the header read again";

        cvtest::SetWriteTime(path, now, -400);
        ASSERT_EQ(S_OK, catalog->Refresh(&ignored));
        hold();
        EXPECT_EQ(_stringx(L"0|<no object>"), FindForFile(catalog.Get(), L"[SystemFolder]shared.dll", L"3.0.0.0"));
        held.reset();
        ASSERT_EQ(S_OK, catalog->Refresh(&ignored));
        EXPECT_EQ(_stringx(L"-1|#1033"), FindForFile(catalog.Get(), L"[SystemFolder]shared.dll", L"3.0.0.0"))
            << h.holder << ": the list read again";
        catalog = nullptr;
        ASSERT_TRUE(DeleteFileW(path.c_str()));
    }
}
}  // namespace
