// The files the catalog reads besides modules: the gallery folder (which description files become
// catalog entries, and what they keep) and the file exclusions of the settings document, read through
// the system's XML parser.
#include <windows.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <string>
#include <vector>
#include "catalog/GalleryScan.h"
#include "catalog/SettingsDocument.h"
#include "server/ComException.h"
#include "server/SiblingLoader.h"
#include "tests/model/ModelTest.h"
#include "tests/support/TestSupport.h"

namespace {

std::string Description(const char* moduleId, const char* language, const char* version = "1.0.0.0") {
    std::string text = "[MergeModule]\r\nLanguage=" + std::string(language) + "\r\nVersion=" + version + "\r\n";
    return moduleId ? text + "ModuleID=" + moduleId + "\r\n" : text;
}

class GalleryScan : public cvtest::ModelTest {
protected:
    void SetUp() override {
        ModelTest::SetUp();
        ASSERT_EQ(S_OK, CreateSiblingObject(L"CvAppServices.dll", CLSID_AppServices, IID_IAppFolders, folders_.PutVoid()));
    }
    void TearDown() override {
        entries_.clear();
        folders_ = nullptr;
        ModelTest::TearDown();
    }
    // One rebuild into an empty collection that already holds the keys given.
    std::vector<CatalogEntry*> Scan(std::vector<_stringx> taken = {}) {
        std::vector<CatalogEntry*> added;
        auto isTaken = [&](const _stringx& key) { return std::find(taken.begin(), taken.end(), key) != taken.end(); };
        ScanGallery(folders_.Get(), entries_, isTaken, [&](const std::shared_ptr<CatalogEntry>& entry) {
            taken.push_back(entry->EntryKey());
            added.push_back(entry.get());
        });
        return added;
    }

    ComPtr<IAppFolders> folders_;
    GalleryEntryMap entries_;
};

TEST_F(GalleryScan, DescribedModulesBecomeEntriesUnlessTakenOrWithoutModuleId) {
    _stringx alpha = WriteGallery(L"Alpha", Description("Alpha.GUID", "1033", "2.1.0.0"));
    WriteGallery(L"NoId", Description(nullptr, "1033"));
    WriteGallery(L"Empty", Description("", "0"));
    WriteGallery(L"OnDisk", Description("OnDisk.GUID", "1031"));
    CreateDirectoryW(JoinPath(Env().GalleryFolder(), L"Folder.ini").c_str(), nullptr);
    // A time of its own, so that neither "now" nor zero can pass for it.
    FILETIME written = {0x12345678, 0x01C0FFEE};
    {
        unique_file file(CreateFileW(alpha.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &written));
    }

    std::vector<CatalogEntry*> added = Scan({L"OnDisk.GUID:1031"});
    ASSERT_EQ(1u, added.size());
    const CatalogEntry& entry = *added[0];
    EXPECT_EQ(_stringx(L"Alpha.GUID:1033|2.1.0.0|Alpha"), entry.EntryKey() + L"|" + entry.Version() + L"|" +
                                                               entry.RevisionNumber());
    EXPECT_TRUE(entry.FromGallery());
    EXPECT_EQ(static_cast<ULONGLONG>(written.dwHighDateTime) << 32 | written.dwLowDateTime, entry.LastWriteTime());
    // Only added entries are kept, under the lower-cased path.
    ASSERT_EQ(1u, entries_.size());
    EXPECT_EQ(alpha.Lower(), entries_.begin()->first);
    EXPECT_EQ(&entry, entries_.begin()->second.get());
}

TEST_F(GalleryScan, FirstListedFileWinsAKeyAndARescanReplacesItsEntry) {
    WriteGallery(L"One", Description("Same.GUID", "1033", "1.0.0.0"));
    WriteGallery(L"Two", Description("Same.GUID", "1033", "2.0.0.0"));
    WIN32_FIND_DATAW first;
    unique_find listing(FindFirstFileW(JoinPath(Env().GalleryFolder(), L"*.ini").c_str(), &first));
    ASSERT_TRUE(listing);
    std::vector<CatalogEntry*> added = Scan();
    ASSERT_EQ(1u, added.size());
    _stringx winner = added[0]->RevisionNumber();
    EXPECT_EQ(_stringx(first.cFileName), winner + L".ini");

    WriteGallery(winner.c_str(), Description("Same.GUID", "1033", "1.5.0.0"));
    added = Scan();
    ASSERT_EQ(1u, added.size());
    EXPECT_EQ(_stringx(L"1.5.0.0"), added[0]->Version());
    ASSERT_EQ(1u, entries_.size()) << "the entry of the same path is replaced";
    EXPECT_EQ(added[0], entries_.begin()->second.get());

    cvtest::RemoveTree(Env().GalleryFolder());
    EXPECT_TRUE(Scan().empty()) << "a missing gallery folder adds nothing";
}

const wchar_t kAlpha[] = L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}";
const wchar_t kBeta[] = L"{11111111-2222-3333-4444-555555555555}";

