#include <windows.h>
#include <gtest/gtest.h>
#include <stdexcept>
#include "model/CatalogEntry.h"
#include "model/ModuleIndex.h"
#include "tests/model/ModelTest.h"

namespace {
using cvtest::ModelTest;
using cvtest::Narrow;

using CatalogEntryTest = ModelTest;

const char kWidgets[] = R"([MergeModule]
FileName=Widgets.msm
ModuleID=Widgets.0A1B
Language=1033
Version=1.2
Author=Widget Makers
Comments=All the widgets
Subject=Widgets Runtime
[Widgets.msm]
Location=Widgets
)";

TEST_F(CatalogEntryTest, LoadFromGalleryFillsTheFields) {
    _stringx folder = Env().AddSearchFolder(L"Modules");
    Env().SetSearchPath({folder});
    PutModule(folder, L"Widgets.msm");
    _stringx path = WriteGallery(L"Widgets Gallery.v2", kWidgets);

    CatalogEntry entry;
    entry.LoadFromGallery(path);
    EXPECT_TRUE(entry.FromGallery());
    EXPECT_EQ(_stringx(L"Widgets Gallery.v2"), entry.GetName());
    EXPECT_EQ(_stringx(L"Widgets Gallery.v2"), entry.RevisionNumber());
    EXPECT_EQ(_stringx(), entry.GetRecordedVersion());
    EXPECT_EQ(Narrow(JoinPath(folder, L"Widgets.msm")), Narrow(entry.Path()));
    EXPECT_EQ(_stringx(L"Widgets.0A1B"), entry.ModuleId());
    EXPECT_EQ(1033, entry.Language());
    EXPECT_EQ(_stringx(L"Widgets.0A1B:1033"), entry.EntryKey());
    EXPECT_EQ(_stringx(L"1.2"), entry.Version());
    EXPECT_EQ(_stringx(L"Widget Makers"), entry.Author());
    EXPECT_EQ(_stringx(L"All the widgets"), entry.Comments());
    EXPECT_EQ(_stringx(L"Widgets Runtime"), entry.Subject());
    EXPECT_FALSE(entry.HasSourceLocation());

    // Nothing was recorded, so any described version above 0.0.0.0 is newer.
    VARIANT_BOOL update = VARIANT_FALSE;
    CV_EXPECT_HR(S_OK, entry.NeedsUpdate(&update));
    EXPECT_EQ(VARIANT_TRUE, update);
}

TEST_F(CatalogEntryTest, DisplayNameIsFriendlyNameElseSubjectElsePath) {
    _stringx folder = Env().AddSearchFolder(L"Modules");
    Env().SetSearchPath({folder});
    _stringx module = PutModule(folder, L"Widgets.msm");
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
        {"Plain.1", "Subject", "Widgets.msm", L"Subject"},
        {"Plain.1", "", "Widgets.msm", module},
        {"Plain.1", "", "Gone.msm", L""},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string text = std::string("[MergeModule]\r\nModuleID=") + c.moduleId + "\r\nLanguage=1033\r\nSubject=" +
                           c.subject + "\r\nFileName=" + c.fileName + "\r\n[" + c.fileName + "]\r\nLocation=x\r\n";
        CatalogEntry entry;
        entry.LoadFromGallery(WriteGallery(_stringx::Formatted(L"Case%d", ++n).c_str(), text));
        EXPECT_EQ(Narrow(c.expected), Narrow(entry.DisplayName())) << c.moduleId << " / " << c.subject;
    }
}

