// The repository library, linked by import as the server links it.
#include <windows.h>
#include "idl/RepoCommon.h"
#include "tests/standins/StandinTest.h"

namespace {
using cvtest::WriteText;

class Repositories : public cvtest::ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        xml_ = JoinPath(standintest::ScratchForThisTest(), L"Repositories.xml");
    }
    // Every repository as "name=value;name=value", in the library's order.
    static std::vector<std::wstring> Describe(CRepositories* list) {
        std::vector<std::wstring> described;
        for (size_t i = 0; list && i < list->Count(); ++i) {
            std::wstring line;
            _stringx name, value;
            for (size_t p = 0; list->At(i)->GetPropertyAt(p, &name, &value); ++p)
                line += (p ? L";" : L"") + name.str() + L"=" + value.str();
            described.push_back(line);
        }
        return described;
    }
    _stringx xml_;
};

TEST_F(Repositories, ListedInDocumentOrderWithEveryAttribute) {
    WriteText(xml_,
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<Repositories>\r\n"
              "  <Repository MMSearchPath=\"Z:\\r\\zeta\" DisplayName=\"Zeta\" Extra=\"x\"/>\r\n"
              "  <!-- a comment -->\r\n"
              "  <Repository DisplayName=\"Alpha &amp; more\" MMSearchPath=\"Z:\\r\\alpha\"/>\r\n"
              "  <Other MMSearchPath=\"Z:\\not\\a\\repository\"/>\r\n"
              "  <Repository DisplayName=\"\u00c4rger\"/>\r\n</Repositories>\r\n");
    CRepositoryMgr manager(xml_.AsNarrow(), nullptr);
    CRepositories* list = nullptr;
    ASSERT_EQ(S_OK, manager.GetRepositories("", &list, false));
    std::vector<std::wstring> expected = {L"MMSearchPath=Z:\\r\\zeta;DisplayName=Zeta;Extra=x",
                                          L"DisplayName=Alpha & more;MMSearchPath=Z:\\r\\alpha",
                                          L"DisplayName=\u00c4rger"};
    EXPECT_EQ(expected, Describe(list));

    // By name, in any case; a missing property is empty.
    _stringx value(L"sentinel");
    EXPECT_EQ(S_OK, list->At(1)->GetProperty(L"mmsearchpath", &value));
    EXPECT_EQ(_stringx(L"Z:\\r\\alpha"), value);
    EXPECT_EQ(S_FALSE, list->At(2)->GetProperty(L"MMSearchPath", &value));
    EXPECT_EQ(_stringx(), value);

    // A name picks repositories by name or display name.
    CRepositories* named = nullptr;
    ASSERT_EQ(S_OK, manager.GetRepositories("zeta", &named, false));
    EXPECT_EQ(std::vector<std::wstring>{expected[0]}, Describe(named));
}

TEST_F(Repositories, AMissingOrBrokenFileIsAnEmptyList) {
    for (const char* content : {static_cast<const char*>(nullptr), "MMSearchPath=Z:\\x", "",
                                "<Repositories><Repository MMSearchPath=\"Z:\\x\">",
                                "<Catalog><Repository MMSearchPath=\"Z:\\x\"/></Catalog>"}) {
        DeleteFileW(xml_.c_str());
        if (content) WriteText(xml_, content);
        CRepositoryMgr manager(xml_.AsNarrow(), nullptr);
        CRepositories* list = nullptr;
        EXPECT_EQ(S_OK, manager.GetRepositories("", &list, false)) << (content ? content : "no file");
        EXPECT_EQ(0u, list ? list->Count() : 99u) << (content ? content : "no file");
    }
    CRepositoryMgr noPath(nullptr, nullptr);
    CRepositories* list = nullptr;
    EXPECT_EQ(S_OK, noPath.GetRepositories("", &list, false));
    EXPECT_EQ(0u, list ? list->Count() : 99u);
}

TEST_F(Repositories, ReloadReadsTheFileAgainAndKeepsEarlierListsValid) {
    WriteText(xml_, "<Repositories><Repository MMSearchPath=\"Z:\\first\"/></Repositories>");
    CRepositoryMgr manager(xml_.AsNarrow(), nullptr);
    CRepositories* first = nullptr;
    ASSERT_EQ(S_OK, manager.GetRepositories("", &first, false));
    WriteText(xml_, "<Repositories><Repository MMSearchPath=\"Z:\\second\"/><Repository/></Repositories>");
    CRepositories* reloaded = nullptr;
    ASSERT_EQ(S_OK, manager.GetRepositories("", &reloaded, true));
    EXPECT_EQ((std::vector<std::wstring>{L"MMSearchPath=Z:\\second", L""}), Describe(reloaded));
    EXPECT_EQ(std::vector<std::wstring>{L"MMSearchPath=Z:\\first"}, Describe(first));
}

}  // namespace
