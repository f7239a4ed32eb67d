#include <windows.h>
#include <gtest/gtest.h>
#include "model/ModuleIndex.h"
#include "tests/model/ModelTest.h"

namespace {
using cvtest::ModelTest;
using cvtest::Narrow;

using ModuleIndexTest = ModelTest;

_stringx FileModule(const _stringx& anyCaseName) {
    _stringx value;
    return LookupFileModule(anyCaseName.Lower(), value) ? value : _stringx(L"<none>");
}

_stringx Friendly(const _stringx& key) {
    _stringx name;
    return LookupFriendlyName(key, name) ? name : _stringx(L"<none>");
}

TEST_F(ModuleIndexTest, FileNamesMatchInAnyCaseFriendlyNamesOnlyExactly) {
    Env().WriteFilesToModulesIndex({{L"MyLib.DLL", L"0:Mod.A:1033"}, {L"TWICE.dll", L"0:First"},
                                    {L"twice.DLL", L"0:Second"}});
    Env().WriteModulesIndex({{L"Mod.A:1033", L"Alpha Runtime"}});
    LoadFileModuleIndex(Env().IndexFolder());
    LoadFriendlyNameIndex(Env().IndexFolder());

    for (const wchar_t* name : {L"MyLib.DLL", L"mylib.dll", L"MYLIB.DLL"})
        EXPECT_EQ(_stringx(L"0:Mod.A:1033"), FileModule(name)) << Narrow(name);
    EXPECT_EQ(_stringx(L"0:Second"), FileModule(L"Twice.dll")) << "a later key replaces an equal one";
    EXPECT_EQ(2u, FileModuleIndex().size());
    _stringx value;
    EXPECT_FALSE(LookupFileModule(L"MyLib.DLL", value)) << "lookups take lower-cased names";

    EXPECT_EQ(_stringx(L"Alpha Runtime"), Friendly(L"Mod.A:1033"));
    EXPECT_EQ(_stringx(L"<none>"), Friendly(L"mod.a:1033"));
    EXPECT_EQ(_stringx(L"<none>"), Friendly(L"Mod.A:0"));
}

TEST_F(ModuleIndexTest, MissingFileOrSectionGivesAnEmptyIndex) {
    Env().WriteModulesIndex({{L"Mod.A:1033", L"Alpha"}});
    Env().WriteFilesToModulesIndex({{L"a.dll", L"0:Mod.A"}});
    LoadFriendlyNameIndex(Env().IndexFolder());
    LoadFileModuleIndex(Env().IndexFolder());
    ASSERT_EQ(1u, FriendlyNameIndex().size());
    ASSERT_EQ(1u, FileModuleIndex().size());

    _stringx elsewhere = Env().AddSearchFolder(L"NoIndexes");
    LoadFriendlyNameIndex(elsewhere);
    LoadFileModuleIndex(elsewhere);
    EXPECT_TRUE(FriendlyNameIndex().empty());
    EXPECT_TRUE(FileModuleIndex().empty());

    cvtest::WriteText(JoinPath(elsewhere, L"modules.ini"), "[other]\r\nMod.A:1033=Alpha\r\n");
    cvtest::WriteText(JoinPath(elsewhere, L"FilesToModules.ini"), "; nothing but a comment\r\n");
    LoadFriendlyNameIndex(elsewhere);
    LoadFileModuleIndex(elsewhere);
    EXPECT_TRUE(FriendlyNameIndex().empty());
    EXPECT_TRUE(FileModuleIndex().empty());
}

TEST_F(ModuleIndexTest, IndexesAreLoadedOncePerProcess) {
    Env().WriteModulesIndex({{L"Mod.A:1033", L"Alpha"}});
    Env().WriteFilesToModulesIndex({{L"A.dll", L"0:Mod.A"}});
    _stringx files = Env().AddSearchFolder(L"Files");
    cvtest::WriteText(JoinPath(files, L"FilesToModules.ini"), "[FilesToModules]\r\nB.dll=0:Mod.B\r\n");

    EXPECT_FALSE(IndexesLoadStarted());
    LoadIndexesOnce(Env().IndexFolder(), files);
    EXPECT_TRUE(IndexesLoadStarted());
    EXPECT_EQ(_stringx(L"Alpha"), Friendly(L"Mod.A:1033"));
    EXPECT_EQ(_stringx(L"0:Mod.B"), FileModule(L"b.dll"));

    // Gone from disk, still known: nothing is read again in this process.
    DeleteFileW(JoinPath(Env().IndexFolder(), L"modules.ini").c_str());
    LoadIndexesOnce(Env().IndexFolder(), Env().IndexFolder());
    EXPECT_EQ(_stringx(L"Alpha"), Friendly(L"Mod.A:1033"));
    EXPECT_EQ(_stringx(L"0:Mod.B"), FileModule(L"B.DLL"));
    EXPECT_EQ(_stringx(L"<none>"), FileModule(L"a.dll"));
}

}  // namespace
