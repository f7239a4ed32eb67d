// The file search and the lookup in any language answer from indexes; here the plain walk they
// replace runs beside them over a generated module set and must give the same module, the same
// found flag and the same result for every file, for misses, under both switches, with and without
// a directory key, with right and wrong versions, and after modules are added, touched and deleted.
#include <windows.h>
#include <gtest/gtest.h>
#include <shlwapi.h>
#include <set>
#include <string>
#include <vector>
#include "catalog/SearchLocationList.h"
#include "catalog/MMCatalog.h"
#include "catalog/SettingsDocument.h"
#include "msi/DirectoryResolver.h"
#include "folders/FolderSyntax.h"
#include "model/ModuleIndex.h"
#include "msi/InstallerAccess.h"
#include "msi/MergeModule2.h"
#include "server/SiblingLoader.h"
#include "tests/collections/PropertyText.h"
#include "tests/support/Environment.h"
#include "tests/support/TestSupport.h"
#include "tests/support/CorpusManifest.h"

namespace {
using cvtest::Props;

bool SameText(const _stringx& a, const _stringx& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

struct Query {
    _stringx path, key, version;
};

// ---------------------------------------------------------------- the walk, as first written

// Opens the module for every folder it resolves.
bool WalkResolve(CatalogEntry& entry, const _stringx& key, _stringx& path) {
    if (key.empty() || entry.FromGallery()) return false;
    InstallerHandle database;
    UINT result = MsiOpenDatabaseW(entry.Path().c_str(), MSIDBOPEN_READONLY, database.put());
    CheckInstallerResult(result, L"MsiOpenDatabase", entry.Path().c_str());
    _stringx resolved;
    if (ResolveDirectoryPath(database.get(), key, resolved, ResolveOptions()) != 0) return false;
    path = resolved;
    return true;
}

// Every module of the published collection with that ModuleID; the preferred language is never set.
ComPtr<IMergeModule2> WalkFindBySignature(IMMCatalog* catalog, const _stringx& signature) {
    ComPtr<IDispatch> modules;
    CheckResult(catalog->GetModules(modules.Put()));
    ComPtr<IModuleCollection> collection;
    CheckResult(modules.As(IID_IModuleCollection, collection));
    size_t colon = signature.rfind(L':');
    _stringx moduleId = signature.substr(0, colon), language = signature.substr(colon + 1);
    LONG count = 0;
    CheckResult(collection->get_Count(&count));
    std::set<_stringx> languages;
    if (language == _stringx(L"0")) {
        for (LONG i = 1; i <= count; ++i) {
            ComPtr<IMergeModule2> module;
            CheckResult(cvtest::ItemAt(collection.Get(), i).As(IID_IMergeModule2, module));
            unique_bstr id;
            CheckResult(module->get_ModuleId(id.put()));
            if (_stringx(id.get()) != moduleId) continue;
            LONG variant = 0;
            CheckResult(module->get_Language(&variant));
            languages.insert(_stringx::Formatted(L"%d", variant));
        }
        if (languages.empty()) return nullptr;
        language = *languages.begin();
    }
    ComPtr<IDispatch> item;
    unique_variant key;
    V_VT(key.get()) = VT_BSTR;
    V_BSTR(key.get()) = SysAllocString((moduleId + L":" + language).c_str());
    CheckResult(collection->get_Item(key.Get(), item.Put()));
    ComPtr<IMergeModule2> module;
    if (item) CheckResult(item.As(IID_IMergeModule2, module));
    return module;
}

// What a search answered: the result and its error information, the module's key and path, the
// found flag.
_stringx Outcome(HRESULT hr, IMergeModule2* module, VARIANT_BOOL found) {
    cvtest::ErrorInfoText error = cvtest::TakeErrorInfo();
    return _stringx::Formatted(L"0x%08lx|", hr) + (error.present ? error.source + L":" + error.description : L"") +
           L"|" + Props(module, {L"EntryKey", L"Path"}) + _stringx::Formatted(L"|#%d", static_cast<int>(found));
}

class SearchEquivalence : public cvtest::ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        // A private copy: the test adds, touches and deletes modules.
        const _stringx source = cvtest::Backslashed(CV_TEST_SMALL_CORPUS);
        // A folder per test: ctest runs the tests of this program side by side.
        std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        root_ = cvtest::FreshScratchDir((L"search-equivalence-" + std::wstring(test.begin(), test.end())).c_str());
        ASSERT_EQ(0u, cvtest::RunProcess(L"cmd /c xcopy /e /i /q \"" + source + L"\" \"" + root_ + L"\\corpus\"",
                                         nullptr, 300000));
        root_ = JoinPath(root_, L"corpus");
        for (const wchar_t* file : {L"AppServices.ini", L"App\\Repositories\\Repositories.xml"}) {
            _stringx path = JoinPath(root_, file);
            std::string text = cvtest::ReadBytes(path), from = _stringx(source).AsNarrow(), to = root_.AsNarrow();
            for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
                text.replace(at, from.size(), to);
            cvtest::WriteText(path, text);
        }
        std::wstring error;
        ASSERT_TRUE(manifest_.Read(JoinPath(root_, L"manifest.txt").str(), &error)) << _stringx(error).AsNarrow();
        SetEnvironmentVariableW(L"CVAPPSERVICES_INI", JoinPath(root_, L"AppServices.ini").c_str());
        catalog_.Attach(ComObject<MMCatalog>::Make());
        ASSERT_EQ(S_OK, catalog_->FinalConstruct());
        ComPtr<IAppFolders> folders;
        ASSERT_EQ(S_OK, CreateSiblingObject(L"CvAppServices.dll", CLSID_AppServices, IID_IAppFolders,
                                            folders.PutVoid()));
        unique_bstr patterns;
        ASSERT_EQ(S_OK, folders->ExcludedFilePatterns(patterns.put()));
        for (_stringx rest = patterns.get(); !rest.empty();) {
            size_t comma = rest.find(L',');
            patterns_.push_back(rest.substr(0, comma));
            rest = comma == _stringx::npos ? _stringx() : rest.substr(comma + 1);
        }
        ASSERT_EQ(S_OK, CreateSiblingObject(L"CvAppServices.dll", CLSID_AppServices, IID_IAppSettingsFiles,
                                            settingsFiles_.PutVoid()));
    }
    void TearDown() override {
        catalog_ = nullptr;
        settingsFiles_ = nullptr;
        SetEnvironmentVariableW(L"CVAPPSERVICES_INI", nullptr);
        ComTest::TearDown();
    }

