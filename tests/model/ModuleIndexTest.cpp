// The index files as the model reads them; lookups through the catalog are tested with the catalog.
#include <windows.h>
#include <gtest/gtest.h>
#include "model/ModuleIndex.h"
#include "tests/model/ModelTest.h"

namespace {
using ModuleIndexTest = cvtest::ModelTest;

_stringx FileModule(const _stringx& anyCaseName) {
    _stringx value;
    return LookupFileModule(anyCaseName.Lower(), value) ? value : _stringx(L"<none>");
}

TEST_F(ModuleIndexTest, LoadedOncePerProcessEachFromItsFolder) {
    Env().WriteModulesIndex({{L"Mod.A:1033", L"Alpha"}});
    Env().WriteFilesToModulesIndex({{L"A.dll", L"0:Mod.A"}});
    _stringx files = Env().AddSearchFolder(L"Files");
    cvtest::WriteText(JoinPath(files, L"FilesToModules.ini"),
                      "[FilesToModules]\r\nTWICE.dll=0:First\r\ntwice.DLL=0:Second\r\n");
    LoadIndexesOnce(Env().IndexFolder(), files);
    LoadIndexesOnce(Env().IndexFolder(), Env().IndexFolder());
    _stringx friendly;
    EXPECT_TRUE(LookupFriendlyName(L"Mod.A:1033", friendly));
    EXPECT_EQ(_stringx(L"Alpha"), friendly);
    EXPECT_EQ(_stringx(L"0:Second"), FileModule(L"Twice.dll")) << "a later key replaces an equal one";
    EXPECT_EQ(_stringx(L"<none>"), FileModule(L"a.dll")) << "the second call read nothing";
}

TEST_F(ModuleIndexTest, MissingFileOrSectionGivesAnEmptyIndex) {
    Env().WriteModulesIndex({{L"Mod.A:1033", L"Alpha"}});
    Env().WriteFilesToModulesIndex({{L"a.dll", L"0:Mod.A"}});
    _stringx missing = Env().AddSearchFolder(L"NoIndexes"), noSection = Env().AddSearchFolder(L"NoSection");
    cvtest::WriteText(JoinPath(noSection, L"modules.ini"), "[other]\r\nMod.A:1033=Alpha\r\n");
    cvtest::WriteText(JoinPath(noSection, L"FilesToModules.ini"), "; nothing but a comment\r\n");
    for (_stringx folder : {missing, noSection}) {
        // Each load replaces what the index held.
        LoadFriendlyNameIndex(Env().IndexFolder());
        LoadFileModuleIndex(Env().IndexFolder());
        ASSERT_FALSE(FriendlyNameIndex().empty() || FileModuleIndex().empty());
        LoadFriendlyNameIndex(folder);
        LoadFileModuleIndex(folder);
        EXPECT_TRUE(FriendlyNameIndex().empty() && FileModuleIndex().empty()) << folder.AsNarrow();
    }
}

}  // namespace
