// A catalog entry read from generated merge modules: header, lists, directories, and only reading.
#include <windows.h>
#include <gtest/gtest.h>
#include "msi/ModuleReader.h"
#include "server/ComException.h"
#include "tests/support/Environment.h"
#include "tests/support/TestSupport.h"

namespace {
using cvtest::FixturePath;

const wchar_t kFullId[] = L"FullModule.0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9";
const wchar_t kSuffix[] = L".0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9";

class Reader : public cvtest::ComTest {
protected:
    // Every entry reads from a copy, so that a test may replace or inspect the file.
    _stringx Copy(const wchar_t* fixture, const wchar_t* folderName) {
        _stringx folder = cvtest::FreshScratchDir(folderName);
        _stringx path = JoinPath(folder, fixture);
        EXPECT_TRUE(CopyFileW(FixturePath(fixture).c_str(), path.c_str(), FALSE));
        return path;
    }
};

TEST_F(Reader, HeaderFromSignatureAndSummary) {
    ModuleEntry entry;
    entry.Load(FixturePath(L"full.msm"), L"Repository A");
    EXPECT_EQ(_stringx(kFullId), entry.ModuleId());
    EXPECT_EQ(1033, entry.Language());
    EXPECT_EQ(_stringx(L"1.2.3.4"), entry.Version());
    EXPECT_EQ(_stringx(kFullId) + L":1033", entry.EntryKey());
    EXPECT_EQ(_stringx(L"Test Author"), entry.Author());
    EXPECT_EQ(_stringx(L"Every table of a merge module, filled"), entry.Comments());
    EXPECT_EQ(_stringx(L"Full Test Module"), entry.Subject());
    EXPECT_EQ(_stringx(L"{5D0C6A1E-7B2F-4C3D-9E8A-1F2B3C4D5E6F}"), entry.RevisionNumber());
    EXPECT_EQ(entry.RevisionNumber(), entry.GetName()) << "its gallery file is named after the package code";
    EXPECT_EQ(entry.Version(), entry.GetRecordedVersion());
    EXPECT_EQ(entry.Subject(), entry.DisplayName()) << "no friendly name: the subject";
    EXPECT_EQ(_stringx(L"Repository A"), entry.SourceLocation());
    EXPECT_FALSE(entry.FromGallery());
}

TEST_F(Reader, OddModulesLoadWithEmptyValues) {
    struct Case {
        const wchar_t* fixture;
        const wchar_t* entryKey;
        LONG language;
    } cases[] = {
        {L"empty-signature.msm", L":0", 0},
        {L"corrupt.msm", L":0", 0},
        {L"missing-file.msm", L":0", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(_stringx(c.fixture).AsNarrow());
        ModuleEntry entry;
        entry.Load(FixturePath(c.fixture), L"");
        EXPECT_EQ(_stringx(c.entryKey), entry.EntryKey());
        EXPECT_EQ(c.language, entry.Language());
        EXPECT_TRUE(entry.ModuleId().empty());
        EXPECT_TRUE(entry.Version().empty());
        EXPECT_TRUE(entry.Files().empty());
        EXPECT_TRUE(entry.Dependencies().empty());
        EXPECT_TRUE(entry.DialogNames().empty());
        EXPECT_EQ(entry.Path(), entry.DisplayName()) << "no subject either: the path";
    }

    ModuleEntry nullLanguage;
    nullLanguage.Load(FixturePath(L"null-language.msm"), L"");
    EXPECT_EQ(static_cast<LONG>(0x80000000), nullLanguage.Language()) << "the installer's null integer";
    EXPECT_EQ(nullLanguage.ModuleId() + L":-2147483648", nullLanguage.EntryKey());

    ModuleEntry foreign;
    foreign.Load(FixturePath(L"foreign-summary.msm"), L"");
    EXPECT_TRUE(foreign.Author().empty()) << "a summary property that is not text reads as empty";
}

TEST_F(Reader, ListsInTheirOrder) {
    ModuleEntry entry;
    entry.Load(FixturePath(L"full.msm"), L"");

    std::vector<_stringx> dialogs = entry.DialogNames();
    ASSERT_EQ(2u, dialogs.size());
    std::vector<_stringx> actions = entry.CustomActionNames();
    EXPECT_EQ(2u, actions.size());

    // The dependency on the module itself, same language and version, is left out.
    const DependencyMap& dependencies = entry.Dependencies();
    ASSERT_EQ(2u, dependencies.size());
    auto helper = dependencies.begin();
    EXPECT_EQ(_stringx(L"HelperModule.AAAAAAAA_BBBB_CCCC_DDDD_EEEEEEEEEEEE:1031"), helper->first);
    EXPECT_EQ(1031, helper->second.Language);
    EXPECT_TRUE(helper->second.Version.empty());
    EXPECT_EQ(_stringx(L"2.0.0.0"), std::next(helper)->second.Version);

    const ExclusionMap& exclusions = entry.Exclusions();
    ASSERT_EQ(2u, exclusions.size());
    const ExclusionEntry& old = exclusions.begin()->second;
    EXPECT_EQ(_stringx(L"OldModule.12345678_1234_1234_1234_123456789012:1033"), old.Key);
    EXPECT_EQ(_stringx(L"1.0.0.0"), old.MinVersion);
    EXPECT_EQ(_stringx(L"1.9.9.9"), old.MaxVersion);

    // Ordered by file key, not by sequence.
    const FileMap& files = entry.Files();
    std::vector<_stringx> keys;
    for (const auto& file : files) keys.push_back(file.first);
    std::vector<_stringx> expected;
    for (const wchar_t* name : {L"alpha.txt", L"bars.dat", L"orphan.ini", L"sys.dll", L"top.cfg", L"zeta.dll"})
        expected.push_back(_stringx(name) + kSuffix);
    EXPECT_EQ(expected, keys);

    const FileEntry& alpha = files.at(_stringx(L"alpha.txt") + kSuffix);
    EXPECT_EQ(_stringx(L"ALPHA~1.TXT|Alpha Readme.txt"), alpha.StoredName);
    EXPECT_EQ(_stringx(L"Alpha Readme.txt"), alpha.LongName);
    EXPECT_EQ(_stringx(L"Sub"), alpha.Directory);
    EXPECT_EQ(1200, alpha.FileSize);
    EXPECT_EQ(2, alpha.Sequence);
    EXPECT_EQ(_stringx(L"Bars|Twice.dat"), files.at(_stringx(L"bars.dat") + kSuffix).LongName);
    EXPECT_TRUE(files.at(_stringx(L"orphan.ini") + kSuffix).Directory.empty()) << "component missing";
    const FileEntry& zeta = files.at(_stringx(L"zeta.dll") + kSuffix);
    EXPECT_EQ(_stringx(L"zeta.dll"), zeta.LongName);
    EXPECT_EQ(_stringx(L"1033"), zeta.Language);
    EXPECT_EQ(_stringx(L"1.2.3.4"), zeta.Version);
    EXPECT_EQ(_stringx(L"MyDir"), zeta.Directory);
}

TEST_F(Reader, EachListIsReadOnceOnFirstRequest) {
    _stringx path = Copy(L"full.msm", L"reader-once");
    ModuleEntry entry;
    entry.Load(path, L"");
    EXPECT_EQ(6u, entry.Files().size());
    // The module changes on disk: lists already read stay, a list asked for the first time reads the new file.
    ASSERT_TRUE(CopyFileW(FixturePath(L"signature-only.msm").c_str(), path.c_str(), FALSE));
    EXPECT_EQ(6u, entry.Files().size());
    EXPECT_TRUE(entry.DialogNames().empty());
    EXPECT_EQ(_stringx(kFullId), entry.ModuleId()) << "the header was read at load";
}

TEST_F(Reader, MissingTablesAreEmptyLists) {
    ModuleEntry entry;
    entry.Load(FixturePath(L"signature-only.msm"), L"");
    EXPECT_FALSE(entry.ModuleId().empty());
    EXPECT_TRUE(entry.DialogNames().empty());
    EXPECT_TRUE(entry.CustomActionNames().empty());
    EXPECT_TRUE(entry.Dependencies().empty());
    EXPECT_TRUE(entry.Exclusions().empty());
    EXPECT_TRUE(entry.Files().empty());
}

TEST_F(Reader, DirectoriesOfFilesResolveToTargetFolders) {
    ModuleEntry entry;
    entry.Load(FixturePath(L"full.msm"), L"");
    struct Case {
        const wchar_t* key;
        const wchar_t* path;
    } cases[] = {
        {L"Sub", L"[SystemFolder]MyDir\\Sub"},
        {L"MyDir", L"[SystemFolder]MyDir"},
        {L"SystemFolder", L"[SystemFolder]"},
    };
    for (const Case& c : cases) {
        _stringx resolved;
        EXPECT_TRUE(entry.ResolveModuleDirectory(c.key, resolved)) << _stringx(c.key).AsNarrow();
        EXPECT_EQ(_stringx(c.path), resolved);
    }
    _stringx untouched(L"untouched");
    EXPECT_FALSE(entry.ResolveModuleDirectory(L"", untouched));
    EXPECT_FALSE(entry.ResolveModuleDirectory(L"NoSuchDirectory", untouched));
    EXPECT_EQ(_stringx(L"untouched"), untouched);
}

TEST_F(Reader, ResolvingInAModuleThatCannotBeOpenedIsReported) {
    ModuleEntry entry;
    _stringx path = FixturePath(L"corrupt.msm");
    entry.Load(path, L"");
    _stringx resolved;
    try {
        entry.ResolveModuleDirectory(L"Sub", resolved);
        ADD_FAILURE() << "expected an error";
    } catch (const CComException& e) {
        EXPECT_LT(e.Error().Error(), 0);
        // The published error information travels in the exception to the method's boundary.
        _stringx description = e.Error().Description();
        _stringx tail = _stringx(L"MsiOpenDatabase(") + path + L")";
        ASSERT_GE(description.length(), tail.length()) << description.AsNarrow();
        EXPECT_EQ(tail, description.substr(description.length() - tail.length()));
    }
}

TEST_F(Reader, ReadingNeverChangesTheModule) {
    _stringx path = Copy(L"full.msm", L"reader-readonly");
    FILETIME before{};
    {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        GetFileTime(file, nullptr, nullptr, &before);
        CloseHandle(file);
    }
    std::string bytes = cvtest::ReadBytes(path);
    {
        ModuleEntry entry;
        entry.Load(path, L"");
        entry.DialogNames();
        entry.CustomActionNames();
        entry.Dependencies();
        entry.Exclusions();
        entry.Files();
        _stringx resolved;
        entry.ResolveModuleDirectory(L"Sub", resolved);
        VARIANT_BOOL present = VARIANT_FALSE;
        entry.IsPresent(&present);
    }
    FILETIME after{};
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    GetFileTime(file, nullptr, nullptr, &after);
    CloseHandle(file);
    EXPECT_EQ(0, CompareFileTime(&before, &after));
    EXPECT_TRUE(bytes == cvtest::ReadBytes(path));
}

}  // namespace