    void SetSwitches(bool matchKey, bool matchFolder) {
        _stringx ini = JoinPath(root_, L"AppServices.ini");
        WritePrivateProfileStringW(L"MergeModules", L"MatchDirectoryKey", matchKey ? L"1" : L"0", ini.c_str());
        WritePrivateProfileStringW(L"MergeModules", L"MatchResolvedFolder", matchFolder ? L"1" : L"0", ini.c_str());
        matchKey_ = matchKey;
        matchFolder_ = matchFolder;
    }

    _stringx Walk(const Query& q, bool extended) {
        bool matchKey = extended ? !q.key.empty() : matchKey_, matchFolder = extended || matchFolder_;
        ComPtr<IMergeModule2> answer;
        VARIANT_BOOL found = 7;
        HRESULT hr = GuardedCall(
            [&] {
                _stringx folderPart, filePart;
                SplitFolderPath(q.path, folderPart, filePart);
                size_t slash = filePart.rfind(L'\\');
                _stringx fileName = slash == _stringx::npos ? filePart : filePart.substr(slash + 1);
                _stringx wanted = q.version.empty() ? _stringx(L"0") : q.version;
                if (!fileName.empty())
                    for (const _stringx& pattern : patterns_)
                        if (PathMatchSpecW(fileName.c_str(), pattern.c_str())) return S_OK;
                std::vector<std::shared_ptr<CatalogEntry>> candidates;
                for (const auto& location : SearchLocationList::Instance().Locations()) {
                    const EntryMapSnapshot modules = location->Modules();
                    for (const auto& entry : *modules) candidates.push_back(entry.second);
                }
                for (const auto& entry : catalog_->GalleryEntries()) candidates.push_back(entry.second);
                for (const auto& entry : candidates) {
                    bool delivers = false;
                    for (const auto& file : entry->Files()) {
                        const FileEntry& record = file.second;
                        if (!SameText(record.LongName, fileName)) continue;
                        if (matchKey && !SameText(record.Directory, q.key)) continue;
                        _stringx resolved;
                        if (matchFolder && !folderPart.empty() &&
                            (!WalkResolve(*entry, record.Directory, resolved) || !SameText(resolved, folderPart)))
                            continue;
                        if ((record.Version.empty() ? _stringx(L"0") : record.Version) != wanted) continue;
                        delivers = true;
                        break;
                    }
                    if (!delivers) continue;
                    unique_bstr document;
                    CheckResult(settingsFiles_->SettingsFile(8, document.put()));
                    if (IsFileExcluded(document.get(), entry->RevisionNumber(), fileName)) continue;
                    CheckResult(MergeModule2::CreateBound(entry.get(), entry, IID_IMergeModule2, answer.PutVoid()));
                    found = VARIANT_TRUE;
                    return S_OK;
                }
                _stringx value;
                if (fileName.empty() || !LookupFileModule(fileName.Lower(), value)) return S_OK;
                size_t colon = value.find(L':');
                if (colon == _stringx::npos || value.substr(0, colon) != _stringx(L"0")) return S_OK;
                _stringx signature = value.substr(colon + 1);
                if (signature.find(L':') == _stringx::npos) signature += L":0";
                answer = WalkFindBySignature(catalog_.Get(), signature);
                return S_OK;
            },
            [](const com_exception& e) { return ReportComException(e, CLSID_MMCatalog, nullptr); });
        return Outcome(hr, answer.Get(), found);
    }

