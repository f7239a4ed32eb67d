// MergeModule2 as a caller creates it, by ProgID, over the generated test modules; and bound by the
// catalog to an entry it does not own.
#include <windows.h>
#include <gtest/gtest.h>
#include <memory>
#include <vector>
#include "CvMMUpdater2.h"
#include "cvmmupdater.h"
#include "msi/MergeModule2.h"
#include "msi/ModuleReader.h"
#include "server/Handles.h"
#include "tests/support/Environment.h"
#include "tests/support/TestSupport.h"

namespace {
using cvtest::FixturePath;

const wchar_t kFull[] = L"FullModule.0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9";
const wchar_t kSuffix[] = L".0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9";
const wchar_t kProgId[] = L"CvMMUpdater.MergeModule2.1";

// A text getter's answer, which must be a BSTR and never null.
#define TEXT_OF(object, getter) Text([&](BSTR* t) { return (object)->getter(t); })
template <typename Call>
_stringx Text(Call&& call) {
    unique_bstr text;
    EXPECT_EQ(S_OK, call(text.put()));
    EXPECT_NE(nullptr, text.get());
    return _stringx(SysStringLen(text.get()), text.get());
}

// The items by the keys "1", "2", ..., each the same object as by its position.
template <typename Item, typename Collection>
std::vector<ComPtr<Item>> Items(Collection* collection, REFIID itemIid) {
    std::vector<ComPtr<Item>> items;
    LONG count = -1;
    EXPECT_EQ(S_OK, collection->get_Count(&count));
    for (LONG i = 1; i <= count; ++i) {
        VARIANT key, position;
        V_VT(&key) = VT_BSTR;
        V_BSTR(&key) = SysAllocString(_stringx::Formatted(L"%d", static_cast<int>(i)).c_str());
        V_VT(&position) = VT_I4;
        V_I4(&position) = i;
        ComPtr<IDispatch> byKey, byPosition;
        EXPECT_EQ(S_OK, collection->get_Item(key, byKey.Put()));
        EXPECT_EQ(S_OK, collection->get_Item(position, byPosition.Put()));
        VariantClear(&key);
        EXPECT_EQ(byKey.Get(), byPosition.Get());
        items.emplace_back();
        EXPECT_EQ(S_OK, byKey.As(itemIid, items.back()));
    }
    return items;
}

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
    HRESULT Open(const wchar_t* fixture) {
        unique_bstr path(SysAllocString(FixturePath(fixture).c_str()));
        return module_->Open(path.get());
    }

    ComPtr<IMergeModule2> module_;
};

