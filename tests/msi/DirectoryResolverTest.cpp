#include <windows.h>
#include <gtest/gtest.h>
#include <msiquery.h>
#include <map>
#include <set>
#include <vector>
#include "msi/DirectoryResolver.h"
#include "msi/InstallerAccess.h"
#include "server/ComException.h"
#include "tests/support/Environment.h"
#include "tests/support/TestSupport.h"

namespace {

using cvtest::FixturePath;

const wchar_t kSuffix[] = L"0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9";

_stringx Suffixed(const wchar_t* key) { return _stringx(key) + L"." + kSuffix; }

// Flags in their declaration order: useSource, useShortName, strip, collapse, bracket.
const ResolveOptions kModule{false, false, true, true, true};

struct PathCase {
    const wchar_t* fixture;
    _stringx key;
    ResolveOptions options;
    const wchar_t* expected;
};

InstallerHandle Open(const wchar_t* fixture) {
    InstallerHandle database;
    EXPECT_EQ(0u, MsiOpenDatabaseW(FixturePath(fixture).c_str(), MSIDBOPEN_READONLY, database.put()));
    return database;
}

void ExpectPaths(const std::vector<PathCase>& cases) {
    for (const auto& c : cases) {
        _stringx path = L"stale", where = c.fixture + _stringx(L": ") + c.key;
        EXPECT_EQ(0u, ResolveDirectoryPath(Open(c.fixture).get(), c.key, path, c.options)) << where.AsNarrow();
        EXPECT_EQ(_stringx(c.expected), path) << where.AsNarrow();
    }
}

class DirectoryResolver : public cvtest::ComTest {};

TEST_F(DirectoryResolver, ModuleOptionsRootPathsAtPredefinedFoldersAndProperties) {
    ExpectPaths({
        {L"full.msm", L"Names", kModule, L"[SystemFolder]MyDir\\Long Names"},
        // The module suffix is cut off the key, not out of the folder name.
        {L"full.msm", Suffixed(L"Lib"), kModule, L"[SystemFolder]MyDir\\Lib"},
        {L"full.msm", Suffixed(L"SystemFolder"), kModule, L"[SystemFolder]"},
        // "." folders add nothing below a folder other than TARGETDIR.
        {L"full.msm", Suffixed(L"Dot"), kModule, L"[SystemFolder]MyDir"},
        {L"full.msm", L"InDot", kModule, L"[SystemFolder]MyDir\\InDot"},
        // The predefined test ignores case; the path keeps the key as written.
        {L"full.msm", L"LowSub", kModule, L"[systemfolder]Low"},
        // TARGETDIR is "SourceDir": its property, if the module has one, roots the path.
        {L"full.msm", L"TARGETDIR", kModule, L""},
        {L"full.msm", L"TopDir", kModule, L"TopDir"},
        {L"full-targetdir.msm", L"TARGETDIR", kModule, L"C:\\Out"},
        {L"full-targetdir.msm", L"TopDir", kModule, L"C:\\Out\\TopDir"},
        // Any other "SourceDir" root without a property adds nothing.
        {L"full.msm", L"PropChild", kModule, L"D:\\Props\\Child"},
        {L"full-targetdir.msm", L"PropChild", kModule, L"Child"},
        // A "." folder right under TARGETDIR is a root of its own: its property or its key.
        {L"full.msm", L"AppSub", kModule, L"E:\\App\\App"},
        {L"full.msm", L"PlainRoot", kModule, L"PlainRoot"},
    });
}

TEST_F(DirectoryResolver, EachOptionChangesItsOwnPart) {
    const ResolveOptions noBrackets{false, false, true, true, false};
    const ResolveOptions noCollapse{false, false, true, false, true};
    ExpectPaths({
        {L"full.msm", L"SystemFolder", noBrackets, L"SystemFolder"},
        {L"full.msm", L"Sub", noBrackets, L"SystemFolder\\MyDir\\Sub"},
        // Without collapsing, the key of a "." folder stands in its place.
        {L"full.msm", L"InDot", noCollapse, L"[SystemFolder]MyDir\\[Dot]\\InDot"},
        {L"full.msm", L"Keep.Extra", noCollapse, L"[SystemFolder]MyDir\\[Keep.Extra]"},
        // An unstripped suffix hides the predefined folder behind the key.
        {L"full.msm", Suffixed(L"SystemFolder"), {false, false, false, true, true},
         L"SystemFolder.0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9"},
        {L"full.msm", L"Names", {false, true, true, true, true}, L"[SystemFolder]MyDir\\NAMES~1"},
        {L"full.msm", L"Names", {true, true, true, true, true}, L"[SystemFolder]MyDir\\SRCNAM~1"},
        // Source names never collapse "." folders.
        {L"full.msm", Suffixed(L"Dot"), {true, false, true, true, true}, L"[SystemFolder]MyDir\\[Dot]"},
    });
}

TEST_F(DirectoryResolver, UnresolvableKeysFailWithoutAPath) {
    const std::pair<const wchar_t*, UINT> cases[] = {
        {L"LongDir", ERROR_MORE_DATA},        {L"UnderLong", ERROR_MORE_DATA},
        {L"NoSuchKey", ERROR_NO_MORE_ITEMS},  {L"", ERROR_NO_MORE_ITEMS},
        {L"Orphan", ERROR_NO_MORE_ITEMS},     {L"Lonely", ERROR_NO_MORE_ITEMS},
        {L"Loop1", ERROR_CIRCULAR_DEPENDENCY}, {L"Self", ERROR_CIRCULAR_DEPENDENCY},
    };
    InstallerHandle database = Open(L"full.msm");
    for (const auto& [key, expected] : cases) {
        _stringx path = L"stale";
        EXPECT_EQ(expected, ResolveDirectoryPath(database.get(), key, path, kModule)) << _stringx(key).AsNarrow();
        EXPECT_EQ(_stringx(), path);
    }
    // No Directory table: the installer's code comes back, nothing is raised.
    _stringx path = L"stale";
    EXPECT_NO_THROW(EXPECT_EQ(static_cast<UINT>(ERROR_BAD_QUERY_SYNTAX),
                              ResolveDirectoryPath(Open(L"signature-only.msm").get(), L"MyDir", path, kModule)));
    EXPECT_EQ(_stringx(), path);
}

TEST_F(DirectoryResolver, PredefinedKeysNeedARowAndPropertiesFitTheirBuffer) {
    InstallerHandle handle = Open(L"full.msm");
    MSIHANDLE database = handle.get();
    EXPECT_FALSE(IsPredefinedFolderKey(database, L"WindowsFolder")) << "predefined, but the module has no row";

    // Values up to 259 characters; a longer one, another case or no row gives nothing.
    _stringx value;
    EXPECT_TRUE(LookupPropertyValue(database, L"Edge259", value));
    EXPECT_EQ(259u, value.length());
    for (const wchar_t* name : {L"Edge260", L"NoSuchProperty", L"propRoot"}) {
        value = L"unchanged";
        EXPECT_FALSE(LookupPropertyValue(database, name, value)) << _stringx(name).AsNarrow();
        EXPECT_EQ(_stringx(L"unchanged"), value);
    }
    EXPECT_FALSE(LookupPropertyValue(Open(L"signature-only.msm").get(), L"PropRoot", value)) << "no Property table";
}

TEST(DirectoryText, DefaultDirPartsAndModuleSuffixes) {
    // The long, short and source-short names of "Names" show in the resolved paths.
    struct Case {
        const wchar_t* value;
        bool useSource, useShortName;
        const wchar_t* expected;
    } cases[] = {
        {L"TARGE~1|Target Dir:SRC", true, false, L"SRC"},
        {L"T|Target:S|Source", true, true, L"S"},
        {L"A|B|C", false, false, L"B|C"},
        {L"", false, false, L""},
    };
    for (const auto& c : cases) {
        _stringx result = L"stale";
        EXPECT_EQ(0u, ParseDefaultDir(c.value, c.useSource, c.useShortName, result));
        EXPECT_EQ(_stringx(c.expected), result) << _stringx(c.value).AsNarrow() << " " << c.useSource << c.useShortName;
    }
    for (size_t length : {0u, 5u, 31u, 32u, 33u, 35u, 36u, 37u})
        EXPECT_EQ(length == 32 || length == 36, HasModuleSuffix(std::wstring(length, L'A'))) << length;
}

}  // namespace

