// The catalog's module list and its searches, over laid-out environments with generated modules.
#include <windows.h>
#include <gtest/gtest.h>
#include "CvMMUpdater2.h"
#include "cvmmupdater.h"
#include "server/Handles.h"
#include "tests/support/Environment.h"
#include "tests/support/TestSupport.h"

namespace {

const wchar_t kFull[] = L"FullModule.0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9";
const wchar_t kMulti[] = L"MultiLang.4E5F6071_8293_A4B5_C6D7_E8F90A1B2C3D";

_stringx Text(BSTR text) {
    _stringx result(text);
    SysFreeString(text);
    return result;
}

VARIANT Key(const wchar_t* key) {
    VARIANT v;
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(key);
    return v;
}

class CatalogModules : public cvtest::ComTest {
protected:
    ComPtr<IMMCatalog> NewCatalog() {
        ComPtr<IMMCatalog> catalog;
        EXPECT_EQ(S_OK, CoCreateInstance(CLSID_MMCatalog, nullptr, CLSCTX_INPROC_SERVER, IID_IMMCatalog,
                                         catalog.PutVoid()));
        return catalog;
    }
    static ComPtr<IModuleCollection> Modules(IMMCatalog* catalog) {
        ComPtr<IDispatch> modules;
        EXPECT_EQ(S_OK, catalog->GetModules(modules.Put()));
        ComPtr<IModuleCollection> typed;
        if (modules) modules.As(IID_IModuleCollection, typed);
        return typed;
    }
    static ComPtr<IMergeModule2> ModuleAt(IModuleCollection* modules, const wchar_t* key) {
        VARIANT index = Key(key);
        ComPtr<IDispatch> item;
        EXPECT_EQ(S_OK, modules->get_Item(index, item.Put()));
        VariantClear(&index);
        ComPtr<IMergeModule2> module;
        if (item) item.As(IID_IMergeModule2, module);
        return module;
    }
    static _stringx PathOf(IMergeModule2* module) {
        BSTR path = nullptr;
        EXPECT_EQ(S_OK, module->get_Path(&path));
        return Text(path);
    }
};

TEST_F(CatalogModules, LaterAndNamedLocationsWinAndTheGalleryOnlyFillsGaps) {
    cvtest::TestEnvironment env(L"catalog-precedence");
    _stringx first = env.AddSearchFolder(L"First"), second = env.AddSearchFolder(L"Second");
    _stringx named = env.AddSearchFolder(L"Named");
    _stringx inFirst = env.CopyFixture(L"full.msm", first);
    _stringx inSecond = env.CopyFixture(L"full.msm", second);
    env.SetSearchPath({first, second});
    env.WriteGalleryFile(L"Described.ini",
                         "[MergeModule]\r\nModuleID=Described.1\r\nLanguage=1033\r\nSubject=Described only\r\n");
    env.WriteGalleryFile(L"Shadowed.ini",
                         _stringx(L"[MergeModule]\r\nModuleID=") .AsNarrow() + std::string(_stringx(kFull).AsNarrow()) +
                             "\r\nLanguage=1033\r\nSubject=Gallery copy\r\n");

    ComPtr<IMMCatalog> catalog = NewCatalog();
    ComPtr<IModuleCollection> modules = Modules(catalog.Get());
    LONG count = 0;
    ASSERT_EQ(S_OK, modules->get_Count(&count));
    EXPECT_EQ(2, count) << "one module on disk under one key, one described only";
    _stringx key = _stringx(kFull) + L":1033";
    EXPECT_EQ(inSecond, PathOf(ModuleAt(modules.Get(), key.c_str()).Get())) << "the later location wins";
    EXPECT_TRUE(ModuleAt(modules.Get(), L"described.1:1033")) << "keys are found in any case";

    // A repository's folder stands first in the search path, yet its module wins over unnamed ones.
    _stringx inNamed = env.CopyFixture(L"full.msm", named);
    env.WriteRepositories({{named, L"Team modules"}});
    ComPtr<IMMCatalog> later = NewCatalog();
    modules = Modules(later.Get());
    ComPtr<IMergeModule2> winner = ModuleAt(modules.Get(), key.c_str());
    EXPECT_EQ(inNamed, PathOf(winner.Get()));
    BSTR source = nullptr;
    EXPECT_EQ(S_OK, winner->get_SourceLocation(&source));
    EXPECT_EQ(_stringx(L"Team modules"), Text(source));
}

TEST_F(CatalogModules, FindModuleByLanguageOrAny) {
    cvtest::TestEnvironment env(L"catalog-find");
    _stringx shelf = env.AddSearchFolder(L"Shelf");
    env.CopyFixture(L"multi-1033.msm", shelf);
    env.CopyFixture(L"multi-1031.msm", shelf);
    env.SetSearchPath({shelf});
    ComPtr<IMMCatalog> catalog = NewCatalog();

    struct Case {
        _stringx signature;
        LONG language;  // 0: nothing found
    } cases[] = {{_stringx(kMulti) + L":0", 1031}, {_stringx(kMulti) + L":1033", 1033},
                 {_stringx(kMulti) + L":1040", 0}, {L"Unknown.1:0", 0}};
    for (Case& c : cases) {
        ComPtr<IDispatch> found;
        EXPECT_EQ(S_OK, catalog->FindModule(c.signature.AsBSTR(), 0, found.Put()));
        ComPtr<IMergeModule2> module;
        if (found) found.As(IID_IMergeModule2, module);
        LONG language = 0;
        if (module) module->get_Language(&language);
        EXPECT_EQ(c.language, language) << c.signature.AsNarrow();
    }
    ComPtr<IDispatch> none;
    EXPECT_EQ(E_FAIL, catalog->FindModule(_stringx(kMulti).AsBSTR(), 0, none.Put()));
    EXPECT_FALSE(cvtest::TakeErrorInfo().present);
}

TEST_F(CatalogModules, FindModuleForFileByFolderVersionAndExclusions) {
    cvtest::TestEnvironment env(L"catalog-file");
    _stringx shelf = env.AddSearchFolder(L"Shelf");
    env.CopyFixture(L"multi-1031.msm", shelf);
    env.SetSearchPath({shelf});
    env.SetActiveProjectType(0);
    ComPtr<IMMCatalog> catalog = NewCatalog();

    auto find = [&](const wchar_t* path, const wchar_t* version, bool ex, LONG* language) {
        IMergeModule2* module = nullptr;
        VARIANT_BOOL found = VARIANT_FALSE;
        _stringx p(path), d(L""), v(version);
        HRESULT hr = ex ? catalog->FindModuleForFileEx(p.AsBSTR(), d.AsBSTR(), v.AsBSTR(), &module, &found)
                        : catalog->FindModuleForFile(p.AsBSTR(), d.AsBSTR(), v.AsBSTR(), &module, &found);
        EXPECT_EQ(S_OK, hr);
        *language = 0;
        if (module) {
            module->get_Language(language);
            module->Release();
        }
        return found == VARIANT_TRUE;
    };
    LONG language = 0;
    EXPECT_TRUE(find(L"[SystemFolder]shared.dll", L"3.0.0.0", true, &language));
    EXPECT_EQ(1031, language);
    EXPECT_FALSE(find(L"[SystemFolder]shared.dll", L"", true, &language)) << "an empty version counts as 0";
    EXPECT_FALSE(find(L"[SystemFolder]sub\\shared.dll", L"3.0.0.0", true, &language)) << "resolved folder differs";
    EXPECT_TRUE(find(L"[SystemFolder]sub\\shared.dll", L"3.0.0.0", false, &language)) << "switches off";

    // The workspace excludes the file from this module; the file-to-module index then names another.
    env.WriteSettingsDocument(
        "<Workbench><IDE><Workspaces><MM_FilesExlusion>"
        "<FilesExlusion MM_GUID=\"{a2c51b6d-c07e-4182-a3df-6e708192a3b4}\" InclusionFileNames=\"SHARED.DLL\"/>"
        "</MM_FilesExlusion></Workspaces></IDE></Workbench>");
    EXPECT_FALSE(find(L"[SystemFolder]shared.dll", L"3.0.0.0", true, &language));
    EXPECT_EQ(0, language);

}

TEST_F(CatalogModules, ExcludedPatternsAndTheIndexFallback) {
    cvtest::TestEnvironment env(L"catalog-fallback");
    _stringx shelf = env.AddSearchFolder(L"Shelf");
    env.CopyFixture(L"multi-1033.msm", shelf);
    env.SetSearchPath({shelf});
    env.SetExcludedFiles(L" *.tmp ,\tnever.*");
    env.WriteFilesToModulesIndex({{L"Elsewhere.dll", _stringx(L"0:") + kMulti + L":1033"}});
    ComPtr<IMMCatalog> catalog = NewCatalog();

    IMergeModule2* module = nullptr;
    VARIANT_BOOL found = 5;
    EXPECT_EQ(S_OK, catalog->FindModuleForFileEx(_stringx(L"[SystemFolder]never.dll").AsBSTR(), nullptr, nullptr,
                                                 &module, &found));
    EXPECT_EQ(nullptr, module);
    EXPECT_EQ(5, found) << "an excluded file name leaves both outs untouched";

    EXPECT_EQ(S_OK, catalog->FindModuleForFileEx(_stringx(L"[SystemFolder]elsewhere.dll").AsBSTR(), nullptr, nullptr,
                                                 &module, &found));
    ASSERT_NE(nullptr, module) << "no module delivers it, the index names one";
    EXPECT_EQ(5, found) << "found is left as it was";
    module->Release();
}

TEST_F(CatalogModules, RebuildsFollowChangesUnlessAutoRefreshIsOff) {
    cvtest::TestEnvironment env(L"catalog-refresh");
    _stringx shelf = env.AddSearchFolder(L"Shelf");
    env.CopyFixture(L"multi-1031.msm", shelf);
    env.SetSearchPath({shelf});
    ComPtr<IMMCatalog> one = NewCatalog(), two = NewCatalog();
    ComPtr<IModuleCollection> before = Modules(two.Get());

    ASSERT_EQ(S_OK, two->SetAutoRefresh(VARIANT_FALSE));
    env.CopyFixture(L"multi-1033.msm", shelf);
    EXPECT_EQ(before.Get(), Modules(two.Get()).Get()) << "no refresh: the same collection";

    // The first catalog sees the change and marks every catalog dirty; the second rebuilds when it may.
    ComPtr<IModuleCollection> seen = Modules(one.Get());
    LONG count = 0;
    seen->get_Count(&count);
    EXPECT_EQ(2, count);
    ASSERT_EQ(S_OK, two->SetAutoRefresh(VARIANT_TRUE));
    ComPtr<IModuleCollection> rebuilt = Modules(two.Get());
    EXPECT_NE(before.Get(), rebuilt.Get());
    rebuilt->get_Count(&count);
    EXPECT_EQ(2, count);
    before->get_Count(&count);
    EXPECT_EQ(1, count) << "a collection handed out earlier is a snapshot";

    // Module objects outlive every catalog.
    ComPtr<IMergeModule2> kept = ModuleAt(rebuilt.Get(), (_stringx(kMulti) + L":1031").c_str());
    one = nullptr;
    two = nullptr;
    seen = nullptr;
    rebuilt = nullptr;
    before = nullptr;
    BSTR id = nullptr;
    EXPECT_EQ(S_OK, kept->get_ModuleId(&id));
    EXPECT_EQ(_stringx(kMulti), Text(id));
}

TEST_F(CatalogModules, SearchLocationsListNamedFoldersAndEditTheSearchPath) {
    cvtest::TestEnvironment env(L"catalog-locations");
    _stringx plain = env.AddSearchFolder(L"Plain"), team = env.AddSearchFolder(L"Team");
    env.CopyFixture(L"multi-1031.msm", team);
    env.SetSearchPath({plain});
    env.WriteRepositories({{team, L"Team modules"}});
    ComPtr<IMMCatalog> catalog = NewCatalog();

    ComPtr<IDispatch> found;
    ASSERT_EQ(S_OK, catalog->GetSearchLocations(found.Put()));
    ComPtr<ISearchLocationCollection> locations;
    ASSERT_EQ(S_OK, found.As(IID_ISearchLocationCollection, locations));
    LONG count = 0;
    locations->get_Count(&count);
    ASSERT_EQ(1, count) << "only named locations";
    VARIANT first = Key(L"1");
    ComPtr<IDispatch> item;
    ASSERT_EQ(S_OK, locations->get_Item(first, item.Put()));
    ComPtr<ISearchLocationItem> location;
    ASSERT_EQ(S_OK, item.As(IID_ISearchLocationItem, location));
    BSTR text = nullptr;
    location->get_DisplayName(&text);
    EXPECT_EQ(_stringx(L"Team modules"), Text(text));
    ComPtr<IDispatch> modules;
    ASSERT_EQ(S_OK, location->get_Modules(modules.Put()));
    ComPtr<IModuleCollection> typed;
    ASSERT_EQ(S_OK, modules.As(IID_IModuleCollection, typed));
    typed->get_Count(&count);
    EXPECT_EQ(1, count);

    VARIANT none;
    VariantInit(&none);
    EXPECT_EQ(S_OK, locations->AddSearchFolder(plain.Upper().AsBSTR(), none, none));
    EXPECT_EQ(plain, env.Get(L"MergeModules", L"SearchPath")) << "a folder already there, in any case";
    _stringx extra = env.AddSearchFolder(L"Extra");
    EXPECT_EQ(S_OK, locations->AddSearchFolder(extra.AsBSTR(), none, none));
    EXPECT_EQ(plain + L"," + extra + L"\\", env.Get(L"MergeModules", L"SearchPath"));

    LONG result = 7;
    EXPECT_EQ(S_OK, locations->RemoveSearchLocation(first, &result));
    EXPECT_EQ(0, result);
    locations->get_Count(&count);
    EXPECT_EQ(0, count);
    EXPECT_EQ(plain + L"," + extra, env.Get(L"MergeModules", L"SearchPath")) << "rewritten as split, kept folders";
    VariantClear(&first);
}

}  // namespace
