#include <windows.h>
#include <gtest/gtest.h>
#include "model/GalleryEntry.h"
#include "tests/model/ModelTest.h"

namespace {
using cvtest::WriteText;
using GalleryEntryTest = cvtest::ModelTest;

// What the three availability getters say, in one line: "present needsUpdate path".
_stringx Availability(GalleryEntry& entry) {
    VARIANT_BOOL present = 7, needsUpdate = 7;
    CV_EXPECT_HR(S_OK, entry.IsPresent(&present));
    CV_EXPECT_HR(S_OK, entry.NeedsUpdate(&needsUpdate));
    BSTR path = entry.ResolvedPath();
    EXPECT_NE(nullptr, path);
    return _stringx::Formatted(L"%d %d %s", present, needsUpdate, path);
}

TEST_F(GalleryEntryTest, MissingDescriptionReadsEmptyUntilItAppears) {
    CreateDirectoryW(JoinPath(Env().GalleryFolder(), L"Folder.ini").c_str(), nullptr);
    for (const wchar_t* name : {L"Absent", L"Folder"}) {
        GalleryEntry entry;
        entry.SetNameAndVersion(name, nullptr);
        EXPECT_EQ(_stringx(), entry.GetModuleId()) << _stringx(name).AsNarrow();
        EXPECT_EQ(_stringx(L"-1 0 "), Availability(entry));
    }
    GalleryEntry entry;
    entry.SetNameAndVersion(L"Absent", nullptr);
    EXPECT_EQ(_stringx(), entry.GetModuleId());
    WriteGallery(L"Absent", "[MergeModule]\r\nModuleID=Late.1\r\n");
    EXPECT_EQ(_stringx(L"Late.1"), entry.GetModuleId()) << "a missing file is not remembered";
    EXPECT_EQ(JoinPath(Env().ApplicationFolder(), L"ObjectGallery.ini"), GalleryEntry().GalleryFilePath())
        << "an entry without a name";
}

std::string Described(const char* fileName, const char* location, const char* version, const std::string& more = "") {
    return std::string("[MergeModule]\r\nModuleID=Mod\r\nFileName=") + fileName + "\r\nVersion=" + version + "\r\n[" +
           fileName + "]\r\nLocation=" + location + "\r\n" + more;
}

TEST_F(GalleryEntryTest, ValidateOutcomes) {
    _stringx first = Env().AddSearchFolder(L"First"), second = Env().AddSearchFolder(L"Second");
    Env().SetSearchPath({Env().AddSearchFolder(L"Empty"), first, second});
    for (const wchar_t* name : {L"Both.msm", L"Plain.msm", L"cab1.cab"}) WriteText(JoinPath(first, name), "m");
    for (const wchar_t* name : {L"Both.msm", L"Second.msm"}) WriteText(JoinPath(second, name), "m");
    CreateDirectoryW(JoinPath(Env().ApplicationFolder(), L"Redist").c_str(), nullptr);
    WriteText(JoinPath(Env().ApplicationFolder(), L"Redist\\cab2.cab"), "cab");
    // cab1 lies beside the module in First, cab2 in the application folder.
    const std::string downloads = "[DownloadFiles]\r\nKey1=D1\r\nKey2=D2\r\n[D1]\r\nLocation=Redist\\cab1.cab\r\n"
                                  "[D2]\r\nLocation=Redist\\cab2.cab\r\n";
    const _stringx inFirst = L"-1 0 " + JoinPath(first, L"Plain.msm");
    const struct {
        const char* what;
        const wchar_t* recordedVersion;
        std::string gallery;
        _stringx expected;  // present, needsUpdate, resolved path
    } cases[] = {
        {"no FileName", L"", "[MergeModule]\r\nModuleID=Mod\r\nVersion=9\r\n", L"-1 0 "},
        {"empty Location", L"", Described("Plain.msm", "", "9"), L"0 0 "},
        {"module nowhere", L"", Described("Gone.msm", "x", "9"), L"0 0 "},
        {"second folder only", L"", Described("Second.msm", "x", ""), L"-1 0 " + JoinPath(second, L"Second.msm")},
        {"first folder first", L"", Described("Both.msm", "x", ""), L"-1 0 " + JoinPath(first, L"Both.msm")},
        {"none recorded, 0.0.0.0", L"", Described("Plain.msm", "x", "0.0.0.0"), inFirst},
        {"none recorded, 1", L"", Described("Plain.msm", "x", "1"), L"-1 -1 " + JoinPath(first, L"Plain.msm")},
        {"2.0 recorded, 2.0.0.1", L"2.0", Described("Plain.msm", "x", "2.0.0.1"),
         L"-1 -1 " + JoinPath(first, L"Plain.msm")},
        {"2.0 recorded, 2.0", L"2.0", Described("Plain.msm", "x", "2.0"), inFirst},
        {"2.0 recorded, 1.9", L"2.0", Described("Plain.msm", "x", "1.9"), inFirst},
        {"downloads found", L"", Described("Plain.msm", "x", "", downloads), inFirst},
        {"download missing", L"", Described("Second.msm", "x", "", downloads),
         L"0 -1 " + JoinPath(second, L"Second.msm")},
    };
    int n = 0;
    for (const auto& c : cases) {
        _stringx name = _stringx::Formatted(L"Case%d", ++n);
        WriteGallery(name.c_str(), c.gallery);
        GalleryEntry entry;
        entry.SetNameAndVersion(name.c_str(), c.recordedVersion);
        EXPECT_EQ(c.expected, Availability(entry)) << c.what;
    }
}

TEST_F(GalleryEntryTest, MissingDownloadFileIsLookedForAgainUntilSettled) {
    _stringx folder = ModuleFolder({L"Tool.msm"});
    WriteGallery(L"Tool", Described("Tool.msm", "x", "1.0",
                                    "[DownloadFiles]\r\nKey1=Pack\r\n[Pack]\r\nLocation=Downloads\\pack.cab\r\n"));
    GalleryEntry entry;
    entry.SetNameAndVersion(L"Tool", L"1.0");
    const _stringx tool = JoinPath(folder, L"Tool.msm");
    EXPECT_EQ(L"0 -1 " + tool, Availability(entry));
    WriteText(JoinPath(folder, L"pack.cab"), "cab");
    EXPECT_EQ(L"-1 0 " + tool, Availability(entry)) << "the next getter sees the fetched file";

    DeleteFileW(JoinPath(folder, L"pack.cab").c_str());
    DeleteFileW(tool.c_str());
    EXPECT_EQ(L"-1 0 " + tool, Availability(entry)) << "settled: the check is not repeated";
    EXPECT_EQ(entry.ResolvedPath(), entry.ResolvedPath()) << "the entry hands out its own cached BSTR";
}

}  // namespace