    _stringx Indexed(const Query& q, bool extended) {
        ComPtr<IMergeModule2> answer;
        VARIANT_BOOL found = 7;
        _stringx path = q.path, key = q.key, version = q.version;
        HRESULT hr = extended ? catalog_->FindModuleForFileEx(path.AsBSTR(), key.AsBSTR(), version.AsBSTR(),
                                                              answer.Put(), &found)
                              : catalog_->FindModuleForFile(path.AsBSTR(), key.AsBSTR(), version.AsBSTR(),
                                                            answer.Put(), &found);
        return Outcome(hr, answer.Get(), found);
    }

    // Every query through both front ends, the walk beside the index; returns how many differed.
    int Compare(const std::vector<Query>& queries) {
        int differences = 0;
        for (const Query& q : queries)
            for (bool extended : {true, false}) {
                _stringx walked = Walk(q, extended), indexed = Indexed(q, extended);
                if (indexed.find(L"|#-1") != _stringx::npos) ++found_;
                if (walked == indexed) continue;
                if (++differences <= 5)
                    ADD_FAILURE() << (extended ? "Ex " : "") << _stringx(q.path).AsNarrow() << " key "
                                  << _stringx(q.key).AsNarrow() << " version " << _stringx(q.version).AsNarrow()
                                  << "\n walk:  " << walked.AsNarrow() << "\n index: " << indexed.AsNarrow();
            }
        return differences;
    }

    // Each file as delivered; every n-th also with no key, a wrong key, no version and a wrong version,
    // and in a folder where it is not; and names nobody has.
    std::vector<Query> Queries(size_t every) const {
        std::vector<Query> queries;
        for (size_t i = 0; i < manifest_.files.size(); ++i) {
            const CorpusFile& file = manifest_.files[i];
            Query exact{file.TargetPath(), file.directoryKey, file.version};
            queries.push_back(exact);
            if (i % every != 0) continue;
            queries.push_back({exact.path, L"", exact.version});
            queries.push_back({exact.path, L"NoSuchKey", exact.version});
            queries.push_back({exact.path, exact.key, L""});
            queries.push_back({exact.path, exact.key, L"9.9.9.9"});
            queries.push_back({L"[WindowsFolder]Elsewhere\\" + _stringx(file.name), exact.key, exact.version});
            queries.push_back({_stringx(file.name), L"", exact.version});
            // Keys and folders equal without case: their hashes must not tell them apart.
            size_t root = exact.path.find(L']') + 1;
            if (i % (3 * every) == 0)
                queries.push_back({exact.path.substr(0, root) + exact.path.substr(root).Upper(), exact.key.Lower(),
                                   exact.version});
        }
        for (const auto& indexed : manifest_.indexed) queries.push_back({L"[SystemFolder]" + _stringx(indexed.first), L"", L""});
        for (const wchar_t* miss : {L"[SystemFolder]nobody-has-this.dll", L"[SystemFolder]", L"", L"[SystemFolder]x.pdb"})
            queries.push_back({miss, L"", L""});
        return queries;
    }

    _stringx root_;
    CorpusManifest manifest_;
    std::vector<_stringx> patterns_;
    ComPtr<IAppSettingsFiles> settingsFiles_;
    ComPtr<ComObject<MMCatalog>> catalog_;
    bool matchKey_ = false, matchFolder_ = false;
    size_t found_ = 0;
};

TEST_F(SearchEquivalence, EveryFileAndMissUnderBothSwitches) {
    ASSERT_GT(manifest_.files.size(), 500u);
    for (int switches = 0; switches < 4; ++switches) {
        SetSwitches(switches & 1, switches & 2);
        EXPECT_EQ(0, Compare(Queries(switches == 3 ? 7 : 41))) << "switches " << switches;
    }
    // Most searches find their file: the comparison is not one of empty answers.
    EXPECT_GT(found_, 4 * manifest_.files.size());
}