TEST_F(MergeModule, AnswersFromTheOpenedFile) {
    ASSERT_EQ(S_OK, Open(L"full.msm"));
    EXPECT_EQ(_stringx(kFull), TEXT_OF(module_, get_ModuleId));
    EXPECT_EQ(_stringx(kFull) + L":1033", TEXT_OF(module_, get_EntryKey));
    EXPECT_EQ(FixturePath(L"full.msm"), TEXT_OF(module_, get_Path));
    EXPECT_EQ(_stringx(L"Full Test Module"), TEXT_OF(module_, get_DisplayName));
    EXPECT_EQ(_stringx(L"{5D0C6A1E-7B2F-4C3D-9E8A-1F2B3C4D5E6F}"), TEXT_OF(module_, get_RevisionNumber));
    EXPECT_EQ(_stringx(), TEXT_OF(module_, get_SourceLocation));
    LONG language = 0;
    EXPECT_EQ(S_OK, module_->get_Language(&language));
    EXPECT_EQ(1033, language);

    // Files in the order of their keys, not of their sequence; a new collection on every call.
    ComPtr<IFileCollection> files, again;
    ASSERT_EQ(S_OK, module_->get_Files(files.Put()));
    ASSERT_EQ(S_OK, module_->get_Files(again.Put()));
    EXPECT_NE(files.Get(), again.Get());
    auto file = Items<IFileItem>(files.Get(), IID_IFileItem);
    const wchar_t* order[] = {L"alpha.txt", L"bars.dat", L"orphan.ini", L"sys.dll", L"top.cfg", L"zeta.dll"};
    ASSERT_EQ(ARRAYSIZE(order), file.size());
    for (size_t i = 0; i < file.size(); ++i) EXPECT_EQ(_stringx(order[i]) + kSuffix, TEXT_OF(file[i], get_FileKey));
    EXPECT_EQ(_stringx(L"Sub"), TEXT_OF(file[0], get_Directory));
    EXPECT_EQ(_stringx(L"ALPHA~1.TXT|Alpha Readme.txt"), TEXT_OF(file[0], get_FileName));
    LONG sequence = 0;
    EXPECT_EQ(S_OK, file[0]->get_Sequence(&sequence));
    EXPECT_EQ(2, sequence);
    EXPECT_EQ(_stringx(L"1033"), TEXT_OF(file[5], get_Language));

    // The dependency on itself is left out; the language is a number here and text for exclusions.
    ComPtr<IDependencyCollection> dependencies;
    ASSERT_EQ(S_OK, module_->get_Dependencies(dependencies.Put()));
    auto required = Items<IDependencyItem>(dependencies.Get(), IID_IDependencyItem);
    ASSERT_EQ(2u, required.size());
    EXPECT_EQ(_stringx(L"HelperModule.AAAAAAAA_BBBB_CCCC_DDDD_EEEEEEEEEEEE:1031"), TEXT_OF(required[0], get_Key));
    EXPECT_EQ(S_OK, required[0]->get_Language(&language));
    EXPECT_EQ(1031, language);
    EXPECT_EQ(_stringx(L"2.0.0.0"), TEXT_OF(required[1], get_Version));
    ComPtr<IExclusionCollection> exclusions;
    ASSERT_EQ(S_OK, module_->get_Exclusions(exclusions.Put()));
    auto excluded = Items<IExclusionItem>(exclusions.Get(), IID_IExclusionItem);
    ASSERT_EQ(2u, excluded.size());
    EXPECT_EQ(_stringx(L"1033"), TEXT_OF(excluded[0], get_Language));
    EXPECT_EQ(_stringx(L"1.9.9.9"), TEXT_OF(excluded[0], get_MaxVersion));
    ComPtr<IDialogCollection> dialogs;
    ASSERT_EQ(S_OK, module_->get_Dialogs(dialogs.Put()));
    EXPECT_EQ(2u, (Items<IDialogItem>(dialogs.Get(), IID_IDialogItem).size()));

    // A second Open replaces every answer; what was handed out before stays.
    ASSERT_EQ(S_OK, Open(L"signature-only.msm"));
    EXPECT_NE(_stringx(kFull), TEXT_OF(module_, get_ModuleId));
    ASSERT_EQ(S_OK, module_->get_Dependencies(dependencies.Put())) << "no ModuleDependency table";
    ASSERT_EQ(S_OK, module_->get_Files(again.Put()));
    LONG count = -1;
    EXPECT_EQ(S_OK, dependencies->get_Count(&count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(S_OK, again->get_Count(&count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(_stringx(L"zeta.dll") + kSuffix, TEXT_OF(file[5], get_FileKey));
}

TEST_F(MergeModule, NullOutsAndCallsBeforeOpen) {
    BSTR text = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(E_UNEXPECTED, module_->get_ModuleId(&text));
    EXPECT_EQ(nullptr, text);
    cvtest::ErrorInfoText error = cvtest::TakeErrorInfo();
    EXPECT_EQ(_stringx(L"No merge module has been opened."), error.description);
    EXPECT_EQ(_stringx(kProgId), error.source);
    IFileCollection* files = reinterpret_cast<IFileCollection*>(1);
    EXPECT_EQ(E_UNEXPECTED, module_->get_Files(&files));
    EXPECT_EQ(nullptr, files);

    ASSERT_EQ(S_OK, Open(L"full.msm"));
    EXPECT_EQ(E_POINTER, module_->get_ModuleId(nullptr));
    EXPECT_EQ(E_POINTER, module_->get_Language(nullptr));
    EXPECT_EQ(E_POINTER, module_->get_Files(nullptr));
}

TEST_F(MergeModule, AvailabilityAndDownloadFilesFromTheGalleryFile) {
    cvtest::TestEnvironment env(L"collections_gallery");
    ASSERT_EQ(S_OK, Open(L"full.msm"));
    ComPtr<IDownloadFileCollection> downloads;
    ASSERT_EQ(S_OK, module_->get_DownloadFiles(downloads.Put()));
    LONG count = -1;
    EXPECT_EQ(S_OK, downloads->get_Count(&count));
    EXPECT_EQ(0, count) << "no gallery file";
    VARIANT_BOOL present = 7, needsUpdate = 7;
    EXPECT_EQ(S_OK, module_->get_IsPresent(&present));
    EXPECT_EQ(S_OK, module_->get_NeedsUpdate(&needsUpdate));
    EXPECT_EQ(VARIANT_TRUE, present);
    EXPECT_EQ(VARIANT_FALSE, needsUpdate);
    EXPECT_EQ(_stringx(), TEXT_OF(module_, get_ResolvedPath));

    // Named after the package code, and read again on every call.
    _stringx gallery = env.WriteGalleryFile(L"{5D0C6A1E-7B2F-4C3D-9E8A-1F2B3C4D5E6F}.ini",
                                            "[DownloadFiles]\r\nKey1=Cab\r\nKey2=Readme\r\n"
                                            "[Cab]\r\nLocation=Redist\\full.cab\r\nFileSize=4096\r\nCheckSum=ABC\r\n"
                                            "[Readme]\r\nInternetLocation=http://example.invalid/r.txt\r\n");
    ASSERT_EQ(S_OK, module_->get_DownloadFiles(downloads.Put()));
    auto file = Items<IDownloadFileItem>(downloads.Get(), IID_IDownloadFileItem);
    ASSERT_EQ(2u, file.size());
    EXPECT_EQ(_stringx(L"Redist\\full.cab"), TEXT_OF(file[0], get_Location));
    EXPECT_EQ(_stringx(L"ABC"), TEXT_OF(file[0], get_CheckSum));
    LONG size = 0;
    EXPECT_EQ(S_OK, file[0]->get_FileSize(&size));
    EXPECT_EQ(4096, size);
    EXPECT_EQ(_stringx(L"http://example.invalid/r.txt"), TEXT_OF(file[1], get_InternetLocation));

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

TEST_F(MergeModule, EnumeratorKeepsTheServerLoaded) {
    auto canUnloadNow = reinterpret_cast<HRESULT(WINAPI*)()>(
        GetProcAddress(GetModuleHandleW(L"CvMMUpdater2.dll"), "DllCanUnloadNow"));
    ASSERT_NE(nullptr, canUnloadNow);
    ASSERT_EQ(S_OK, Open(L"full.msm"));
    ComPtr<IEnumVARIANT> walk;
    {
        ComPtr<IFileCollection> files;
        ComPtr<IUnknown> unknown;
        ASSERT_EQ(S_OK, module_->get_Files(files.Put()));
        ASSERT_EQ(S_OK, files->get__NewEnum(unknown.Put()));
        ASSERT_EQ(S_OK, unknown.As(IID_IEnumVARIANT, walk));
    }
    module_ = nullptr;
    EXPECT_EQ(S_FALSE, canUnloadNow());
    VARIANT slot;
    ASSERT_EQ(S_OK, walk->Next(1, &slot, nullptr)) << "the collection lives on with its enumerator";
    VariantClear(&slot);
    walk = nullptr;
    EXPECT_EQ(S_OK, canUnloadNow());
}

TEST_F(MergeModule, BoundToAnEntryItDoesNotOwn) {
    auto entry = std::make_shared<ModuleEntry>();
    entry->Load(FixturePath(L"full.msm"), L"Repository A");
    std::weak_ptr<ModuleEntry> watch = entry;
    ComPtr<IMergeModule2> bound;
    ASSERT_EQ(S_OK, MergeModule2::CreateBound(entry.get(), entry, IID_IMergeModule2, bound.PutVoid()));
    entry.reset();
    ASSERT_FALSE(watch.expired()) << "the object keeps its entry's owner alive";
    EXPECT_EQ(_stringx(L"Repository A"), TEXT_OF(bound, get_SourceLocation));
    VARIANT_BOOL hasSource = 0;
    EXPECT_EQ(S_OK, bound->get_HasSourceLocation(&hasSource));
    EXPECT_EQ(VARIANT_TRUE, hasSource);

    // Opening another module gives the share back instead of deleting an entry it does not own.
    unique_bstr other(SysAllocString(FixturePath(L"signature-only.msm").c_str()));
    ASSERT_EQ(S_OK, bound->Open(other.get()));
    EXPECT_TRUE(watch.expired());
    EXPECT_NE(_stringx(kFull), TEXT_OF(bound, get_ModuleId));
}

}  // namespace
