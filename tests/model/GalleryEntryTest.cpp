#include <windows.h>
#include <gtest/gtest.h>
#include "model/GalleryEntry.h"
#include "tests/model/ModelTest.h"

namespace {
using cvtest::ModelTest;
using cvtest::Narrow;

// What the three getters say, in one value.
struct Availability {
    VARIANT_BOOL present = 7;
    VARIANT_BOOL needsUpdate = 7;
    _stringx path;
};

Availability Check(GalleryEntry& entry) {
    Availability a;
    CV_EXPECT_HR(S_OK, entry.IsPresent(&a.present));
    CV_EXPECT_HR(S_OK, entry.NeedsUpdate(&a.needsUpdate));
    BSTR path = entry.ResolvedPath();
    EXPECT_NE(nullptr, path);
    a.path = path;
    return a;
}

using GalleryEntryTest = ModelTest;

TEST_F(GalleryEntryTest, MissingDescriptionReadsEmptyUntilItAppears) {
    CreateDirectoryW(JoinPath(Env().GalleryFolder(), L"Folder.ini").c_str(), nullptr);
    for (const wchar_t* name : {L"Absent", L"Folder"}) {
        GalleryEntry entry;
        entry.SetNameAndVersion(name, L"1.0");
        EXPECT_EQ(_stringx(), entry.GetModuleId()) << Narrow(name);
        EXPECT_EQ(0, entry.GetLanguage());
        EXPECT_EQ(0, entry.GetDownloadFileCount());
        EXPECT_FALSE(entry.FindSection(L"MergeModule"));
        Availability a = Check(entry);
        EXPECT_EQ(VARIANT_TRUE, a.present);
        EXPECT_EQ(VARIANT_FALSE, a.needsUpdate);
        EXPECT_EQ(_stringx(), a.path);
    }

    GalleryEntry entry;
    entry.SetNameAndVersion(L"Absent", nullptr);
    EXPECT_EQ(_stringx(), entry.GetModuleId());
    WriteGallery(L"Absent", "[MergeModule]\r\nModuleID=Late.1\r\n");
    EXPECT_EQ(_stringx(L"Late.1"), entry.GetModuleId()) << "a missing file is not remembered";
}

TEST_F(GalleryEntryTest, FilePathJoinsWithOneBackslash) {
    _stringx app = Env().ApplicationFolder();
    cvtest::WriteText(JoinPath(app, L"ObjectGallery.ini"), "[MergeModule]\r\nModuleID=Unnamed\r\n");
    WriteGallery(L"Named", "[MergeModule]\r\nModuleID=Named\r\n");

    for (const _stringx& configured : {app, app + L"\\"}) {
        Env().Set(L"Folders", L"Application", configured.c_str());
        GalleryEntry unnamed;
        EXPECT_EQ(app + L"\\ObjectGallery.ini", unnamed.GalleryFilePath());
        EXPECT_EQ(_stringx(L"Unnamed"), unnamed.GetModuleId());

        GalleryEntry named;
        named.SetNameAndVersion(L"Named", L"");
        EXPECT_EQ(app + L"\\ObjectGallery\\Named.ini", named.GalleryFilePath());
        EXPECT_EQ(_stringx(L"Named"), named.GetModuleId());
    }
}

struct ValidateCase {
    const char* what;
    const wchar_t* recordedVersion;
    std::string gallery;
    VARIANT_BOOL present;
    VARIANT_BOOL needsUpdate;
    const wchar_t* foundIn;  // search folder of ResolvedPath; null for empty
};

std::string Described(const char* fileName, const char* location, const char* version, const char* more = "") {
    return std::string("[MergeModule]\r\nModuleID=Mod\r\nFileName=") + fileName + "\r\nVersion=" + version + "\r\n[" +
           fileName + "]\r\nLocation=" + location + "\r\n" + more;
}

TEST_F(GalleryEntryTest, ValidateOutcomes) {
    _stringx first = Env().AddSearchFolder(L"First");
    _stringx second = Env().AddSearchFolder(L"Second");
    Env().SetSearchPath({Env().AddSearchFolder(L"Empty"), first, second});
    for (const wchar_t* name : {L"Both.msm", L"Plain.msm", L"Fetched.msm"}) PutModule(first, name);
    PutModule(second, L"Both.msm");
    PutModule(second, L"Second.msm");
    PutModule(first, L"cab1.cab");  // a download file beside a module
    CreateDirectoryW(JoinPath(Env().ApplicationFolder(), L"Redist").c_str(), nullptr);
    cvtest::WriteText(JoinPath(Env().ApplicationFolder(), L"Redist\\cab2.cab"), "cab");

    const std::string downloads = "[DownloadFiles]\r\nKey1=D1\r\nKey2=D2\r\n[D1]\r\nLocation=Redist\\cab1.cab\r\n"
                                  "[D2]\r\nLocation=Redist\\cab2.cab\r\n";
    const ValidateCase cases[] = {
        {"no FileName", L"", "[MergeModule]\r\nModuleID=Mod\r\nVersion=9\r\n", VARIANT_TRUE, VARIANT_FALSE, nullptr},
        {"empty Location", L"", Described("Plain.msm", "", "9"), VARIANT_FALSE, VARIANT_FALSE, nullptr},
        {"module nowhere", L"", Described("Gone.msm", "x", "9"), VARIANT_FALSE, VARIANT_FALSE, nullptr},
        {"second folder only", L"", Described("Second.msm", "x", ""), VARIANT_TRUE, VARIANT_FALSE, L"Second"},
        {"first folder first", L"", Described("Both.msm", "x", ""), VARIANT_TRUE, VARIANT_FALSE, L"First"},
        {"none recorded, 0.0.0.0", L"", Described("Plain.msm", "x", "0.0.0.0"), VARIANT_TRUE, VARIANT_FALSE, L"First"},
        {"none recorded, 1", L"", Described("Plain.msm", "x", "1"), VARIANT_TRUE, VARIANT_TRUE, L"First"},
        {"2.0 recorded, 2.0.0.1", L"2.0", Described("Plain.msm", "x", "2.0.0.1"), VARIANT_TRUE, VARIANT_TRUE, L"First"},
        {"2.0 recorded, 2.0", L"2.0", Described("Plain.msm", "x", "2.0"), VARIANT_TRUE, VARIANT_FALSE, L"First"},
        {"2.0 recorded, 1.9", L"2.0", Described("Plain.msm", "x", "1.9"), VARIANT_TRUE, VARIANT_FALSE, L"First"},
        {"downloads beside the module or in the application folder", L"",
         Described("Plain.msm", "x", "", downloads.c_str()), VARIANT_TRUE, VARIANT_FALSE, L"First"},
        {"download missing", L"",
         Described("Second.msm", "x", "", downloads.c_str()), VARIANT_FALSE, VARIANT_TRUE, L"Second"},
    };
    int n = 0;
    for (const ValidateCase& c : cases) {
        _stringx name = _stringx::Formatted(L"Case%d", ++n);
        WriteGallery(name.c_str(), c.gallery);
        GalleryEntry entry;
        entry.SetNameAndVersion(name.c_str(), c.recordedVersion);
        Availability a = Check(entry);
        EXPECT_EQ(c.present, a.present) << c.what;
        EXPECT_EQ(c.needsUpdate, a.needsUpdate) << c.what;
        _stringx expected;
        if (c.foundIn) {
            _stringx fileName = entry.ReadValue(L"MergeModule", L"FileName");
            expected = JoinPath(JoinPath(Env().Root(), c.foundIn), fileName);
        }
        EXPECT_EQ(Narrow(expected), Narrow(a.path)) << c.what;
    }
}

TEST_F(GalleryEntryTest, MissingDownloadFileIsLookedForAgain) {
    _stringx folder = Env().AddSearchFolder(L"Modules");
    Env().SetSearchPath({folder});
    PutModule(folder, L"Tool.msm");
    WriteGallery(L"Tool", Described("Tool.msm", "x", "1.0",
                                    "[DownloadFiles]\r\nKey1=Pack\r\n[Pack]\r\nLocation=Downloads\\pack.cab\r\n"));
    GalleryEntry entry;
    entry.SetNameAndVersion(L"Tool", L"1.0");

    Availability a = Check(entry);
    EXPECT_EQ(VARIANT_FALSE, a.present);
    EXPECT_EQ(VARIANT_TRUE, a.needsUpdate);

    PutModule(folder, L"pack.cab");
    a = Check(entry);
    EXPECT_EQ(VARIANT_TRUE, a.present) << "the next getter sees the fetched file";
    EXPECT_EQ(VARIANT_FALSE, a.needsUpdate);

    // Settled now: the check is not repeated.
    DeleteFileW(JoinPath(folder, L"pack.cab").c_str());
    DeleteFileW(JoinPath(folder, L"Tool.msm").c_str());
    a = Check(entry);
    EXPECT_EQ(VARIANT_TRUE, a.present);
    EXPECT_EQ(Narrow(JoinPath(folder, L"Tool.msm")), Narrow(a.path));
    EXPECT_EQ(entry.ResolvedPath(), entry.ResolvedPath()) << "the entry hands out its own cached BSTR";
}

}  // namespace