// The table read once answers every key exactly as the queries do: every key of every module
// (loops, orphans, values at the field's capacity, property roots, suffixes of every length, "."
// folders, predefined names in any case), keys it lacks, and keys that a query's text could not hold,
// which alone it may decline.
TEST_F(DirectoryResolver, TableReadOnceAnswersAsTheQueriesDo) {
    const std::set<_stringx> mayDecline = {L"It's", L"My Dir", L"\u00C4rger", L"UnderQuote", L"UnderSpaced"};
    std::map<UINT, size_t> answered;
    for (const wchar_t* fixture : {L"full.msm", L"full-targetdir.msm", L"multi-1031.msm", L"signature-only.msm",
                                   L"directories.msm", L"directories-props.msm"}) {
        InstallerHandle database = Open(fixture);
        std::vector<_stringx> keys = {L"NoSuchKey", L"", L"It's", Suffixed(L"Missing")};
        InstallerHandle view;
        if (MsiDatabaseOpenViewW(database.get(), L"SELECT `Directory` FROM `Directory`", view.put()) == 0 &&
            MsiViewExecute(view.get(), 0) == 0)
            for (InstallerHandle row; MsiViewFetch(view.get(), row.put()) == 0;) keys.push_back(GetRecordString(row.get(), 1));
        DirectoryTable table;
        const bool loaded = table.Load(database.get());
        EXPECT_EQ(keys.size() > 4, loaded) << _stringx(fixture).AsNarrow();
        for (_stringx& key : keys) {
            UINT status = 0xFFFF;
            _stringx path = L"stale";
            _stringx where = _stringx(fixture) + L": " + key;
            if (!table.Resolve(key, status, path)) {
                EXPECT_TRUE(!loaded || mayDecline.count(key)) << "declined " << where.AsNarrow();
                continue;
            }
            _stringx expected = L"stale";
            UINT expectedStatus = 0xFFFE;
            try {
                expectedStatus = ResolveDirectoryPath(database.get(), key, expected, ResolveOptions());
            } catch (const CComException&) {
                ADD_FAILURE() << "the table answered where the queries raise: " << where.AsNarrow();
            }
            ++answered[expectedStatus];
            EXPECT_EQ(expectedStatus, status) << where.AsNarrow();
            if (expectedStatus == 0) {
                EXPECT_EQ(expected, path) << where.AsNarrow();
            }
        }
    }
    // Every outcome is met many times over: the rows reach each step.
    for (UINT status : {ERROR_SUCCESS, ERROR_MORE_DATA, ERROR_NO_MORE_ITEMS, ERROR_CIRCULAR_DEPENDENCY})
        EXPECT_GT(answered[status], 4u) << status;
}
