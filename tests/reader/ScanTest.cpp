// One search location's scan: what a rescan sees when modules are added, touched, back-dated or removed.
#include <windows.h>
#include <gtest/gtest.h>
#include "msi/SearchLocation.h"
#include "tests/support/Environment.h"
#include "tests/support/TestSupport.h"

namespace {
using cvtest::FixturePath;

void Place(const wchar_t* fixture, const _stringx& folder, const wchar_t* name) {
    ASSERT_TRUE(CopyFileW(FixturePath(fixture).c_str(), JoinPath(folder, name).c_str(), FALSE));
}

// Moves a file's last-write time by the given number of seconds.
void ShiftWriteTime(const _stringx& path, LONGLONG seconds) {
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    FILETIME time{};
    GetFileTime(file, nullptr, nullptr, &time);
    ULARGE_INTEGER value{{time.dwLowDateTime, time.dwHighDateTime}};
    value.QuadPart += seconds * 10000000LL;
    time = {value.LowPart, value.HighPart};
    SetFileTime(file, nullptr, nullptr, &time);
    CloseHandle(file);
}

class Scan : public cvtest::ComTest {};

TEST_F(Scan, RescanSeesAddedTouchedBackDatedAndDeletedModules) {
    _stringx folder = cvtest::FreshScratchDir(L"scan-changes");
    Place(L"multi-1031.msm", folder, L"a.msm");
    Place(L"multi-1033.msm", folder, L"b.msm");
    CreateDirectoryW(JoinPath(folder, L"folder.msm").c_str(), nullptr);
    cvtest::WriteText(JoinPath(folder, L"notes.txt"), "not a module");

    SearchLocation location;
    location.Initialise(folder, 0, L"Shelf");
    ASSERT_EQ(2u, location.Modules().size()) << "only .msm files, and no folder named like one";
    const CatalogEntry* first = location.Modules().begin()->second.get();
    EXPECT_EQ(_stringx(L"Shelf"), first->SourceLocation());
    EXPECT_FALSE(location.Scan()) << "nothing changed";
    EXPECT_EQ(first, location.Modules().begin()->second.get()) << "no new entries for unchanged files";

    Place(L"full.msm", folder, L"c.msm");
    EXPECT_TRUE(location.Scan());
    EXPECT_EQ(3u, location.Modules().size());

    // Touched: the entry is replaced, and the old one stays usable for whoever holds it.
    _stringx aPath = JoinPath(folder, L"a.msm");
    ShiftWriteTime(aPath, 60);
    EXPECT_TRUE(location.Scan());
    const CatalogEntry* replaced = location.Modules().at(aPath).get();
    EXPECT_NE(first, replaced);
    EXPECT_EQ(replaced->EntryKey(), first->EntryKey());

    ShiftWriteTime(aPath, -3600);
    EXPECT_FALSE(location.Scan()) << "an earlier time than recorded is no change";
    EXPECT_EQ(replaced, location.Modules().at(aPath).get());

    ASSERT_TRUE(DeleteFileW(JoinPath(folder, L"b.msm").c_str()));
    EXPECT_TRUE(location.Scan());
    EXPECT_EQ(2u, location.Modules().size());
    EXPECT_EQ(0u, location.Modules().count(JoinPath(folder, L"b.msm")));
}

TEST_F(Scan, CorruptModulesAreListedAndVanishedFoldersEmptied) {
    _stringx root = cvtest::FreshScratchDir(L"scan-corrupt");
    _stringx folder = JoinPath(root, L"Modules");
    CreateDirectoryW(folder.c_str(), nullptr);
    Place(L"corrupt.msm", folder, L"broken.msm");
    Place(L"full.msm", folder, L"good.msm");

    SearchLocation location;
    location.Initialise(folder + L"\\", 0, L"");
    ASSERT_EQ(2u, location.Modules().size());
    const CatalogEntry& broken = *location.Modules().at(JoinPath(folder, L"broken.msm"));
    EXPECT_EQ(_stringx(L":0"), broken.EntryKey());

    cvtest::RemoveTree(folder);
    EXPECT_TRUE(location.Scan());
    EXPECT_TRUE(location.Modules().empty());
    EXPECT_FALSE(location.Scan());
}

TEST_F(Scan, AKindOneLocationIsTheModuleFileItself) {
    _stringx folder = cvtest::FreshScratchDir(L"scan-kind1");
    Place(L"full.msm", folder, L"module.bin");
    Place(L"multi-1031.msm", folder, L"other.msm");

    SearchLocation file;
    file.Initialise(JoinPath(folder, L"module.bin"), 1, L"");
    ASSERT_EQ(1u, file.Modules().size()) << "its own path, whatever the extension";
    EXPECT_EQ(1033, file.Modules().begin()->second->Language());

    SearchLocation aFolder;
    aFolder.Initialise(folder, 1, L"");
    EXPECT_TRUE(aFolder.Modules().empty()) << "a folder is no module";
    SearchLocation nothing;
    nothing.Initialise(JoinPath(folder, L"missing.msm"), 1, L"");
    EXPECT_TRUE(nothing.Modules().empty());
}

}  // namespace
