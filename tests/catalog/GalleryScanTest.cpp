// The gallery folder scan: which description files become catalog entries, and what they keep.
#include <windows.h>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>
#include "catalog/GalleryScan.h"
#include "server/ComException.h"
#include "server/SiblingLoader.h"
#include "tests/support/Environment.h"
#include "tests/support/TestSupport.h"

namespace {

std::string Description(const char* moduleId, const char* language, const char* version = "1.0.0.0") {
    std::string text = "[MergeModule]\r\n";
    if (moduleId) text += std::string("ModuleID=") + moduleId + "\r\n";
    return text + "Language=" + language + "\r\nVersion=" + version + "\r\nSubject=Module " +
           (moduleId ? moduleId : "none") + "\r\n";
}

// The file names of the gallery in the order the folder lists them.
std::vector<_stringx> ListedOrder(const _stringx& folder) {
    std::vector<_stringx> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(JoinPath(folder, L"*.ini").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do names.push_back(found.cFileName);
    while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

class GalleryScan : public cvtest::ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        // Cases of one program may run side by side: each gets a folder of its own.
        std::string name = std::string("gallery-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        env_.reset(new cvtest::TestEnvironment(std::wstring(name.begin(), name.end()).c_str()));
        ASSERT_EQ(S_OK, CreateSiblingObject(L"CvAppServices.dll", CLSID_AppServices, IID_IAppFolders, folders_.PutVoid()));
    }
    void TearDown() override {
        entries_.clear();
        folders_ = nullptr;
        env_.reset();
        ComTest::TearDown();
    }
    // One rebuild into an empty collection that already holds the keys given.
    std::vector<CatalogEntry*> Scan(std::vector<_stringx> taken = {}) {
        std::vector<CatalogEntry*> added;
        auto isTaken = [&](const _stringx& key) {
            for (const _stringx& t : taken)
                if (t == key) return true;
            return false;
        };
        auto add = [&](const std::shared_ptr<CatalogEntry>& entry) {
            taken.push_back(entry->EntryKey());
            added.push_back(entry.get());
        };
        ScanGallery(folders_.Get(), entries_, isTaken, add);
        return added;
    }

    std::unique_ptr<cvtest::TestEnvironment> env_;
    ComPtr<IAppFolders> folders_;
    GalleryEntryMap entries_;
};

TEST_F(GalleryScan, DescribedModulesBecomeEntriesUnlessTakenOrWithoutModuleId) {
    _stringx alpha = env_->WriteGalleryFile(L"Alpha.ini", Description("Alpha.GUID", "1033", "2.1.0.0"));
    env_->WriteGalleryFile(L"NoId.ini", Description(nullptr, "1033"));
    env_->WriteGalleryFile(L"Empty.ini", Description("", "0"));
    env_->WriteGalleryFile(L"OnDisk.ini", Description("OnDisk.GUID", "1031"));
    CreateDirectoryW(JoinPath(env_->GalleryFolder(), L"Folder.ini").c_str(), nullptr);

    // A time of its own, so that neither "now" nor zero can pass for it.
    FILETIME written = {0x12345678, 0x01C0FFEE};
    {
        HANDLE file = CreateFileW(alpha.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &written));
        CloseHandle(file);
    }

    std::vector<CatalogEntry*> added = Scan({L"OnDisk.GUID:1031"});
    ASSERT_EQ(1u, added.size());
    CatalogEntry& entry = *added[0];
    EXPECT_EQ(_stringx(L"Alpha.GUID:1033"), entry.EntryKey());
    EXPECT_EQ(_stringx(L"2.1.0.0"), entry.Version());
    EXPECT_EQ(_stringx(L"Alpha"), entry.RevisionNumber());
    EXPECT_TRUE(entry.FromGallery());
    EXPECT_EQ(static_cast<ULONGLONG>(written.dwHighDateTime) << 32 | written.dwLowDateTime, entry.LastWriteTime());

    // Only added entries are kept, under the lower-cased path.
    ASSERT_EQ(1u, entries_.size());
    EXPECT_EQ(alpha.Lower(), entries_.begin()->first);
    EXPECT_EQ(&entry, entries_.begin()->second.get());
}

TEST_F(GalleryScan, FirstListedFileWinsAKeyTwoFilesDescribe) {
    env_->WriteGalleryFile(L"One.ini", Description("Same.GUID", "1033", "1.0.0.0"));
    env_->WriteGalleryFile(L"Two.ini", Description("Same.GUID", "1033", "2.0.0.0"));
    std::vector<_stringx> listed = ListedOrder(env_->GalleryFolder());
    ASSERT_EQ(2u, listed.size());

    std::vector<CatalogEntry*> added = Scan();
    ASSERT_EQ(1u, added.size());
    EXPECT_EQ(listed[0], added[0]->RevisionNumber() + L".ini");
    EXPECT_EQ(1u, entries_.size());
}

TEST_F(GalleryScan, RescanRereadsAndReplacesTheEntryOfAPath) {
    env_->WriteGalleryFile(L"Module.ini", Description("Module.GUID", "0", "1.0.0.0"));
    ASSERT_EQ(1u, Scan().size());
    env_->WriteGalleryFile(L"Module.ini", Description("Module.GUID", "0", "1.5.0.0"));
    std::vector<CatalogEntry*> added = Scan();
    ASSERT_EQ(1u, added.size());
    EXPECT_EQ(_stringx(L"1.5.0.0"), added[0]->Version());
    ASSERT_EQ(1u, entries_.size());
    EXPECT_EQ(added[0], entries_.begin()->second.get());
}

TEST_F(GalleryScan, MissingGalleryFolderAddsNothing) {
    cvtest::RemoveTree(env_->GalleryFolder());
    EXPECT_TRUE(Scan().empty());
    EXPECT_TRUE(entries_.empty());
}

}  // namespace