_stringx Write(const wchar_t* name, const std::string& xml) {
    _stringx path = JoinPath(cvtest::FreshScratchDir(name), L"Settings.xml");
    cvtest::WriteText(path, xml);
    return path;
}

using SettingsDocumentTest = cvtest::ComTest;

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
    const struct {
        const wchar_t* packageCode;
        const wchar_t* fileName;
        bool excluded;
    } cases[] = {
        {kAlpha, L"A.DLL", true},        {kAlpha, L"a.dll ", false},  {kAlpha, L"b.dll", false},
        {kBeta, L"a.dll", false},        {kAlpha, L"\x00E4RGER.DLL", true},
        {kBeta, L"", true},              {L"", L"c.dll", true},  // a missing attribute counts as empty text
        {kBeta, L"wrong-depth.dll", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.excluded, document.IsFileExcluded(c.packageCode, c.fileName))
            << (_stringx(c.packageCode) + L" " + c.fileName).AsNarrow();
    _stringx none = Write(L"settings-none", "<Workbench><IDE><Workspaces/></IDE></Workbench>\r\n");
    EXPECT_FALSE(IsFileExcluded(none, L"", L"")) << "a document without exclusions excludes nothing";
}

// Writes a document excluding only "<excluded>.dll", dated `seconds` after `base`, and gives the names
// among a, b, cc, dd, ee that the kept document finds excluded.
_stringx WriteAndAsk(const _stringx& path, const char* excluded, const FILETIME& base, int seconds) {
    cvtest::WriteTextDated(path,
                           std::string("<Workbench><IDE><Workspaces><MM_FilesExlusion><FilesExlusion MM_GUID=\"") +
                               _stringx(kAlpha).AsNarrow() + "\" InclusionFileNames=\"" + excluded +
                               ".dll\"/></MM_FilesExlusion></Workspaces></IDE></Workbench>\r\n",
                           base, seconds);
    _stringx found;
    for (const wchar_t* name : {L"a", L"b", L"cc", L"dd", L"ee"})
        if (IsFileExcluded(path, kAlpha, _stringx(name) + L".dll")) found += name;
    return found;
}

// The document is read again when its size, time or path changes, or when it is dated within the
// last two seconds (here: in the future); the same size and time an hour ago answer from what was read.
TEST_F(SettingsDocumentTest, KeptUntilTheFileChanges) {
    const _stringx folder = cvtest::FreshScratchDir(L"settings-kept");
    const _stringx path = JoinPath(folder, L"Settings.xml"), other = JoinPath(folder, L"Other.xml");
    FILETIME base;
    GetSystemTimeAsFileTime(&base);
    const int hourAgo = -3600, inAnHour = 3600;
    const struct {
        const char* excluded;  // the one file name the document excludes
        int seconds;
        const wchar_t* answer;  // the file name found excluded
        bool otherPath;
    } steps[] = {
        {"a", hourAgo, L"a", false},     {"b", hourAgo, L"a", false},      // same size and time: kept
        {"b", hourAgo + 1, L"b", false}, {"cc", hourAgo + 1, L"cc", false},  // time, size
        {"dd", inAnHour, L"dd", false},  {"ee", inAnHour, L"ee", false},     // dated recently: read again
        {"a", hourAgo, L"a", true},      {"b", hourAgo, L"b", false},        // same size and time, two paths
        {"a", hourAgo, L"b", false},
    };
    for (const auto& step : steps)
        EXPECT_EQ(_stringx(step.answer), WriteAndAsk(step.otherPath ? other : path, step.excluded, base, step.seconds))
            << "step " << (&step - steps);
}

