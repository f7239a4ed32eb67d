// The small generated corpus seen through the real server: the catalog lists every module the
// manifest names, and the file search finds what the manifest says delivers each sampled file.
#include <windows.h>
#include <gtest/gtest.h>
#include <map>
#include "CvMMUpdater2.h"
#include "cvmmupdater.h"
#include "base/Handles.h"
#include "tests/collections/PropertyText.h"
#include "tests/support/TestSupport.h"
#include "tests/support/CorpusManifest.h"

namespace {
using cvtest::Props;

class Corpus : public cvtest::ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        const _stringx root = cvtest::Backslashed(CV_TEST_SMALL_CORPUS);
        std::wstring error;
        ASSERT_TRUE(manifest_.Read(JoinPath(root, L"manifest.txt").str(), &error)) << _stringx(error).AsNarrow();
        ini_ = JoinPath(root, L"AppServices.ini");
        SetEnvironmentVariableW(L"CVAPPSERVICES_INI", ini_.c_str());
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MMCatalog, nullptr, CLSCTX_INPROC_SERVER, IID_IMMCatalog,
                                         catalog_.PutVoid()));
    }
    void TearDown() override {
        catalog_ = nullptr;
        SetEnvironmentVariableW(L"CVAPPSERVICES_INI", nullptr);
        ComTest::TearDown();
    }

    // "EntryKey|found" of a search, "<no object>" for no module; found is seeded with 7.
    _stringx Search(bool extended, const std::wstring& path, const std::wstring& key, const std::wstring& version) {
        ComPtr<IMergeModule2> module;
        VARIANT_BOOL found = 7;
        _stringx target(path), directoryKey(key), wanted(version);
        HRESULT hr = extended ? catalog_->FindModuleForFileEx(target.AsBSTR(), directoryKey.AsBSTR(), wanted.AsBSTR(),
                                                              module.Put(), &found)
                              : catalog_->FindModuleForFile(target.AsBSTR(), directoryKey.AsBSTR(), wanted.AsBSTR(),
                                                            module.Put(), &found);
        EXPECT_EQ(S_OK, hr) << target.AsNarrow();
        return Props(module.Get(), {L"EntryKey"}) + _stringx::Formatted(L"|#%d", static_cast<int>(found));
    }
    static _stringx Answer(const std::wstring& signature, bool found) {
        return (signature.empty() ? _stringx(L"<no object>") : _stringx(signature)) + (found ? L"|#-1" : L"|#7");
    }

    CorpusManifest manifest_;
    _stringx ini_;
    ComPtr<IMMCatalog> catalog_;
};

TEST_F(Corpus, CatalogListsEveryModuleAndEveryGalleryDescription) {
    ComPtr<IDispatch> modules;
    ComPtr<IModuleCollection> collection;
    ASSERT_EQ(S_OK, catalog_->GetModules(modules.Put()));
    ASSERT_EQ(S_OK, modules.As(IID_IModuleCollection, collection));
    std::map<std::wstring, std::wstring> expected;  // key -> path ("" for the gallery's)
    for (const auto& module : manifest_.modules) expected[module.moduleId + L":" + module.language] = module.path;
    for (const auto& file : manifest_.files)
        if (file.gallery) expected[file.Signature()] = L"";
    EXPECT_EQ(_stringx::Formatted(L"#%d", static_cast<int>(expected.size())), Props(collection.Get(), {L"Count"}));
    ASSERT_GT(manifest_.modules.size(), 15u);
    for (const auto& [key, path] : expected) {
        _stringx text(key);
        VARIANT index;
        V_VT(&index) = VT_BSTR;
        V_BSTR(&index) = text.AsBSTR();
        ComPtr<IDispatch> item;
        EXPECT_EQ(S_OK, collection->get_Item(index, item.Put())) << text.AsNarrow();
        EXPECT_EQ(_stringx(path), Props(item.Get(), {L"Path"})) << text.AsNarrow();
    }
}

// Every tenth file, every gallery file and every exclusion, with and without the directory key; the
// index names a module for files no module delivers, and leaves `found` as it was.
TEST_F(Corpus, FileSearchAnswersWhatTheManifestSays) {
    ASSERT_GT(manifest_.files.size(), 900u);
    std::vector<const CorpusFile*> sample;
    for (size_t i = 0; i < manifest_.files.size(); ++i) {
        const CorpusFile& file = manifest_.files[i];
        if (i % 10 == 0 || file.gallery || manifest_.IsExcluded(file)) sample.push_back(&file);
    }
    size_t excluded = 0;
    for (const CorpusFile* file : sample) {
        std::wstring expected = manifest_.ExpectedModule(*file, true).empty() ? L"" : file->Signature();
        excluded += manifest_.IsExcluded(*file);
        EXPECT_EQ(Answer(expected, !expected.empty()), Search(true, file->TargetPath(), L"", file->version))
            << _stringx(file->TargetPath()).AsNarrow();
        if (!file->gallery) {
            EXPECT_EQ(Answer(expected, !expected.empty()),
                      Search(true, file->TargetPath(), file->directoryKey, file->version))
                << _stringx(file->TargetPath()).AsNarrow() << " in " << _stringx(file->directoryKey).AsNarrow();
        }
    }
    EXPECT_GE(excluded, 3u) << "the corpus excludes files by pattern and by the settings document";

    const CorpusFile& some = manifest_.files.front();
    const struct {
        const wchar_t* what;
        std::wstring path, key, version;
    } misses[] = {{L"wrong folder", L"[SystemFolder]" + some.name, L"", some.version},
                  {L"wrong key", some.TargetPath(), L"NoSuchKey", some.version},
                  {L"wrong version", some.TargetPath(), L"", L"99.0"},
                  {L"no such name", some.folder + L"\\never-delivered.dll", L"", L""}};
    for (const auto& miss : misses)
        EXPECT_EQ(Answer(L"", false), Search(true, miss.path, miss.key, miss.version)) << _stringx(miss.what).AsNarrow();
    ASSERT_FALSE(manifest_.indexed.empty());
    for (const auto& [name, signature] : manifest_.indexed)
        EXPECT_EQ(Answer(signature, false), Search(true, L"[SystemFolder]" + name, L"", L"")) << _stringx(name).AsNarrow();
}

}  // namespace
