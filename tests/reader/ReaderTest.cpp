// Merge modules as the reader sees them: odd modules, lazy lists, directories, only reading; and one
// search location's scan as modules are added, touched, back-dated or removed. What a module holds
// is checked through MergeModule2.
#include <windows.h>
#include <gtest/gtest.h>
#include <algorithm>
#include "msi/ModuleEntry.h"
#include "msi/SearchLocation.h"
#include "server/ComException.h"
#include "tests/support/Environment.h"
#include "tests/support/TestSupport.h"

namespace {
using cvtest::FixturePath;

const wchar_t kFullId[] = L"FullModule.0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9";

// A copy of a generated module, so that a test may replace, touch or inspect the file.
_stringx Place(const wchar_t* fixture, const _stringx& folder, const wchar_t* name = nullptr) {
    _stringx path = JoinPath(folder, name ? name : fixture);
    EXPECT_TRUE(CopyFileW(FixturePath(fixture).c_str(), path.c_str(), FALSE));
    return path;
}

// Moves a file's last-write time by the given number of seconds.
void ShiftWriteTime(const _stringx& path, LONGLONG seconds) {
    unique_file file(
        CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ULARGE_INTEGER time{};
    ASSERT_TRUE(GetFileTime(file.get(), nullptr, nullptr, reinterpret_cast<FILETIME*>(&time)));
    time.QuadPart += seconds * 10000000LL;
    ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, reinterpret_cast<FILETIME*>(&time)));
}

using Reader = cvtest::ComTest;
using Scan = cvtest::ComTest;

TEST_F(Reader, OddModulesLoadWithEmptyValues) {
    for (const wchar_t* fixture : {L"empty-signature.msm", L"corrupt.msm", L"missing-file.msm"}) {
        ModuleEntry entry;
        entry.Load(FixturePath(fixture), L"");
        EXPECT_EQ(_stringx(L":0|"), entry.EntryKey() + L"|" + entry.Version()) << _stringx(fixture).AsNarrow();
        EXPECT_TRUE(entry.Files().empty() && entry.Dependencies().empty() && entry.DialogNames().empty());
        EXPECT_EQ(entry.Path(), entry.DisplayName()) << "no subject either: the path";
    }
    ModuleEntry nullLanguage;
    nullLanguage.Load(FixturePath(L"null-language.msm"), L"");
    EXPECT_EQ(nullLanguage.ModuleId() + L":-2147483648", nullLanguage.EntryKey()) << "the installer's null integer";

    ModuleEntry foreign;
    foreign.Load(FixturePath(L"foreign-summary.msm"), L"");
    EXPECT_TRUE(foreign.Author().empty()) << "a summary property that is not text reads as empty";
}

TEST_F(Reader, EachListIsReadOnceOnFirstRequest) {
    _stringx path = Place(L"full.msm", cvtest::FreshScratchDir(L"reader-once"));
    ModuleEntry entry;
    entry.Load(path, L"");
    EXPECT_EQ(6u, entry.Files().size());
    // The module changes on disk: lists already read stay, a list asked for the first time reads the
    // new file, which has none of the optional tables.
    ASSERT_TRUE(CopyFileW(FixturePath(L"signature-only.msm").c_str(), path.c_str(), FALSE));
    EXPECT_EQ(6u, entry.Files().size());
    EXPECT_TRUE(entry.DialogNames().empty() && entry.CustomActionNames().empty() && entry.Dependencies().empty() &&
                entry.Exclusions().empty());
    EXPECT_EQ(_stringx(kFullId), entry.ModuleId()) << "the header was read at load";
}

TEST_F(Reader, DirectoriesOfFilesResolveToTargetFolders) {
    ModuleEntry entry;
    entry.Load(FixturePath(L"full.msm"), L"");
    const struct {
        const wchar_t* key;
        const wchar_t* path;
    } cases[] = {{L"Sub", L"[SystemFolder]MyDir\\Sub"}, {L"MyDir", L"[SystemFolder]MyDir"},
                 {L"SystemFolder", L"[SystemFolder]"}};
    for (const auto& c : cases) {
        _stringx resolved;
        EXPECT_TRUE(entry.ResolveModuleDirectory(c.key, resolved)) << _stringx(c.key).AsNarrow();
        EXPECT_EQ(_stringx(c.path), resolved);
    }
    _stringx untouched(L"untouched");
    EXPECT_FALSE(entry.ResolveModuleDirectory(L"", untouched));
    EXPECT_FALSE(entry.ResolveModuleDirectory(L"NoSuchDirectory", untouched));
    EXPECT_EQ(_stringx(L"untouched"), untouched);

    // A module that cannot be opened: the published error information travels in the exception.
    ModuleEntry corrupt;
    corrupt.Load(FixturePath(L"corrupt.msm"), L"");
    try {
        corrupt.ResolveModuleDirectory(L"Sub", untouched);
        ADD_FAILURE() << "expected an error";
    } catch (const CComException& e) {
        EXPECT_LT(e.Error().Error(), 0);
        _stringx description = e.Error().Description();
        _stringx tail = L"MsiOpenDatabase(" + FixturePath(L"corrupt.msm") + L")";
        EXPECT_EQ(tail, description.substr(description.length() - std::min(description.length(), tail.length())));
    }
}

