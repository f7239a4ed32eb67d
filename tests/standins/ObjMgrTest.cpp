// The object manager stand-in: a plain export, loaded as the server loads it.
#include <windows.h>
#include "server/SiblingLoader.h"
#include "standins/CvObjMgr/CvObjMgr.h"
#include "tests/standins/StandinTest.h"

namespace {

TEST(ObjectManager, ActiveProjectTypeFollowsTheSettingsFile) {
    _stringx folder = standintest::ScratchForThisTest();
    _stringx ini = JoinPath(folder, L"AppServices.ini");
    standintest::PointSettingsAt(ini);
    HMODULE module = LoadSiblingLibrary(L"CvObjMgr.dll");
    ASSERT_NE(nullptr, module);
    auto activeType = reinterpret_cast<GetActiveProjectTypeFn>(GetProcAddress(module, "GetActiveProjectType"));
    ASSERT_NE(nullptr, activeType);

    struct Case {
        const char* content;  // null: no file
        int expected;
    } cases[] = {{nullptr, 0},
                 {"[Folders]\r\nApplication=Z:\\app\r\n", 0},
                 {"[Project]\r\nActiveType=1\r\n", 1},
                 {"[project]\nactivetype= 0\n", 0},
                 {"[Project]\r\nActiveType=\r\n", 0},
                 {"[Project]\r\nActiveType=1", 1}};
    for (const Case& c : cases) {
        DeleteFileW(ini.c_str());
        if (c.content) cvtest::WriteText(ini, c.content);
        EXPECT_EQ(c.expected, activeType()) << (c.content ? c.content : "(no file)");
    }
}

// No class objects: the server's loader answers as for an unregistered class.
TEST(ObjectManager, IsNoComServer) {
    void* factory = reinterpret_cast<void*>(1);
    EXPECT_EQ(REGDB_E_CLASSNOTREG, GetSiblingClassObject(L"CvObjMgr.dll", GUID_NULL, &factory));
    EXPECT_EQ(nullptr, factory);
}

}  // namespace