TEST_F(SearchEquivalence, AfterModulesAreAddedTouchedAndDeleted) {
    SetSwitches(false, true);
    std::vector<Query> sample = Queries(53);
    ASSERT_EQ(0, Compare(sample));
    LONG ignored = 0;
    const CorpusModule& first = manifest_.modules.front();
    const CorpusModule& last = manifest_.modules.back();
    _stringx firstPath = JoinPath(root_, _stringx(first.path).substr(_stringx(first.path).find(L"Modules\\")));
    _stringx lastPath = JoinPath(root_, _stringx(last.path).substr(_stringx(last.path).find(L"Modules\\")));

    // Added: a copy that delivers the same files under the same key, earlier in path order.
    _stringx copy = JoinPath(firstPath.substr(0, firstPath.rfind(L'\\')), L"0-copy.msm");
    ASSERT_TRUE(CopyFileW(firstPath.c_str(), copy.c_str(), FALSE));
    ASSERT_EQ(S_OK, catalog_->Refresh(&ignored));
    EXPECT_EQ(0, Compare(sample)) << "added";

    // Touched: a new entry for the same file.
    FILETIME later;
    GetSystemTimeAsFileTime(&later);
    reinterpret_cast<ULARGE_INTEGER&>(later).QuadPart += 600ull * 10000000;
    {
        unique_file file(CreateFileW(lastPath.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &later));
    }
    ASSERT_EQ(S_OK, catalog_->Refresh(&ignored));
    EXPECT_EQ(0, Compare(sample)) << "touched";

    ASSERT_TRUE(DeleteFileW(copy.c_str()));
    ASSERT_TRUE(DeleteFileW(lastPath.c_str()));
    ASSERT_EQ(S_OK, catalog_->Refresh(&ignored));
    EXPECT_EQ(0, Compare(sample)) << "deleted";
}

// Gallery modules deliver names beyond ASCII, one in capitals and one in small letters, some of which
// only a full case mapping would pair (final sigma, the Kelvin sign, a dotted capital I): each is
// searched as written, in capitals and in small letters, and the index must pair exactly the names
// that the runtime's case-blind comparison pairs.
TEST_F(SearchEquivalence, NamesBeyondAsciiCompareAsTheWalkDoes) {
    const std::vector<_stringx> capitals = {L"\u00C4RGER.DLL", L"\u03A3\u038A\u03A3\u03A5\u03A6\u039F\u03A3.DLL",
                                            L"\u0416\u0423\u0420\u041D\u0410\u041B.DLL", L"\u212A.DLL",
                                            L"\u0130NI.DLL", L"\u0178ES.DLL", L"STRA\u1E9EE.DLL", L"\uFF21.DLL"};
    const std::vector<_stringx> smalls = {L"\u00E4rger.dll", L"\u03C3\u03AF\u03C3\u03C5\u03C6\u03BF\u03C2.dll",
                                          L"\u0436\u0443\u0440\u043D\u0430\u043B.dll", L"k.dll",
                                          L"ini.dll", L"\u00FFes.dll", L"stra\u00DFe.dll", L"\uFF41.dll"};
    std::vector<Query> queries;
    for (const auto* names : {&capitals, &smalls}) {
        std::string ini = "[MergeModule]\r\nModuleID=Beyond." + std::to_string(names == &smalls) +
                          "\r\nLanguage=0\r\n[Files]\r\n";
        for (size_t i = 0; i < names->size(); ++i) ini += "Key" + std::to_string(i + 1) + "=F" + std::to_string(i) + "\r\n";
        for (size_t i = 0; i < names->size(); ++i) {
            ini += "[F" + std::to_string(i) + "]\r\nFileName=" + ToUtf8((*names)[i]) + "\r\n";
            for (const _stringx& name : {(*names)[i], (*names)[i].Upper(), (*names)[i].Lower()})
                queries.push_back({L"[SystemFolder]" + name, L"", L""});
        }
        cvtest::WriteText(JoinPath(root_, _stringx::Formatted(L"App\\ObjectGallery\\Beyond%d.ini", names == &smalls)), ini);
    }
    catalog_.Attach(ComObject<MMCatalog>::Make());
    ASSERT_EQ(S_OK, catalog_->FinalConstruct());
    for (int switches = 0; switches < 4; ++switches) {
        SetSwitches(switches & 1, switches & 2);
        EXPECT_EQ(0, Compare(queries)) << "switches " << switches;
    }
    EXPECT_GT(found_, queries.size()) << "the comparison is not one of empty answers";
}

TEST_F(SearchEquivalence, AnyLanguageLookupPicksAsTheWalkDoes) {
    std::set<std::wstring> ids;
    for (const CorpusModule& module : manifest_.modules) ids.insert(module.moduleId);
    ids.insert(L"Nobody.Has.This");
    for (const std::wstring& id : ids) {
        _stringx signature = _stringx(id) + L":0";
        ComPtr<IDispatch> indexed;
        ASSERT_EQ(S_OK, catalog_->FindModule(signature.AsBSTR(), 0, indexed.Put()));
        ComPtr<IMergeModule2> walked = WalkFindBySignature(catalog_.Get(), signature);
        EXPECT_EQ(Props(walked.Get(), {L"EntryKey", L"Path"}), Props(indexed.Get(), {L"EntryKey", L"Path"}))
            << signature.AsNarrow();
    }
}

}  // namespace
