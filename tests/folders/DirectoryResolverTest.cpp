#include <windows.h>
#include <gtest/gtest.h>
#include <msiquery.h>
#include "folders/DirectoryResolver.h"
#include "msi/InstallerAccess.h"
#include "server/ComException.h"
#include "tests/support/Environment.h"
#include "tests/support/TestSupport.h"

namespace {

using cvtest::FixturePath;

const wchar_t kSuffix[] = L"0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9";

_stringx Suffixed(const wchar_t* key) { return _stringx(key) + L"." + kSuffix; }

ResolveOptions Options(bool useSource, bool useShortName, bool strip, bool collapse, bool bracket) {
    ResolveOptions options;
    options.useSource = useSource;
    options.useShortName = useShortName;
    options.stripModuleSuffix = strip;
    options.collapseDotFolders = collapse;
    options.bracketRoots = bracket;
    return options;
}

// The options a module uses to find where its files go.
const ResolveOptions kModule = Options(false, false, true, true, true);

struct PathCase {
    const wchar_t* fixture;
    _stringx key;
    ResolveOptions options;
    const wchar_t* expected;
};

class DirectoryResolver : public cvtest::ComTest {
protected:
    MSIHANDLE Open(const wchar_t* fixture) {
        database_.reset();
        EXPECT_EQ(0u, MsiOpenDatabaseW(FixturePath(fixture).c_str(), MSIDBOPEN_READONLY, database_.put()));
        return database_.get();
    }
    void ExpectPaths(const std::vector<PathCase>& cases) {
        for (const auto& c : cases) {
            SCOPED_TRACE((c.fixture + _stringx(L": ") + c.key).AsNarrow());
            _stringx path = L"stale";
            EXPECT_EQ(0u, ResolveDirectoryPath(Open(c.fixture), c.key, path, c.options));
            EXPECT_EQ(_stringx(c.expected), path);
        }
    }
    void TearDown() override {
        database_.reset();
        cvtest::ComTest::TearDown();
    }
    InstallerHandle database_;
};

TEST_F(DirectoryResolver, ModuleOptionsRootPathsAtPredefinedFolders) {
    ExpectPaths({
                    {L"full.msm", L"SystemFolder", kModule, L"[SystemFolder]"},
                    {L"full.msm", L"MyDir", kModule, L"[SystemFolder]MyDir"},
                    {L"full.msm", L"Sub", kModule, L"[SystemFolder]MyDir\\Sub"},
                    {L"full.msm", L"Names", kModule, L"[SystemFolder]MyDir\\Long Names"},
                    // The module suffix is cut off the key, not out of the folder name.
                    {L"full.msm", Suffixed(L"Lib"), kModule, L"[SystemFolder]MyDir\\Lib"},
                    {L"full.msm", Suffixed(L"SystemFolder"), kModule, L"[SystemFolder]"},
                    // "." folders add nothing below a folder other than TARGETDIR.
                    {L"full.msm", Suffixed(L"Dot"), kModule, L"[SystemFolder]MyDir"},
                    {L"full.msm", L"InDot", kModule, L"[SystemFolder]MyDir\\InDot"},
                    {L"full.msm", L"Keep.Extra", kModule, L"[SystemFolder]MyDir"},
                    // The predefined test ignores case; the path keeps the key as written.
                    {L"full.msm", L"systemfolder", kModule, L"[systemfolder]"},
                    {L"full.msm", L"LowSub", kModule, L"[systemfolder]Low"},
                });
}

TEST_F(DirectoryResolver, PropertiesAndTheTargetRoot) {
    ExpectPaths({
                    // TARGETDIR is "SourceDir": its property, if the module has one, roots the path.
                    {L"full.msm", L"TARGETDIR", kModule, L""},
                    {L"full.msm", L"TopDir", kModule, L"TopDir"},
                    {L"full-targetdir.msm", L"TARGETDIR", kModule, L"C:\\Out"},
                    {L"full-targetdir.msm", L"TopDir", kModule, L"C:\\Out\\TopDir"},
                    {L"full-targetdir.msm", L"Sub", kModule, L"[SystemFolder]MyDir\\Sub"},
                    // Any other "SourceDir" root without a property adds nothing.
                    {L"full.msm", L"PropRoot", kModule, L"D:\\Props"},
                    {L"full.msm", L"PropChild", kModule, L"D:\\Props\\Child"},
                    {L"full-targetdir.msm", L"PropChild", kModule, L"Child"},
                    // A "." folder right under TARGETDIR is a root of its own: its property or its key.
                    {L"full.msm", L"AppRoot", kModule, L"E:\\App"},
                    {L"full.msm", L"AppSub", kModule, L"E:\\App\\App"},
                    {L"full.msm", L"PlainRoot", kModule, L"PlainRoot"},
                });
}

TEST_F(DirectoryResolver, EachOptionChangesItsOwnPart) {
    const ResolveOptions noBrackets = Options(false, false, true, true, false);
    const ResolveOptions noCollapse = Options(false, false, true, false, true);
    const ResolveOptions noStrip = Options(false, false, false, true, true);
    const ResolveOptions shortNames = Options(false, true, true, true, true);
    const ResolveOptions source = Options(true, false, true, true, true);
    const ResolveOptions sourceShort = Options(true, true, true, true, true);
    ExpectPaths({
                    {L"full.msm", L"SystemFolder", noBrackets, L"SystemFolder"},
                    {L"full.msm", L"Sub", noBrackets, L"SystemFolder\\MyDir\\Sub"},
                    // Without collapsing, the key of a "." folder stands in its place.
                    {L"full.msm", Suffixed(L"Dot"), noCollapse, L"[SystemFolder]MyDir\\[Dot]"},
                    {L"full.msm", L"InDot", noCollapse, L"[SystemFolder]MyDir\\[Dot]\\InDot"},
                    {L"full.msm", L"Keep.Extra", noCollapse, L"[SystemFolder]MyDir\\[Keep.Extra]"},
                    {L"full.msm", L"AppRoot", noCollapse, L"[AppRoot]"},
                    {L"full.msm", L"InDot", Options(false, false, true, false, false), L"SystemFolder\\MyDir\\Dot\\InDot"},
                    {L"full.msm", Suffixed(L"Dot"), Options(false, false, false, false, true),
                     L"[SystemFolder]MyDir\\[Dot.0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9]"},
                    // An unstripped suffix hides the predefined folder behind the key.
                    {L"full.msm", Suffixed(L"SystemFolder"), noStrip, L"SystemFolder.0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9"},
                    {L"full.msm", Suffixed(L"Lib"), noStrip, L"[SystemFolder]MyDir\\Lib"},
                    {L"full.msm", L"Names", shortNames, L"[SystemFolder]MyDir\\NAMES~1"},
                    {L"full.msm", L"Names", source, L"[SystemFolder]MyDir\\Source Names"},
                    {L"full.msm", L"Names", sourceShort, L"[SystemFolder]MyDir\\SRCNAM~1"},
                    // Source names never collapse "." folders.
                    {L"full.msm", Suffixed(L"Dot"), source, L"[SystemFolder]MyDir\\[Dot]"},
                });
}

TEST_F(DirectoryResolver, UnresolvableKeysFailWithoutAPath) {
    struct Case {
        _stringx key;
        UINT expected;
    } cases[] = {
        {L"LongDir", ERROR_MORE_DATA},
        {L"UnderLong", ERROR_MORE_DATA},
        {L"NoSuchKey", ERROR_NO_MORE_ITEMS},
        {L"", ERROR_NO_MORE_ITEMS},
        {L"Orphan", ERROR_NO_MORE_ITEMS},
        {L"Lonely", ERROR_NO_MORE_ITEMS},
        {L"Loop1", ERROR_CIRCULAR_DEPENDENCY},
        {L"Self", ERROR_CIRCULAR_DEPENDENCY},
    };
    MSIHANDLE database = Open(L"full.msm");
    for (const auto& c : cases) {
        SCOPED_TRACE(_stringx(c.key).AsNarrow());
        _stringx path = L"stale";
        EXPECT_EQ(c.expected, ResolveDirectoryPath(database, c.key, path, kModule));
        EXPECT_EQ(_stringx(), path);
    }
}

TEST_F(DirectoryResolver, ModuleWithoutDirectoryTableReturnsTheInstallerCode) {
    _stringx path = L"stale";
    try {
        EXPECT_EQ(static_cast<UINT>(ERROR_BAD_QUERY_SYNTAX),
                  ResolveDirectoryPath(Open(L"signature-only.msm"), L"MyDir", path, kModule));
    } catch (const CComException& e) {
        ADD_FAILURE() << "raised " << _stringx(e.Error().Description()).AsNarrow();
    }
    EXPECT_EQ(_stringx(), path);
}

TEST_F(DirectoryResolver, PredefinedFoldersNeedARowAndMatchAnyCase) {
    struct Case {
        const wchar_t* key;
        bool expected;
    } cases[] = {
        {L"SystemFolder", true},
        {L"systemfolder", true},
        {L"MyDir", false},
        {L"WindowsFolder", false},  // predefined, but the module has no row for it
        {L"SystemFolder.0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9", false},
    };
    MSIHANDLE database = Open(L"full.msm");
    for (const auto& c : cases) EXPECT_EQ(c.expected, IsPredefinedFolderKey(database, c.key)) << _stringx(c.key).AsNarrow();
    EXPECT_EQ(21u, PredefinedFolderNames().size());
}

TEST_F(DirectoryResolver, PropertyValuesUpTo259Characters) {
    MSIHANDLE database = Open(L"full.msm");
    _stringx value;
    EXPECT_TRUE(LookupPropertyValue(database, L"PropRoot", value));
    EXPECT_EQ(_stringx(L"D:\\Props"), value);
    EXPECT_TRUE(LookupPropertyValue(database, L"Edge259", value));
    EXPECT_EQ(259u, value.length());

    for (const wchar_t* name : {L"Edge260", L"LongValue", L"NoSuchProperty", L"propRoot"}) {
        value = L"unchanged";
        EXPECT_FALSE(LookupPropertyValue(database, name, value)) << _stringx(name).AsNarrow();
        EXPECT_EQ(_stringx(L"unchanged"), value);
    }
    EXPECT_FALSE(LookupPropertyValue(Open(L"signature-only.msm"), L"PropRoot", value)) << "no Property table";
}

TEST(DirectoryText, DefaultDirParts) {
    struct Case {
        const wchar_t* value;
        bool useSource;
        bool useShortName;
        const wchar_t* expected;
    } cases[] = {
        {L"Dir", false, false, L"Dir"},
        {L"Dir", true, true, L"Dir"},
        {L"TARGE~1|Target Dir:SRC", false, false, L"Target Dir"},
        {L"TARGE~1|Target Dir:SRC", false, true, L"TARGE~1"},
        {L"TARGE~1|Target Dir:SRC", true, false, L"SRC"},
        {L"T|Target:S|Source", true, false, L"Source"},
        {L"T|Target:S|Source", true, true, L"S"},
        {L"A|B|C", false, false, L"B|C"},
        {L".", false, false, L"."},
        {L"", false, false, L""},
    };
    for (const auto& c : cases) {
        _stringx result = L"stale";
        EXPECT_EQ(0u, ParseDefaultDir(c.value, c.useSource, c.useShortName, result));
        EXPECT_EQ(_stringx(c.expected), result) << _stringx(c.value).AsNarrow() << " " << c.useSource << c.useShortName;
    }
}

TEST(DirectoryText, ModuleSuffixIsAGuidOf32Or36Characters) {
    EXPECT_TRUE(HasModuleSuffix(kSuffix));
    EXPECT_TRUE(HasModuleSuffix(std::wstring(32, L'A')));
    for (size_t length : {0u, 5u, 31u, 33u, 35u, 37u}) EXPECT_FALSE(HasModuleSuffix(std::wstring(length, L'A'))) << length;
}

FILETIME LastWriteTime(const _stringx& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
}

// Reading a module, every table and summary and every directory of it, never writes to it.
TEST_F(DirectoryResolver, ReadingNeverChangesAModule) {
    _stringx folder = cvtest::FreshScratchDir(L"read-only");
    _stringx module = JoinPath(folder, L"full.msm");
    _stringx garbage = JoinPath(folder, L"corrupt.msm");
    ASSERT_TRUE(cvtest::CopyInto(FixturePath(L"full.msm"), folder));
    ASSERT_TRUE(cvtest::CopyInto(FixturePath(L"corrupt.msm"), folder));
    // An old time, so that any write would show even on a coarse clock.
    FILETIME old{};
    SYSTEMTIME then{2001, 2, 0, 3, 4, 5, 6, 0};
    SystemTimeToFileTime(&then, &old);
    for (const _stringx& path : {module, garbage}) {
        unique_file file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &old));
    }
    const std::string bytes = cvtest::ReadBytes(module);

    for (const wchar_t* table : {L"ModuleSignature", L"ModuleDependency", L"ModuleExclusion", L"Component", L"File",
                                 L"Directory", L"Property", L"Dialog", L"CustomAction", L"NoSuchTable"}) {
        for (const _stringx& path : {module, garbage}) {
            TableCursor cursor;
            cursor.OpenTable(path, table);
            while (cursor.Fetch()) cursor.GetString(1);
        }
    }
    {
        InstallerHandle summary;
        EXPECT_EQ(0u, MsiGetSummaryInformationW(0, module.c_str(), 0, summary.put()));
        InstallerHandle database;
        ASSERT_EQ(0u, MsiOpenDatabaseW(module.c_str(), MSIDBOPEN_READONLY, database.put()));
        TableCursor keys;
        keys.OpenQuery(module, L"SELECT `Directory` FROM `Directory`");
        while (keys.Fetch()) {
            _stringx path;
            ResolveDirectoryPath(database.get(), keys.GetString(1), path, kModule);
            ResolveDirectoryPath(database.get(), keys.GetString(1), path, Options(true, true, false, false, false));
        }
    }

    EXPECT_EQ(bytes, cvtest::ReadBytes(module));
    for (const _stringx& path : {module, garbage}) {
        FILETIME now = LastWriteTime(path);
        EXPECT_EQ(0, CompareFileTime(&old, &now)) << _stringx(path).AsNarrow();
    }
}

}  // namespace
