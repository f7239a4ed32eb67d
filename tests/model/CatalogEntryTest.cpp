#include <windows.h>
#include <gtest/gtest.h>
#include <stdexcept>
#include "model/CatalogEntry.h"
#include "model/ModuleIndex.h"
#include "tests/model/ModelTest.h"

namespace {
using CatalogEntryTest = cvtest::ModelTest;

TEST_F(CatalogEntryTest, ModuleHeaderNamesItsGalleryFileAfterThePackageCode) {
    ModuleFolder({L"Tool.msm"});
    const wchar_t* packageCode = L"{6C2A5B40-1E1F-4F6A-9E52-0D5C7A1B2C3D}";
    WriteGallery(packageCode, "[MergeModule]\r\nFileName=Tool.msm\r\nVersion=2.0.0.1\r\n[Tool.msm]\r\nLocation=x\r\n");
    CatalogEntry entry;
    entry.SetHeader(L"Tool.1", -1, L"2.0", L"Author", L"Comments", packageCode, L"");
    EXPECT_EQ(_stringx(packageCode) + L"|2.0|Tool.1:-1",
              entry.GetName() + L"|" + entry.GetRecordedVersion() + L"|" + entry.EntryKey());
    VARIANT_BOOL update = VARIANT_FALSE;
    CV_EXPECT_HR(S_OK, entry.NeedsUpdate(&update));
    EXPECT_EQ(VARIANT_TRUE, update) << "the gallery describes 2.0.0.1, the module is 2.0";
}

// The key is made by hand: it must read as the formatted one for every language and ModuleID.
TEST(EntryKey, ReadsAsModuleIdColonLanguage) {
    const _stringx withNul(std::wstring(L"Cut\0Tail", 8));
    for (const _stringx& id : {_stringx(), _stringx(L"Mod.1"), _stringx(L"M\u00f6d.\u00e9"), withNul})
        for (LONG language : {0L, 1L, 9L, 10L, 1033L, 65535L, -1L, -10L, 2147483647L, -2147483647L - 1})
            EXPECT_EQ(_stringx::Formatted(L"%s:%d", id.c_str(), static_cast<int>(language)), MakeEntryKey(id, language));
}

TEST_F(CatalogEntryTest, DisplayNameIsFriendlyNameElseSubjectElsePath) {
    _stringx module = JoinPath(ModuleFolder({L"Widgets.msm"}), L"Widgets.msm");
    Env().WriteModulesIndex({{L"Known.1:1033", L"Friendly Known"}});
    LoadFriendlyNameIndex(Env().IndexFolder());
    struct Case {
        const char* moduleId;
        const char* subject;
        const char* fileName;
        _stringx expected;
    } cases[] = {
        {"Known.1", "Subject", "Widgets.msm", L"Friendly Known"},
        {"Known.1", "", "Gone.msm", L"Friendly Known"},
        {"known.1", "Subject", "Widgets.msm", L"Subject"},  // friendly names match in exact case only
        {"Plain.1", "", "Widgets.msm", module},
        {"Plain.1", "", "Gone.msm", L""},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string text = std::string("[MergeModule]\r\nModuleID=") + c.moduleId + "\r\nLanguage=1033\r\nSubject=" +
                           c.subject + "\r\nFileName=" + c.fileName + "\r\n[" + c.fileName + "]\r\nLocation=x\r\n";
        CatalogEntry entry;
        entry.LoadFromGallery(WriteGallery(_stringx::Formatted(L"Case%d", ++n).c_str(), text));
        EXPECT_EQ(c.expected, entry.DisplayName()) << c.moduleId << " / " << c.subject;
    }
}

TEST_F(CatalogEntryTest, GalleryListsBecomeRecords) {
    CatalogEntry entry;
    entry.LoadFromGallery(WriteGallery(L"Lists",
        "[MergeModule]\r\nModuleID=Lists.1\r\nLanguage=1033\r\nVersion=2.0\r\n"
        "[Dependency]\r\nKey1=Lists.1\r\nKey2=Old.1\r\nKey3=Old.1\r\n"
        "[Lists.1]\r\nVersion=2.0\r\nLanguage=1033\r\n"
        "[Old.1]\r\nVersion=1.5\r\nLanguage=1033\r\nExcludedMinVersion=1.0\r\nExcludedMaxVersion=1.9\r\n"
        "ExcludedLanguage=1031\r\n"
        "[Exclusions]\r\nKey1=Old.1\r\nKey3=Old.2\r\n"
        "[Files]\r\nKey1=f1\r\nKey2=f2\r\n"
        "[f1]\r\nFileName=CORE~1.DLL|core library.dll\r\nVersion=3.1\r\nFileSize=4096\r\nLanguage=1033\r\n"
        "[f2]\r\nFileName=plain.txt\r\n"));

    // Its own signature at its own version is no dependency; Key2 and Key3 name the same module.
    const DependencyMap& dependencies = entry.Dependencies();
    ASSERT_EQ(1u, dependencies.size());
    EXPECT_EQ(_stringx(L"Old.1:1033 1.5"), dependencies.begin()->first + L" " + dependencies.begin()->second.Version);

    // Key2 is missing: still counted, as an empty record. Old.1 shares its section with the dependency.
    const ExclusionMap& exclusions = entry.Exclusions();
    ASSERT_EQ(2u, exclusions.size());
    EXPECT_EQ(_stringx(L":0"), exclusions.begin()->first);
    const ExclusionEntry& excluded = exclusions.rbegin()->second;
    EXPECT_EQ(_stringx(L"Old.1:1031|1.0|1.9"), excluded.Key + L"|" + excluded.MinVersion + L"|" + excluded.MaxVersion);

    const FileList& files = entry.Files();
    ASSERT_EQ(2u, files.size());
    ASSERT_TRUE(files.Find(L"f1") && files.Find(L"f2"));
    const FileEntry& core = *files.Find(L"f1");
    EXPECT_EQ(_stringx(L"core library.dll|3.1|1033|4096"),
              _stringx::Formatted(L"%s|%s|%s|%d", std::wstring(core.LongName()).c_str(),
                                  std::wstring(core.Version()).c_str(), std::wstring(core.Language()).c_str(),
                                  static_cast<int>(core.FileSize)));
    EXPECT_EQ(_stringx(L"0"), files.Find(L"f2")->Language());

    // At another version its own signature is a dependency after all.
    CatalogEntry self;
    self.LoadFromGallery(WriteGallery(L"Self", "[MergeModule]\r\nModuleID=Self.1\r\nVersion=2.0\r\n"
                                               "[Dependency]\r\nKey1=Self.1\r\n[Self.1]\r\nVersion=1.0\r\n"));
    EXPECT_EQ(_stringx(L"1.0"), self.Dependencies().at(L"Self.1:0").Version);
}

// An entry of a module file whose reader fails half way through its first read.
class HalfReadEntry : public CatalogEntry {
public:
    int reads = 0;

protected:
    void ReadDependencies() override {
        ++reads;
        DependencyEntry row;
        row.ModuleId = L"First";
        row.Key = L"First:0";
        AddDependency(row);
        throw std::runtime_error("row fetch failed");
    }
};

TEST_F(CatalogEntryTest, ListIsReadOnFirstRequestOnly) {
    HalfReadEntry entry;
    EXPECT_THROW(entry.Dependencies(), std::runtime_error);
    EXPECT_EQ(1u, entry.Dependencies().size()) << "later requests take the list as it stands";
    EXPECT_EQ(1, entry.reads);

    HalfReadEntry gallery;
    gallery.LoadFromGallery(WriteGallery(L"NoLists", "[MergeModule]\r\nModuleID=NoLists\r\n"));
    EXPECT_TRUE(gallery.Dependencies().empty());
    EXPECT_EQ(0, gallery.reads) << "an entry from a gallery file never asks the module reader";
}

}  // namespace
