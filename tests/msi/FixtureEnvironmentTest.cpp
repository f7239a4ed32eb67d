// The generated modules and the laid-out environment are what the other tests build on: check that
// they hold what their sources say, through msi.dll and through the stand-in application services.
#include <windows.h>
#include <gtest/gtest.h>
#include <objbase.h>
#include <propidl.h>
#include "appservices.h"
#include "msi/InstallerAccess.h"
#include "server/SiblingLoader.h"
#include "tests/support/Environment.h"
#include "tests/support/TestSupport.h"

namespace {

using cvtest::FixturePath;

// Summary information property ids.
enum : UINT { kNotText = 0xFFFF, kCodepage = 1, kSubject = 3, kAuthor = 4, kComments = 6, kTemplate = 7, kRevision = 9 };

struct SummaryValue {
    UINT type = VT_EMPTY;
    INT number = 0;
    _stringx text;
};

SummaryValue ReadSummary(const wchar_t* fixture, UINT property) {
    SummaryValue value;
    InstallerHandle summary;
    if (MsiGetSummaryInformationW(0, FixturePath(fixture).c_str(), 0, summary.put()) != ERROR_SUCCESS) return value;
    wchar_t text[1024] = L"";
    DWORD size = ARRAYSIZE(text);
    FILETIME time{};
    MsiSummaryInfoGetPropertyW(summary.get(), property, &value.type, &value.number, &time, text, &size);
    if (value.type == VT_LPSTR) value.text = text;
    return value;
}

class Fixtures : public cvtest::ComTest {};

TEST_F(Fixtures, SummaryPropertiesKeepTheirTextsAndTypes) {
    struct Case {
        const wchar_t* fixture;
        UINT property;
        UINT type;
        const wchar_t* text;
    } cases[] = {
        {L"full.msm", kSubject, VT_LPSTR, L"Full Test Module"},
        {L"full.msm", kAuthor, VT_LPSTR, L"Test Author"},
        {L"full.msm", kComments, VT_LPSTR, L"Every table of a merge module, filled"},
        {L"full.msm", kRevision, VT_LPSTR, L"{5D0C6A1E-7B2F-4C3D-9E8A-1F2B3C4D5E6F}"},
        {L"full.msm", kTemplate, VT_LPSTR, L"Intel;1033"},
        {L"full.msm", kCodepage, VT_I2, nullptr},
        // A variant overrides its base's values and keeps the others.
        {L"full-targetdir.msm", kSubject, VT_LPSTR, L"Full Test Module With Target Folder"},
        {L"full-targetdir.msm", kAuthor, VT_LPSTR, L"Test Author"},
        // Wine's installer drops a value of the wrong type, Windows' reports its type: never text.
        {L"foreign-summary.msm", kAuthor, kNotText, nullptr},
        {L"foreign-summary.msm", kComments, kNotText, nullptr},
        {L"foreign-summary.msm", kSubject, VT_LPSTR, L"Foreign Summary Types"},
        {L"empty-signature.msm", kSubject, VT_EMPTY, nullptr},
        {L"multi-1031.msm", kTemplate, VT_LPSTR, L"Intel;1031"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE((_stringx(c.fixture) + _stringx::Formatted(L" property %u", c.property)).AsNarrow());
        SummaryValue value = ReadSummary(c.fixture, c.property);
        if (c.type == kNotText)
            EXPECT_NE(static_cast<UINT>(VT_LPSTR), value.type);
        else
            EXPECT_EQ(c.type, value.type);
        if (c.text) {
            EXPECT_EQ(_stringx(c.text), value.text);
        }
    }
    EXPECT_EQ(1252, ReadSummary(L"full.msm", kCodepage).number);
}

// What the stream itself holds where a reader expects text.
TEST_F(Fixtures, ForeignSummaryTypesAreStoredAsWritten) {
    ComPtr<IStorage> storage;
    ASSERT_EQ(S_OK, StgOpenStorage(FixturePath(L"foreign-summary.msm").c_str(), nullptr,
                                   STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, storage.Put()));
    ComPtr<IPropertySetStorage> sets;
    ASSERT_EQ(S_OK, storage.As(IID_IPropertySetStorage, sets));
    ComPtr<IPropertyStorage> properties;
    ASSERT_EQ(S_OK, sets->Open(FMTID_SummaryInformation, STGM_READ | STGM_SHARE_EXCLUSIVE, properties.Put()));
    PROPSPEC specs[2] = {{PRSPEC_PROPID, {kAuthor}}, {PRSPEC_PROPID, {kComments}}};
    PROPVARIANT values[2] = {};
    ASSERT_EQ(S_OK, properties->ReadMultiple(2, specs, values));
    EXPECT_EQ(VT_I4, values[0].vt);
    EXPECT_EQ(42, values[0].lVal);
    EXPECT_EQ(VT_FILETIME, values[1].vt);
    SYSTEMTIME date{};
    FileTimeToSystemTime(&values[1].filetime, &date);
    EXPECT_EQ(2001, date.wYear);
    EXPECT_EQ(3, date.wDay);
    FreePropVariantArray(2, values);
}

// A variant replaces its base's tables and keeps the others; directives expand.
TEST_F(Fixtures, TablesComeFromTheirSources) {
    struct Case {
        const wchar_t* fixture;
        const wchar_t* query;
        const wchar_t* first;
        int rows;
    } cases[] = {
        {L"full-targetdir.msm", L"SELECT `Value` FROM `Property` WHERE `Property` = 'TARGETDIR'", L"C:\\Out", 1},
        {L"full-targetdir.msm", L"SELECT `File` FROM `File`", nullptr, 6},
        {L"multi-1033.msm", L"SELECT `Language` FROM `ModuleSignature`", L"1033", 1},
        {L"multi-1033.msm", L"SELECT `FileName` FROM `File`", L"shared.dll", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(_stringx(c.query).AsNarrow());
        TableCursor cursor;
        cursor.OpenQuery(FixturePath(c.fixture), c.query);
        ASSERT_TRUE(cursor.IsOpen());
        int rows = 0;
        for (; cursor.Fetch(); ++rows) {
            if (rows == 0 && c.first) {
                EXPECT_EQ(_stringx(c.first), cursor.GetString(1));
            }
        }
        EXPECT_EQ(c.rows, rows);
    }
    TableCursor cursor;
    cursor.OpenQuery(FixturePath(L"full.msm"), L"SELECT `DefaultDir` FROM `Directory` WHERE `Directory` = 'LongDir'");
    ASSERT_TRUE(cursor.Fetch());
    EXPECT_EQ(_stringx(std::wstring(300, L'd')), cursor.GetString(1));
}

template <typename T>
ComPtr<T> AppServices(REFIID iid) {
    ComPtr<T> object;
    EXPECT_EQ(S_OK, CreateSiblingObject(L"CvAppServices.dll", CLSID_AppServices, iid, object.PutVoid()));
    return object;
}

_stringx Take(BSTR text) {
    unique_bstr owner(text);
    return text;
}

class Environment : public cvtest::ComTest {};

TEST_F(Environment, ApplicationServicesSeeTheLaidOutEnvironment) {
    cvtest::TestEnvironment environment(L"environment");
    _stringx first = environment.AddSearchFolder(L"Modules\\First");
    _stringx second = environment.AddSearchFolder(L"Second");
    environment.SetSearchPath({first, second});
    environment.SetModuleFolders({second, first, second});
    environment.SetModuleFolders({first});
    environment.SetMatchResolvedFolder(true);
    _stringx copy = environment.CopyFixture(L"full.msm", first, L"copy.msm");
    EXPECT_EQ(cvtest::ReadBytes(FixturePath(L"full.msm")), cvtest::ReadBytes(copy));
    EXPECT_TRUE(cvtest::FileExists(environment.RepositoriesFile()));

    ComPtr<IAppFolders> folders = AppServices<IAppFolders>(IID_IAppFolders);
    ComPtr<IAppSettings> settings = AppServices<IAppSettings>(IID_IAppSettings);
    ComPtr<IAppSearchPaths> searchPaths = AppServices<IAppSearchPaths>(IID_IAppSearchPaths);
    ASSERT_TRUE(folders && settings && searchPaths);
    BSTR text = nullptr;
    ASSERT_EQ(S_OK, folders->ApplicationFolder(&text));
    EXPECT_EQ(environment.ApplicationFolder(), Take(text));
    ASSERT_EQ(S_OK, folders->ModulesIndexFolder(&text));
    EXPECT_EQ(environment.IndexFolder(), Take(text));
    ASSERT_EQ(S_OK, searchPaths->SearchPath(&text));
    EXPECT_EQ(first + L"," + second, Take(text));
    ASSERT_EQ(S_OK, settings->MergeModuleFolder(0, &text));
    EXPECT_EQ(first, Take(text));
    ASSERT_EQ(S_OK, settings->MergeModuleFolder(1, &text));
    EXPECT_EQ(_stringx(), Take(text)) << "a shorter list replaces a longer one";
    VARIANT_BOOL on = VARIANT_FALSE;
    ASSERT_EQ(S_OK, searchPaths->MatchResolvedFolder(&on));
    EXPECT_EQ(VARIANT_TRUE, on);
}

TEST_F(Environment, PointsTheProcessAtItsFileOnlyWhileItLives) {
    SetEnvironmentVariableW(L"CVAPPSERVICES_INI", L"before.ini");
    {
        cvtest::TestEnvironment environment(L"environment-scope");
        wchar_t value[MAX_PATH] = L"";
        GetEnvironmentVariableW(L"CVAPPSERVICES_INI", value, MAX_PATH);
        EXPECT_EQ(environment.IniPath(), _stringx(value));
    }
    wchar_t value[MAX_PATH] = L"";
    GetEnvironmentVariableW(L"CVAPPSERVICES_INI", value, MAX_PATH);
    EXPECT_EQ(_stringx(L"before.ini"), _stringx(value));
    SetEnvironmentVariableW(L"CVAPPSERVICES_INI", nullptr);
}

}  // namespace
