// The repository library, linked by import as the server links it.
#include <windows.h>
#include "standins/RepoCommon/RepoCommon.h"
#include "tests/standins/StandinTest.h"

namespace {
using cvtest::WriteText;

class Repositories : public cvtest::ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        folder_ = standintest::ScratchForThisTest();
        xml_ = JoinPath(folder_, L"Repositories.xml");
    }
    std::string AnsiPath() { return xml_.AsNarrow(); }

    // Every repository as "name=value;name=value", in the library's order.
    static std::vector<std::wstring> Describe(CRepositories* list) {
        std::vector<std::wstring> described;
        if (!list) return described;
        for (size_t i = 0; i < list->Count(); ++i) {
            std::wstring line;
            _stringx name, value;
            for (size_t p = 0; list->At(i)->GetPropertyAt(p, &name, &value); ++p)
                line += (p ? L";" : L"") + name.str() + L"=" + value.str();
            described.push_back(line);
        }
        return described;
    }

    _stringx folder_;
    _stringx xml_;
};

TEST_F(Repositories, ListedInDocumentOrderWithEveryAttribute) {
    WriteText(xml_,
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
              "<Repositories>\r\n"
              "  <Repository MMSearchPath=\"Z:\\r\\zeta\" DisplayName=\"Zeta\" Extra=\"x\"/>\r\n"
              "  <!-- a comment -->\r\n"
              "  <Repository DisplayName=\"Alpha &amp; more\" MMSearchPath=\"Z:\\r\\alpha\"/>\r\n"
              "  <Other MMSearchPath=\"Z:\\not\\a\\repository\"/>\r\n"
              "  <Repository DisplayName=\"\u00c4rger\"/>\r\n"
              "</Repositories>\r\n");
    CRepositoryMgr manager(AnsiPath().c_str(), nullptr);
    CRepositories* list = nullptr;
    ASSERT_EQ(S_OK, manager.GetRepositories("", &list, false));
    ASSERT_NE(nullptr, list);
    std::vector<std::wstring> expected = {L"MMSearchPath=Z:\\r\\zeta;DisplayName=Zeta;Extra=x",
                                          L"DisplayName=Alpha & more;MMSearchPath=Z:\\r\\alpha",
                                          L"DisplayName=\u00c4rger"};
    EXPECT_EQ(expected, Describe(list));
    EXPECT_EQ(nullptr, list->At(3));

    // By name, in any case; a missing property is empty.
    _stringx value(L"sentinel");
    EXPECT_EQ(S_OK, list->At(1)->GetProperty(L"mmsearchpath", &value));
    EXPECT_EQ(_stringx(L"Z:\\r\\alpha"), value);
    EXPECT_EQ(S_FALSE, list->At(2)->GetProperty(L"MMSearchPath", &value));
    EXPECT_EQ(_stringx(), value);
    EXPECT_EQ(E_POINTER, list->At(0)->GetProperty(L"DisplayName", nullptr));

    // The same list again; a name picks repositories by name or display name.
    CRepositories* again = nullptr;
    ASSERT_EQ(S_OK, manager.GetRepositories(nullptr, &again, false));
    EXPECT_EQ(list, again);
    CRepositories* named = nullptr;
    ASSERT_EQ(S_OK, manager.GetRepositories("zeta", &named, false));
    EXPECT_EQ(std::vector<std::wstring>{expected[0]}, Describe(named));
    EXPECT_EQ(E_POINTER, manager.GetRepositories("", nullptr, false));
}

TEST_F(Repositories, AMissingOrBrokenFileIsAnEmptyList) {
    struct Case {
        const char* what;
        const char* content;  // null: no file
    } cases[] = {{"no file", nullptr},
                 {"not XML", "MMSearchPath=Z:\\x"},
                 {"unclosed element", "<Repositories><Repository MMSearchPath=\"Z:\\x\">"},
                 {"other root", "<Catalog><Repository MMSearchPath=\"Z:\\x\"/></Catalog>"},
                 {"empty file", ""}};
    for (const Case& c : cases) {
        DeleteFileW(xml_.c_str());
        if (c.content) WriteText(xml_, c.content);
        CRepositoryMgr manager(AnsiPath().c_str(), nullptr);
        CRepositories* list = nullptr;
        EXPECT_EQ(S_OK, manager.GetRepositories("", &list, false)) << c.what;
        ASSERT_NE(nullptr, list) << c.what;
        EXPECT_EQ(0u, list->Count()) << c.what;
    }
    CRepositoryMgr noPath(nullptr, nullptr);
    CRepositories* list = nullptr;
    EXPECT_EQ(S_OK, noPath.GetRepositories("", &list, false));
    ASSERT_NE(nullptr, list);
    EXPECT_EQ(0u, list->Count());
}

TEST_F(Repositories, ReloadReadsTheFileAgainAndKeepsEarlierListsValid) {
    WriteText(xml_, "<Repositories><Repository MMSearchPath=\"Z:\\first\"/></Repositories>");
    CRepositoryMgr manager(AnsiPath().c_str(), nullptr);
    CRepositories* first = nullptr;
    ASSERT_EQ(S_OK, manager.GetRepositories("", &first, false));
    WriteText(xml_, "<Repositories><Repository MMSearchPath=\"Z:\\second\"/><Repository/></Repositories>");
    CRepositories* reloaded = nullptr;
    ASSERT_EQ(S_OK, manager.GetRepositories("", &reloaded, true));
    EXPECT_EQ((std::vector<std::wstring>{L"MMSearchPath=Z:\\second", L""}), Describe(reloaded));
    EXPECT_EQ(std::vector<std::wstring>{L"MMSearchPath=Z:\\first"}, Describe(first));
}

}  // namespace