TEST_F(Reader, ReadingNeverChangesTheModule) {
    _stringx path = Place(L"full.msm", cvtest::FreshScratchDir(L"reader-readonly"));
    WIN32_FILE_ATTRIBUTE_DATA before{}, after{};
    ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &before));
    std::string bytes = cvtest::ReadBytes(path);
    {
        ModuleEntry entry;
        entry.Load(path, L"");
        entry.DialogNames();
        entry.CustomActionNames();
        entry.Dependencies();
        entry.Exclusions();
        EXPECT_EQ(6u, entry.Files().size());
        _stringx resolved;
        EXPECT_TRUE(entry.ResolveModuleDirectory(L"Sub", resolved));
    }
    ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &after));
    EXPECT_EQ(0, CompareFileTime(&before.ftLastWriteTime, &after.ftLastWriteTime));
    EXPECT_TRUE(bytes == cvtest::ReadBytes(path));
}

TEST_F(Scan, RescanSeesAddedTouchedBackDatedDeletedAndVanishedModules) {
    _stringx folder = JoinPath(cvtest::FreshScratchDir(L"scan-changes"), L"Modules");
    CreateDirectoryW(folder.c_str(), nullptr);
    _stringx a = Place(L"multi-1031.msm", folder, L"a.msm"), b = Place(L"multi-1033.msm", folder, L"b.msm");
    CreateDirectoryW(JoinPath(folder, L"folder.msm").c_str(), nullptr);
    cvtest::WriteText(JoinPath(folder, L"notes.txt"), "not a module");

    SearchLocation location;
    location.Initialise(folder + L"\\", 0, L"Shelf");
    ASSERT_EQ(2u, location.Modules()->size()) << "only .msm files, and no folder named like one";
    // Held as a module object handed out holds its entry.
    std::shared_ptr<const CatalogEntry> first = location.Modules()->at(a);
    std::weak_ptr<const CatalogEntry> unused = location.Modules()->at(b);
    EXPECT_EQ(_stringx(L"Shelf"), first->SourceLocation());
    EXPECT_FALSE(location.Scan()) << "nothing changed";
    EXPECT_EQ(first, location.Modules()->at(a)) << "no new entries for unchanged files";

    _stringx broken = Place(L"corrupt.msm", folder, L"broken.msm");
    EXPECT_TRUE(location.Scan());
    EXPECT_EQ(_stringx(L":0"), location.Modules()->at(broken)->EntryKey()) << "a corrupt module is listed";

    // Touched: the entry is replaced, and the old one stays usable for whoever holds it.
    ShiftWriteTime(a, 60);
    EXPECT_TRUE(location.Scan());
    std::shared_ptr<const CatalogEntry> replaced = location.Modules()->at(a);
    EXPECT_NE(first, replaced);
    EXPECT_EQ(replaced->EntryKey(), first->EntryKey());

    ShiftWriteTime(a, -3600);
    EXPECT_FALSE(location.Scan()) << "an earlier time than recorded is no change";
    EXPECT_EQ(replaced, location.Modules()->at(a));

    // Replaced a second time: both earlier entries still work (the heap is churned so that freed
    // entries would be overwritten).
    ShiftWriteTime(a, 7200);
    EXPECT_TRUE(location.Scan());
    std::vector<std::wstring> churn(2000, std::wstring(40, L'x'));
    EXPECT_EQ(location.Modules()->at(a)->EntryKey(), first->EntryKey());
    EXPECT_EQ(location.Modules()->at(a)->EntryKey(), replaced->EntryKey());

    ASSERT_TRUE(DeleteFileW(b.c_str()));
    EXPECT_TRUE(location.Scan());
    EXPECT_EQ(2u, location.Modules()->size());
    EXPECT_EQ(0u, location.Modules()->count(b));
    EXPECT_TRUE(unused.expired()) << "an entry that nobody uses goes with its file";

    cvtest::RemoveTree(folder);
    EXPECT_TRUE(location.Scan());
    EXPECT_TRUE(location.Modules()->empty());
    EXPECT_FALSE(location.Scan());
}

TEST_F(Scan, AKindOneLocationIsTheModuleFileItself) {
    _stringx folder = cvtest::FreshScratchDir(L"scan-kind1");
    _stringx file = Place(L"full.msm", folder, L"module.bin");
    Place(L"multi-1031.msm", folder, L"other.msm");
    const struct {
        _stringx path;
        size_t modules;
    } cases[] = {{file, 1},  // its own path, whatever the extension
                 {folder, 0}, {JoinPath(folder, L"missing.msm"), 0}};
    for (const auto& c : cases) {
        SearchLocation location;
        location.Initialise(c.path, 1, L"");
        EXPECT_EQ(c.modules, location.Modules()->size()) << _stringx(c.path).AsNarrow();
    }
}

}  // namespace
