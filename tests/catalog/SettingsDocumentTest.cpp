// The file exclusions of the environment's settings document, read through the system's XML parser.
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include "catalog/SettingsDocument.h"
#include "server/ComException.h"
#include "tests/support/TestSupport.h"

namespace {

const wchar_t kAlpha[] = L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}";
const wchar_t kBeta[] = L"{11111111-2222-3333-4444-555555555555}";

class SettingsDocumentTest : public cvtest::ComTest {
protected:
    _stringx Write(const wchar_t* name, const std::string& xml) {
        _stringx path = JoinPath(cvtest::FreshScratchDir(name), L"Settings.xml");
        cvtest::WriteText(path, xml);
        return path;
    }
};

TEST_F(SettingsDocumentTest, ExclusionPairsPackageCodeWithFileNameIgnoringCase) {
    _stringx path = Write(L"settings-exclusions",
                          "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
                          "<Workbench><IDE><Workspaces><MM_FilesExlusion>\r\n"
                          "  <FilesExlusion MM_GUID=\"{0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9}\" InclusionFileNames=\"a.dll\"/>\r\n"
                          "  <FilesExlusion MM_GUID=\"{11111111-2222-3333-4444-555555555555}\"/>\r\n"
                          "  <FilesExlusion InclusionFileNames=\"c.dll\"/>\r\n"
                          "  <FilesExlusion MM_GUID=\"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}\" InclusionFileNames=\"\xC3\x84rger.dll\"/>\r\n"
                          "</MM_FilesExlusion>\r\n"
                          "<FilesExlusion MM_GUID=\"{11111111-2222-3333-4444-555555555555}\" InclusionFileNames=\"wrong-depth.dll\"/>\r\n"
                          "</Workspaces></IDE></Workbench>\r\n");
    SettingsDocument document(path);
    struct Case {
        const wchar_t* packageCode;
        const wchar_t* fileName;
        bool excluded;
    } cases[] = {
        {kAlpha, L"A.DLL", true},
        {kAlpha, L"a.dl", false},
        {kAlpha, L"a.dll ", false},
        {kAlpha, L"b.dll", false},
        {kBeta, L"a.dll", false},
        {kAlpha, L"\x00E4RGER.DLL", true},
        // A missing attribute counts as empty text.
        {kBeta, L"", true},
        {kBeta, L"x.dll", false},
        {L"", L"c.dll", true},
        {kBeta, L"wrong-depth.dll", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE((_stringx(c.packageCode) + L" " + c.fileName).AsNarrow());
        EXPECT_EQ(c.excluded, document.IsFileExcluded(c.packageCode, c.fileName));
    }
    // The one-call form loads the same answers.
    EXPECT_TRUE(IsFileExcluded(path, kAlpha, L"a.dll"));
}

TEST_F(SettingsDocumentTest, DocumentWithoutExclusionsExcludesNothing) {
    _stringx path = Write(L"settings-none", "<?xml version=\"1.0\"?>\r\n<Workbench><IDE><Workspaces/></IDE></Workbench>\r\n");
    EXPECT_FALSE(IsFileExcluded(path, kAlpha, L"a.dll"));
    EXPECT_FALSE(IsFileExcluded(path, L"", L""));
}

TEST_F(SettingsDocumentTest, DocumentThatDoesNotLoadRaisesNamingTheFile) {
    _stringx broken = Write(L"settings-broken", "<Workbench><IDE></Workbench>");
    _stringx missing = JoinPath(cvtest::FreshScratchDir(L"settings-missing"), L"Settings.xml");
    for (const _stringx& path : {broken, missing}) {
        SCOPED_TRACE(_stringx(path).AsNarrow());
        try {
            IsFileExcluded(path, kAlpha, L"a.dll");
            ADD_FAILURE() << "no error raised";
        } catch (const CComException& e) {
            EXPECT_TRUE(FAILED(e.Error().Error()));
            EXPECT_NE(std::wstring::npos, e.Error().Description().str().find(path.str()))
                << _stringx(e.Error().Description()).AsNarrow();
        }
    }
}

}  // namespace