TEST_F(CatalogEntryTest, GalleryListsBecomeRecords) {
    CatalogEntry entry;
    entry.LoadFromGallery(WriteGallery(L"Lists", R"([MergeModule]
ModuleID=Lists.1
Language=1033
Version=2.0
[Dependency]
Key1=Lists.1
Key2=Old.1
Key3=Old.1
[Lists.1]
Version=2.0
Language=1033
[Old.1]
Version=1.5
Language=1033
ExcludedMinVersion=1.0
ExcludedMaxVersion=1.9
ExcludedLanguage=1031
[Exclusions]
Key1=Old.1
Key3=Old.2
[Files]
Key1=f1
Key2=f2
[f1]
FileName=CORE~1.DLL|core library.dll
Version=3.1
FileSize=4096
Language=1033
[f2]
FileName=plain.txt
[DownloadFiles]
Key1=Redist
[Redist]
Location=Redist\pack.cab
MediaLocation=Disk1\pack.cab
InternetLocation=http://example.invalid/pack.cab
FileSize=77
CheckSum=ABCD
)"));
    EXPECT_TRUE(entry.DialogNames().empty());
    EXPECT_TRUE(entry.CustomActionNames().empty());

    // Its own signature at its own version is no dependency; Key2 and Key3 name the same module.
    const DependencyMap& dependencies = entry.Dependencies();
    ASSERT_EQ(1u, dependencies.size());
    const DependencyEntry& required = dependencies.begin()->second;
    EXPECT_EQ(_stringx(L"Old.1:1033"), dependencies.begin()->first);
    EXPECT_EQ(_stringx(L"Old.1"), required.ModuleId);
    EXPECT_EQ(_stringx(L"1.5"), required.Version);

    // Key2 is missing: still counted, as an empty record. Old.1 shares its section with the dependency.
    const ExclusionMap& exclusions = entry.Exclusions();
    ASSERT_EQ(2u, exclusions.size());
    EXPECT_EQ(_stringx(L":0"), exclusions.begin()->first);
    const ExclusionEntry& excluded = exclusions.rbegin()->second;
    EXPECT_EQ(_stringx(L"Old.1:1031"), excluded.Key);
    EXPECT_EQ(_stringx(L"1.0"), excluded.MinVersion);
    EXPECT_EQ(_stringx(L"1.9"), excluded.MaxVersion);
    unique_bstr id;
    LONG language = 99;
    entry.GetExclusion(1, id.put(), nullptr, nullptr, &language);
    EXPECT_EQ(nullptr, id.get()) << "nothing is handed out for a missing list key";
    EXPECT_EQ(0, language);

    const FileMap& files = entry.Files();
    ASSERT_EQ(2u, files.size());
    const FileEntry& core = files.at(L"f1");
    EXPECT_EQ(_stringx(L"CORE~1.DLL|core library.dll"), core.StoredName);
    EXPECT_EQ(_stringx(L"core library.dll"), core.LongName);
    EXPECT_EQ(_stringx(L"3.1"), core.Version);
    EXPECT_EQ(_stringx(L"1033"), core.Language);
    EXPECT_EQ(4096, core.FileSize);
    EXPECT_EQ(_stringx(), core.Directory);
    EXPECT_EQ(0, core.Sequence);
    EXPECT_EQ(_stringx(L"plain.txt"), files.at(L"f2").LongName);
    EXPECT_EQ(_stringx(L"0"), files.at(L"f2").Language);

    ASSERT_EQ(1, entry.GetDownloadFileCount());
    unique_bstr location, media, internet, sum;
    LONG size = 0;
    entry.GetDownloadFile(0, location.put(), media.put(), internet.put(), &size, sum.put());
    EXPECT_STREQ(L"Redist\\pack.cab", location.get());
    EXPECT_STREQ(L"Disk1\\pack.cab", media.get());
    EXPECT_STREQ(L"http://example.invalid/pack.cab", internet.get());
    EXPECT_EQ(77, size);
    EXPECT_STREQ(L"ABCD", sum.get());
}

TEST_F(CatalogEntryTest, SelfDependencyAtAnotherVersionIsKept) {
    CatalogEntry entry;
    entry.LoadFromGallery(WriteGallery(L"Self", "[MergeModule]\r\nModuleID=Self.1\r\nVersion=2.0\r\n"
                                                "[Dependency]\r\nKey1=Self.1\r\n[Self.1]\r\nVersion=1.0\r\n"));
    EXPECT_EQ(_stringx(L"1.0"), entry.Dependencies().at(L"Self.1:0").Version);
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
        row.Key = MakeEntryKey(row.ModuleId, 0);
        AddDependency(row);
        throw std::runtime_error("row fetch failed");
    }
};

TEST_F(CatalogEntryTest, ListIsReadOnFirstRequestOnly) {
    HalfReadEntry entry;
    EXPECT_THROW(entry.Dependencies(), std::runtime_error);
    EXPECT_EQ(1u, entry.Dependencies().size()) << "later requests take the list as it stands";
    EXPECT_EQ(1, entry.reads);

    // An entry from a gallery file never asks the module reader.
    WriteGallery(L"NoLists", "[MergeModule]\r\nModuleID=NoLists\r\n");
    HalfReadEntry gallery;
    gallery.LoadFromGallery(JoinPath(Env().GalleryFolder(), L"NoLists.ini"));
    EXPECT_TRUE(gallery.Dependencies().empty());
    EXPECT_EQ(0, gallery.reads);
}

TEST_F(CatalogEntryTest, ModuleHeaderNamesItsGalleryFileAfterThePackageCode) {
    _stringx folder = Env().AddSearchFolder(L"Modules");
    Env().SetSearchPath({folder});
    PutModule(folder, L"Tool.msm");
    const wchar_t* packageCode = L"{6C2A5B40-1E1F-4F6A-9E52-0D5C7A1B2C3D}";
    WriteGallery(packageCode, "[MergeModule]\r\nFileName=Tool.msm\r\nVersion=2.0.0.1\r\n[Tool.msm]\r\nLocation=x\r\n");

    CatalogEntry entry;
    entry.SetHeader(L"Tool.1", -1, L"2.0", L"Author", L"Comments", packageCode, L"");
    entry.SetPath(L"C:\\Modules\\Tool.msm");
    entry.ComputeDisplayName();
    EXPECT_EQ(_stringx(L"Tool.1:-1"), entry.EntryKey());
    EXPECT_EQ(_stringx(packageCode), entry.GetName());
    EXPECT_EQ(_stringx(L"2.0"), entry.GetRecordedVersion());
    EXPECT_EQ(_stringx(L"C:\\Modules\\Tool.msm"), entry.DisplayName());
    EXPECT_FALSE(entry.FromGallery());

    VARIANT_BOOL update = VARIANT_FALSE;
    CV_EXPECT_HR(S_OK, entry.NeedsUpdate(&update));
    EXPECT_EQ(VARIANT_TRUE, update);
}

}  // namespace