// Dated just now, so in the past when read, and rewritten with the same size and time: read again.
// A pass that took longer than the two seconds its time cannot tell apart proves nothing and is made
// again.
TEST_F(SettingsDocumentTest, RewrittenWithinTheWindowIsReadAgain) {
    const _stringx path = JoinPath(cvtest::FreshScratchDir(L"settings-window"), L"Settings.xml");
    for (int pass = 0; pass < 20; ++pass) {
        FILETIME dated, after;
        GetSystemTimeAsFileTime(&dated);
        _stringx first = WriteAndAsk(path, "a", dated, 0), second = WriteAndAsk(path, "b", dated, 0);
        GetSystemTimeAsFileTime(&after);
        auto ticks = [](const FILETIME& time) { return ULARGE_INTEGER{{time.dwLowDateTime, time.dwHighDateTime}}.QuadPart; };
        if (ticks(after) - ticks(dated) >= 2 * 10000000ull) continue;
        EXPECT_EQ(_stringx(L"a|b"), first + L"|" + second);
        return;
    }
    GTEST_SKIP() << "no pass finished within two seconds";
}

TEST_F(SettingsDocumentTest, DocumentThatDoesNotLoadRaisesNamingTheFile) {
    _stringx broken = Write(L"settings-broken", "<Workbench><IDE></Workbench>");
    _stringx missing = JoinPath(cvtest::FreshScratchDir(L"settings-missing"), L"Settings.xml");
    for (const _stringx& path : {broken, missing}) {
        try {
            IsFileExcluded(path, kAlpha, L"a.dll");
            ADD_FAILURE() << "no error raised";
        } catch (const CComException& e) {
            EXPECT_TRUE(FAILED(e.Error().Error()));
            EXPECT_EQ(GUID_NULL, e.Error().InterfaceGuid());
            EXPECT_NE(std::wstring::npos, e.Error().Description().str().find(path.str()))
                << _stringx(e.Error().Description()).AsNarrow();
        }
    }
}

// A class that this process makes unavailable: its class object refuses every instance.
class UnavailableClass : public IClassFactory {
public:
    explicit UnavailableClass(REFCLSID clsid) {
        EXPECT_EQ(S_OK, CoRegisterClassObject(clsid, this, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_));
    }
    ~UnavailableClass() { CoRevokeClassObject(cookie_); }
    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
        *ppv = iid == IID_IUnknown || iid == IID_IClassFactory ? this : nullptr;
        return *ppv ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown*, REFIID, void** ppv) override {
        *ppv = nullptr;
        return REGDB_E_CLASSNOTREG;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

private:
    DWORD cookie_ = 0;
};

TEST_F(SettingsDocumentTest, ParsersAreTriedNewestFirstThenStraightFromTheirDlls) {
    const CLSID domDocument60 = {0x88D96A05, 0xF192, 0x11D4, {0xA6, 0x5F, 0x00, 0x40, 0x96, 0x32, 0x51, 0xE5}};
    const CLSID domDocument40 = {0x88D969C0, 0xF192, 0x11D4, {0xA6, 0x5F, 0x00, 0x40, 0x96, 0x32, 0x51, 0xE5}};
    const CLSID domDocument30 = {0xF5078F32, 0xC551, 0x11D3, {0x89, 0xB9, 0x00, 0x00, 0xF8, 0x1F, 0xE2, 0x21}};
    auto versionMade = [] {
        int version = 0;
        EXPECT_TRUE(CreateXmlDocument(&version));
        return version;
    };
    EXPECT_EQ(6, versionMade());
    UnavailableClass six(domDocument60);
    EXPECT_EQ(4, versionMade());
    UnavailableClass four(domDocument40);
    EXPECT_EQ(3, versionMade());
    UnavailableClass three(domDocument30);
    EXPECT_EQ(6, versionMade()) << "no class answers: msxml6.dll itself";
}

}  // namespace
