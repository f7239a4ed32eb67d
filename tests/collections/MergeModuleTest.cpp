// MergeModule2 as a caller creates it, by ProgID, over the generated test modules; and bound by the
// catalog to an entry it does not own.
#include <windows.h>
#include <gtest/gtest.h>
#include <memory>
#include "CvMMUpdater2.h"
#include "cvmmupdater.h"
#include "msi/MergeModule2.h"
#include "msi/ModuleEntry.h"
#include "base/Handles.h"
#include "tests/collections/PropertyText.h"
#include "tests/support/Environment.h"
#include "tests/support/TestSupport.h"

namespace {
using cvtest::FixturePath;
using cvtest::ItemAt;
using cvtest::Props;

const wchar_t kFull[] = L"FullModule.0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9";
const wchar_t kSuffix[] = L".0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9";
const wchar_t kProgId[] = L"CvMMUpdater.MergeModule2.1";

class MergeModule : public cvtest::ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        CLSID clsid;
        ASSERT_EQ(S_OK, CLSIDFromProgID(L"CvMMUpdater.MergeModule2", &clsid));
        ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IMergeModule2, module_.PutVoid()));
    }
    void TearDown() override {
        module_ = nullptr;
        ComTest::TearDown();
    }
    HRESULT Open(const wchar_t* fixture) { return module_->Open(_stringx(FixturePath(fixture)).AsBSTR()); }

    ComPtr<IMergeModule2> module_;
};

TEST_F(MergeModule, AnswersFromTheOpenedFile) {
    ASSERT_EQ(S_OK, Open(L"full.msm"));
    EXPECT_EQ(_stringx(kFull) + L"|" + kFull + L":1033|#1033|1.2.3.4|Test Author|Every table of a merge module, "
              L"filled|Full Test Module|Full Test Module||#0|{5D0C6A1E-7B2F-4C3D-9E8A-1F2B3C4D5E6F}|" +
                  FixturePath(L"full.msm"),
              Props(module_.Get(), {L"ModuleId", L"EntryKey", L"Language", L"Version", L"Author", L"Comments",
                                    L"Subject", L"DisplayName", L"SourceLocation", L"HasSourceLocation",
                                    L"RevisionNumber", L"Path"}));

    // A new collection on every call; items in the order of their keys, not of their sequence.
    ComPtr<IFileCollection> files, again;
    ASSERT_EQ(S_OK, module_->get_Files(files.Put()));
    ASSERT_EQ(S_OK, module_->get_Files(again.Put()));
    EXPECT_NE(files.Get(), again.Get());
    _stringx rows;
    for (LONG i = 1; i <= 6; ++i)
        rows += Props(ItemAt(files.Get(), i).Get(),
                      {L"FileName", L"Directory", L"Version", L"Language", L"FileSize", L"Sequence"}) + L"\n";
    EXPECT_EQ(_stringx(L"ALPHA~1.TXT|Alpha Readme.txt|Sub|||#1200|#2\n"
                       L"BARS~1.DAT|Bars|Twice.dat|Lib.0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9||0|#77|#3\n"
                       L"orphan.ini||||#12|#4\n"  // its component is missing
                       L"sys.dll|SystemFolder|2.0.0.0|0|#2048|#6\n"
                       L"top.cfg|TopDir|||#5|#5\n"
                       L"zeta.dll|MyDir|1.2.3.4|1033|#40960|#1\n"),
              rows);
    ComPtr<IDispatch> zeta = ItemAt(files.Get(), 6);
    EXPECT_EQ(L"zeta.dll" + _stringx(kSuffix), Props(zeta.Get(), {L"FileKey"}));

    // The dependency on itself is left out. The language is a number here and text for exclusions.
    ComPtr<IDependencyCollection> dependencies;
    ComPtr<IExclusionCollection> exclusions;
    ComPtr<IDialogCollection> dialogs;
    ComPtr<ICustomActionCollection> actions;
    ASSERT_EQ(S_OK, module_->get_Dependencies(dependencies.Put()));
    ASSERT_EQ(S_OK, module_->get_Exclusions(exclusions.Put()));
    ASSERT_EQ(S_OK, module_->get_Dialogs(dialogs.Put()));
    ASSERT_EQ(S_OK, module_->get_CustomActions(actions.Put()));
    EXPECT_EQ(_stringx(L"#2|HelperModule.AAAAAAAA_BBBB_CCCC_DDDD_EEEEEEEEEEEE:1031|#1031||2.0.0.0"),
              Props(dependencies.Get(), {L"Count"}) + L"|" +
                  Props(ItemAt(dependencies.Get(), 1).Get(), {L"Key", L"Language", L"Version"}) + L"|" +
                  Props(ItemAt(dependencies.Get(), 2).Get(), {L"Version"}));
    EXPECT_EQ(_stringx(L"#2|OldModule.12345678_1234_1234_1234_123456789012:1033|1033|1.0.0.0|1.9.9.9"),
              Props(exclusions.Get(), {L"Count"}) + L"|" +
                  Props(ItemAt(exclusions.Get(), 1).Get(), {L"Key", L"Language", L"MinVersion", L"MaxVersion"}));
    EXPECT_EQ(_stringx(L"#2|#2"), Props(dialogs.Get(), {L"Count"}) + L"|" + Props(actions.Get(), {L"Count"}));

    // A second Open replaces every answer; what was handed out before stays.
    ASSERT_EQ(S_OK, Open(L"signature-only.msm"));
    EXPECT_NE(_stringx(kFull), Props(module_.Get(), {L"ModuleId"}));
    ASSERT_EQ(S_OK, module_->get_Dependencies(dependencies.Put())) << "no ModuleDependency table";
    EXPECT_EQ(_stringx(L"#0"), Props(dependencies.Get(), {L"Count"}));
    EXPECT_EQ(L"zeta.dll" + _stringx(kSuffix), Props(zeta.Get(), {L"FileKey"})) << "the old item stays";
}

