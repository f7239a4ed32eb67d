// The search-location list: search path texts, repositories, the listed folders, and how the list
// follows their changes.
#include <windows.h>
#include <gtest/gtest.h>
#include "catalog/SearchLocationList.h"
#include "server/SiblingLoader.h"
#include "tests/support/Environment.h"
#include "tests/support/TestSupport.h"

namespace {

using Row = std::tuple<_stringx, _stringx, SHORT>;  // folder, display name, kind

class Sources : public cvtest::ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        ASSERT_EQ(S_OK, CreateSiblingObject(L"CvAppServices.dll", CLSID_AppServices, IID_IAppSettings, settings_.PutVoid()));
        ASSERT_EQ(S_OK, settings_.As(IID_IAppFolders, folders_));
    }
    void TearDown() override {
        SearchLocationList::Instance().Clear();
        settings_ = nullptr;
        folders_ = nullptr;
        ComTest::TearDown();
    }
    // Every location in list order.
    std::vector<Row> Update(bool* changedOut = nullptr) {
        bool changed = false;
        std::vector<Row> seen;
        for (const auto& location : SearchLocationList::Instance().Update(settings_.Get(), folders_.Get(), names_, changed))
            seen.emplace_back(location->Folder(), location->DisplayName(), location->Kind());
        if (changedOut) *changedOut = changed;
        return seen;
    }

    ComPtr<IAppSettings> settings_;
    ComPtr<IAppFolders> folders_;
    DisplayNameMap names_;
};

TEST_F(Sources, RepositoriesStandBeforeTheSearchPathLaterOnesFirst) {
    cvtest::TestEnvironment env(L"sources-repositories");
    _stringx f1 = env.AddSearchFolder(L"F1"), f2 = env.AddSearchFolder(L"F2"), t = env.AddSearchFolder(L"T");
    _stringx plain = env.AddSearchFolder(L"Plain");
    env.WriteRepositories({{f1, L"First"}, {L"", L"No folder"}, {f2, L"Second"}, {plain, L""}});
    env.SetSearchPath({t});
    std::vector<Row> expected = {Row(plain, L"", 0), Row(f2, L"Second", 0), Row(f1, L"First", 0), Row(t, L"", 0)};
    EXPECT_EQ(expected, Update());
    EXPECT_EQ(_stringx(L"First"), names_.at(f1.Lower()));
}

TEST_F(Sources, BothSearchPathTextsCleanedUpThenListedFolders) {
    cvtest::TestEnvironment env(L"sources-texts");
    _stringx a = env.AddSearchFolder(L"A"), b = env.AddSearchFolder(L"B"), c = env.AddSearchFolder(L"C");
    _stringx listed = env.AddSearchFolder(L"Listed");
    SetEnvironmentVariableW(L"CV_SOURCES_B", b.c_str());
    // Trailing backslash removed, variable expanded, missing folder skipped, case ignored.
    env.SetSearchPathText(a + L"\\, %CV_SOURCES_B%," + JoinPath(env.Root(), L"Missing") + L"," + a.Upper());
    env.SetSecondSearchPath(c);
    env.SetModuleFolders({listed, JoinPath(env.Root(), L"NotThere")});
    std::vector<Row> expected = {Row(c, L"", 0), Row(a, L"", 0), Row(b, L"", 0), Row(listed, L"", 1)};
    EXPECT_EQ(expected, Update());

    env.SetSearchPathText(L"");
    env.SetSecondSearchPath(L"");
    bool changed = false;
    expected = {Row(listed, L"", 1)};
    EXPECT_EQ(expected, Update(&changed));
    EXPECT_TRUE(changed);
}

TEST_F(Sources, RemovedFoldersLiveWhileUsedAndComeBackAsNewLocations) {
    cvtest::TestEnvironment env(L"sources-park");
    _stringx shelf = env.AddSearchFolder(L"Shelf");
    env.CopyFixture(L"full.msm", shelf);
    env.SetSearchPath({shelf});
    bool changed = true;
    ASSERT_EQ(1u, Update(&changed).size());
    EXPECT_TRUE(changed) << "a new location is a change";
    Update(&changed);
    EXPECT_FALSE(changed);
    // What a module object and a location item hold.
    std::shared_ptr<const CatalogEntry> entry = SearchLocationList::Instance().Locations().front()->Modules()->begin()->second;
    std::weak_ptr<SearchLocation> first = SearchLocationList::Instance().Locations().front();

    env.SetSearchPathText(L"");
    EXPECT_TRUE(Update(&changed).empty());
    EXPECT_TRUE(changed);
    EXPECT_TRUE(first.expired()) << "a removed location that nobody uses is gone";
    EXPECT_EQ(1033, entry->Language()) << "entries in use outlive their location";

    env.SetSearchPath({shelf});
    ASSERT_EQ(1u, Update(&changed).size());
    std::shared_ptr<const SearchLocation> again = SearchLocationList::Instance().Locations().front();
    EXPECT_EQ(1u, again->Modules()->size()) << "scanned when made";
    EXPECT_NE(entry, again->Modules()->begin()->second);

    // Removed a second time: the location and entry in use still work (the heap is churned so that
    // freed ones would be overwritten).
    env.SetSearchPathText(L"");
    EXPECT_TRUE(Update(&changed).empty());
    std::vector<std::wstring> churn(2000, std::wstring(40, L'x'));
    EXPECT_EQ(1033, entry->Language());
    EXPECT_EQ(1u, again->Modules()->size());
}

}  // namespace