// The reader's buffer holds 259 characters and the terminator; longer texts are read again.
TEST_F(MergeModule, SummaryTextsOfAnyLength) {
    ASSERT_EQ(S_OK, Open(L"long-summary.msm"));
    EXPECT_EQ(_stringx(std::wstring(259, L'a') + L"|" + std::wstring(260, L'c') + L"|" + std::wstring(600, L's')),
              Props(module_.Get(), {L"Author", L"Comments", L"Subject"}));
}

TEST_F(MergeModule, NullOutsAndCallsBeforeOpen) {
    BSTR text = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(E_UNEXPECTED, module_->get_ModuleId(&text));
    EXPECT_EQ(nullptr, text);
    cvtest::ErrorInfoText error = cvtest::TakeErrorInfo();
    EXPECT_EQ(_stringx(L"No merge module has been opened."), error.description);
    EXPECT_EQ(GUID_NULL, error.guid) << "as on Windows, where new error information has no GUID";
    IFileCollection* files = reinterpret_cast<IFileCollection*>(1);
    EXPECT_EQ(E_UNEXPECTED, module_->get_Files(&files));
    EXPECT_EQ(nullptr, files);

    ASSERT_EQ(S_OK, Open(L"full.msm"));
    EXPECT_EQ(E_POINTER, module_->get_ModuleId(nullptr));
    EXPECT_EQ(E_POINTER, module_->get_Files(nullptr));
}

TEST_F(MergeModule, AvailabilityAndDownloadFilesFromTheGalleryFile) {
    cvtest::TestEnvironment env(L"collections_gallery");
    ASSERT_EQ(S_OK, Open(L"full.msm"));
    ComPtr<IDownloadFileCollection> downloads;
    ASSERT_EQ(S_OK, module_->get_DownloadFiles(downloads.Put()));
    EXPECT_EQ(_stringx(L"#0"), Props(downloads.Get(), {L"Count"})) << "no gallery file";
    EXPECT_EQ(_stringx(L"#-1|#0|"), Props(module_.Get(), {L"IsPresent", L"NeedsUpdate", L"ResolvedPath"}));

    // Named after the package code, and read again on every call.
    _stringx gallery = env.WriteGalleryFile(L"{5D0C6A1E-7B2F-4C3D-9E8A-1F2B3C4D5E6F}.ini",
                                            "[DownloadFiles]\r\nKey1=Cab\r\nKey2=Readme\r\n"
                                            "[Cab]\r\nLocation=Redist\\full.cab\r\nFileSize=4096\r\nCheckSum=ABC\r\n"
                                            "[Readme]\r\nInternetLocation=http://example.invalid/r.txt\r\n");
    ASSERT_EQ(S_OK, module_->get_DownloadFiles(downloads.Put()));
    EXPECT_EQ(_stringx(L"#2"), Props(downloads.Get(), {L"Count"}));
    EXPECT_EQ(_stringx(L"Redist\\full.cab|#4096|ABC"),
              Props(ItemAt(downloads.Get(), 1).Get(), {L"Location", L"FileSize", L"CheckSum"}));
    EXPECT_EQ(_stringx(L"http://example.invalid/r.txt"),
              Props(ItemAt(downloads.Get(), 2).Get(), {L"InternetLocation"}));

    // A gallery file that cannot be read: the reader's description, with this class as source.
    ASSERT_EQ(S_OK, Open(L"full.msm"));
    unique_file locked(CreateFileW(gallery.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(locked);
    IDownloadFileCollection* failed = reinterpret_cast<IDownloadFileCollection*>(1);
    EXPECT_TRUE(FAILED(module_->get_DownloadFiles(&failed)));
    EXPECT_EQ(nullptr, failed);
    cvtest::ErrorInfoText error = cvtest::TakeErrorInfo();
    EXPECT_EQ(_stringx(kProgId), error.source);
    EXPECT_NE(_stringx::npos, error.description.find(gallery.c_str())) << error.description.AsNarrow();
}

TEST_F(MergeModule, BoundToAnEntryItDoesNotOwn) {
    auto entry = std::make_shared<ModuleEntry>();
    entry->Load(FixturePath(L"full.msm"), L"Repository A");
    std::weak_ptr<ModuleEntry> watch = entry;
    ComPtr<IMergeModule2> bound;
    ASSERT_EQ(S_OK, MergeModule2::CreateBound(entry.get(), entry, IID_IMergeModule2, bound.PutVoid()));
    entry.reset();
    ASSERT_FALSE(watch.expired()) << "the object keeps its entry's owner alive";
    EXPECT_EQ(_stringx(L"Repository A|#-1"), Props(bound.Get(), {L"SourceLocation", L"HasSourceLocation"}));

    // Opening another module gives the share back instead of deleting an entry it does not own.
    ASSERT_EQ(S_OK, bound->Open(_stringx(FixturePath(L"signature-only.msm")).AsBSTR()));
    EXPECT_TRUE(watch.expired());
    EXPECT_NE(_stringx(kFull), Props(bound.Get(), {L"ModuleId"}));
}

}  // namespace
