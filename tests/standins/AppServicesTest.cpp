// The application services and object manager stand-ins, loaded as the server loads them; both read AppServices.ini.
#include <windows.h>
#include <cstring>
#include <functional>
#include "appservices.h"
#include "server/SiblingLoader.h"
#include "idl/CvObjMgr.h"
#include "tests/standins/StandinTest.h"

namespace {
using cvtest::ReadBytes;
using cvtest::WriteText;
using standintest::Take;

const wchar_t kDll[] = L"CvAppServices.dll";

class AppServices : public cvtest::ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        folder_ = standintest::ScratchForThisTest();
        ini_ = JoinPath(folder_, L"AppServices.ini");
        standintest::PointSettingsAt(ini_);
    }
    void TearDown() override {
        EXPECT_EQ(S_OK, cvtest::CanUnloadNow(kDll)) << "an object of the application services is left";
        ComTest::TearDown();
    }
    template <typename Interface>
    ComPtr<Interface> Create(REFIID iid, const _stringx& dll = kDll) {
        ComPtr<Interface> object;
        EXPECT_EQ(S_OK, CreateSiblingObject(dll, CLSID_AppServices, iid, object.PutVoid()));
        return object;
    }
    _stringx folder_;
    _stringx ini_;
};

// One object answers the four interfaces; the file is read afresh on every call.
TEST_F(AppServices, AnswersEveryValueOfTheSettingsFile) {
    ComPtr<IAppSettings> settings = Create<IAppSettings>(IID_IAppSettings);
    ComPtr<IAppFolders> folders;
    ComPtr<IAppSearchPaths> paths;
    ComPtr<IAppSettingsFiles> files;
    ASSERT_TRUE(settings);
    ASSERT_EQ(S_OK, settings.As(IID_IAppFolders, folders));
    ASSERT_EQ(S_OK, folders.As(IID_IAppSearchPaths, paths));
    ASSERT_EQ(S_OK, paths.As(IID_IAppSettingsFiles, files));

    // A switch as text: "true" for VARIANT_TRUE, "" for VARIANT_FALSE.
    auto flag = [&](HRESULT (STDMETHODCALLTYPE IAppSearchPaths::*read)(VARIANT_BOOL*), BSTR* out) {
        VARIANT_BOOL on = 7;
        HRESULT hr = (paths.Get()->*read)(&on);
        *out = SysAllocString(on == VARIANT_TRUE ? L"true" : on == VARIANT_FALSE ? L"" : L"neither");
        return hr;
    };
    const std::pair<const wchar_t*, std::function<HRESULT(BSTR*)>> answers[] = {
        {L"Z:\\env\\app", [&](BSTR* out) { return folders->ApplicationFolder(out); }},
        {L"Z:\\env\\f2m", [&](BSTR* out) { return folders->FilesToModulesIndexFolder(out); }},
        {L"Z:\\env\\names", [&](BSTR* out) { return folders->ModulesIndexFolder(out); }},
        {L"Z:\\second,Z:\\third", [&](BSTR* out) { return folders->SecondSearchPath(out); }},
        {L"*.pdb,readme.txt", [&](BSTR* out) { return folders->ExcludedFilePatterns(out); }},
        {L"Z:\\env\\settings.xml", [&](BSTR* out) { return files->SettingsFile(8, out); }},
        {L"  Z:\\mm1, Z:\\mm2\t", [&](BSTR* out) { return settings->MergeModuleSearchPath(out); }},
        {L"  Z:\\mm1, Z:\\mm2\t", [&](BSTR* out) { return paths->SearchPath(out); }},
        {L"Z:\\list\\zero", [&](BSTR* out) { return settings->MergeModuleFolder(0, out); }},
        {L"Z:\\list\\one", [&](BSTR* out) { return settings->MergeModuleFolder(1, out); }},
        // The folder list ends at the first empty folder.
        {L"", [&](BSTR* out) { return settings->MergeModuleFolder(2, out); }},
        {L"", [&](BSTR* out) { return settings->MergeModuleFolder(3, out); }},
        {L"", [&](BSTR* out) { return settings->MergeModuleFolder(-1, out); }},
        {L"", [&](BSTR* out) { return paths->Prepare(out); }},
        {L"true", [&](BSTR* out) { return flag(&IAppSearchPaths::MatchResolvedFolder, out); }},
        {L"", [&](BSTR* out) { return flag(&IAppSearchPaths::MatchDirectoryKey, out); }},
    };
    // Names in any case, values as written.
    const char* complete =
        "; written by the test\r\n[Folders]\r\nApplication=Z:\\env\\app\r\nFilesToModulesIndex=Z:\\env\\f2m\r\n"
        "ModulesIndex=Z:\\env\\names\r\nSearchPath2=Z:\\second,Z:\\third\r\nExcludedFiles=*.pdb,readme.txt\r\n"
        "SettingsDocument=Z:\\env\\settings.xml\r\n[mergemodules]\r\nSEARCHPATH=  Z:\\mm1, Z:\\mm2\t\r\n"
        "Folder1=Z:\\list\\one\r\nFolder0=Z:\\list\\zero\r\nFolder2=\r\nFolder3=Z:\\list\\three\r\n"
        "MatchResolvedFolder=1\r\nMatchDirectoryKey=0\r\n";
    // The complete file; a missing file; a file without the keys: every text empty, never null.
    const char* keyless = "[Folders]\r\n[MergeModules]\r\nx=1\r\n";
    for (const char* content : {complete, keyless, static_cast<const char*>(nullptr)}) {
        DeleteFileW(ini_.c_str());
        if (content) WriteText(ini_, content);
        for (const auto& answer : answers) {
            SCOPED_TRACE(testing::Message() << "answer " << (&answer - answers) << (content ? "" : ", no file"));
            BSTR text = nullptr;
            EXPECT_EQ(S_OK, answer.second(&text));
            EXPECT_EQ(std::wstring(content == complete ? answer.first : L""), Take(text));
        }
    }
    EXPECT_EQ(E_POINTER, paths->MatchDirectoryKey(nullptr));
}

TEST_F(AppServices, StoringTheSearchPathRewritesOnlyThatValue) {
    const std::string bom = "\xEF\xBB\xBF";
    const struct {
        const char* what;
        std::string before;  // empty: no file
        std::string after;
    } cases[] = {
        {"value replaced; BOM, comments, CRLF and other sections kept",
         bom + "; settings\r\n[Folders]\r\nApplication=Z:\\app\r\n\r\n[MergeModules]\r\n  SearchPath = Z:\\old\r\nFolder0=Z:\\f\r\n[Tail]\r\nx=y",
         bom + "; settings\r\n[Folders]\r\nApplication=Z:\\app\r\n\r\n[MergeModules]\r\n  SearchPath =Z:\\new\r\nFolder0=Z:\\f\r\n[Tail]\r\nx=y"},
        {"key added after the section's last key, ahead of the blank line and comment of the next",
         "[MergeModules]\nFolder0=Z:\\f\n\n; next\n[Other]\nSearchPath=keep\n",
         "[MergeModules]\nFolder0=Z:\\f\nSearchPath=Z:\\new\n\n; next\n[Other]\nSearchPath=keep\n"},
        {"section added at the end of a file whose last line has no line ending", "[Folders]\r\nApplication=Z:\\app",
         "[Folders]\r\nApplication=Z:\\app\r\n[MergeModules]\r\nSearchPath=Z:\\new\r\n"},
        {"the first of two sections of the same name, in another case",
         "[MERGEMODULES]\r\nsearchpath=a\r\n[MergeModules]\r\nSearchPath=b\r\n",
         "[MERGEMODULES]\r\nsearchpath=Z:\\new\r\n[MergeModules]\r\nSearchPath=b\r\n"},
        {"UTF-16 file", standintest::Utf16File(L"[MergeModules]\r\nSearchPath=\u00e4lt\r\n[\u00c4]\r\n"),
         standintest::Utf16File(L"[MergeModules]\r\nSearchPath=Z:\\new\r\n[\u00c4]\r\n")},
        {"no file yet", "", "[MergeModules]\r\nSearchPath=Z:\\new\r\n"},
    };
    ComPtr<IAppSearchPaths> paths = Create<IAppSearchPaths>(IID_IAppSearchPaths);
    ASSERT_TRUE(paths);
    unique_bstr value(SysAllocString(L"Z:\\new"));
    for (const auto& c : cases) {
        DeleteFileW(ini_.c_str());
        if (!c.before.empty()) WriteText(ini_, c.before);
        EXPECT_EQ(S_OK, paths->SetSearchPath(value.get())) << c.what;
        EXPECT_EQ(c.after, ReadBytes(ini_)) << c.what;
        EXPECT_EQ(1, standintest::FileCount(folder_)) << c.what << ": a temporary file is left";
    }
}

TEST_F(AppServices, AnUnstorableSearchPathChangesNothing) {
    const std::string original = "[MergeModules]\r\nSearchPath=Z:\\old\r\n";
    WriteText(ini_, original);
    ComPtr<IAppSearchPaths> paths = Create<IAppSearchPaths>(IID_IAppSearchPaths);
    ASSERT_TRUE(paths);

    unique_bstr injected(SysAllocString(L"Z:\\a\r\n[Folders]\r\nApplication=Z:\\evil"));
    EXPECT_EQ(E_INVALIDARG, paths->SetSearchPath(injected.get()));
    EXPECT_NE(std::wstring::npos, cvtest::TakeErrorInfo().description.str().find(L"line break"));

    // A read-only file stays as it is.
    ASSERT_TRUE(SetFileAttributesW(ini_.c_str(), FILE_ATTRIBUTE_READONLY));
    unique_bstr fine(SysAllocString(L"Z:\\new"));
    EXPECT_TRUE(FAILED(paths->SetSearchPath(fine.get())));
    EXPECT_TRUE(cvtest::TakeErrorInfo().present);
    SetFileAttributesW(ini_.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(original, ReadBytes(ini_));
    EXPECT_EQ(1, standintest::FileCount(folder_));

    // A settings file in a folder that does not exist is not created.
    _stringx nowhere = JoinPath(JoinPath(folder_, L"missing"), L"AppServices.ini");
    standintest::PointSettingsAt(nowhere);
    EXPECT_TRUE(FAILED(paths->SetSearchPath(fine.get())));
    cvtest::TakeErrorInfo();
    EXPECT_FALSE(cvtest::FileExists(nowhere));
}

// The file is read through the server's kept-document cache (its rules are tested with the settings
// document): a change shows at the next call, another file named by the variable answers, and a
// file gone answers nothing.
TEST_F(AppServices, ReadAgainWhenTheFileChanges) {
    ComPtr<IAppFolders> folders = Create<IAppFolders>(IID_IAppFolders);
    ASSERT_TRUE(folders);
    FILETIME base;
    GetSystemTimeAsFileTime(&base);
    const _stringx other = JoinPath(folder_, L"Other.ini");
    const struct {
        const char* folder;
        int seconds;
        bool otherFile;  // named by the variable instead
    } steps[] = {{"a", -3600, false}, {"bb", -3599, false}, {"c", -3600, true}};
    for (const auto& step : steps) {
        const _stringx& file = step.otherFile ? other : ini_;
        standintest::PointSettingsAt(file);
        cvtest::WriteTextDated(file, std::string("[Folders]\r\nApplication=Z:\\") + step.folder + "\r\n", base,
                               step.seconds);
        BSTR text = nullptr;
        EXPECT_EQ(S_OK, folders->ApplicationFolder(&text));
        EXPECT_EQ(L"Z:\\" + std::wstring(step.folder, step.folder + strlen(step.folder)), Take(text))
            << "step " << (&step - steps);
    }
    DeleteFileW(other.c_str());
    BSTR text = nullptr;
    EXPECT_EQ(S_OK, folders->ApplicationFolder(&text));
    EXPECT_EQ(std::wstring(), Take(text)) << "a file gone answers nothing";
}

// Without the environment variable, the file beside the DLL answers.
TEST_F(AppServices, WithoutTheVariableTheFileBesideTheDllAnswers) {
    ASSERT_TRUE(cvtest::CopyInto(JoinPath(cvtest::OutDir(), kDll), folder_));
    WriteText(ini_, "[Folders]\r\nApplication=Z:\\beside\r\n");
    for (const wchar_t* variable : {static_cast<const wchar_t*>(nullptr), L""}) {
        SetEnvironmentVariableW(L"CVAPPSERVICES_INI", variable);
        ComPtr<IAppFolders> folders = Create<IAppFolders>(IID_IAppFolders, JoinPath(folder_, kDll));
        ASSERT_TRUE(folders);
        BSTR text = nullptr;
        EXPECT_EQ(S_OK, folders->ApplicationFolder(&text));
        EXPECT_EQ(std::wstring(L"Z:\\beside"), Take(text)) << (variable ? "empty variable" : "no variable");
    }
    EXPECT_EQ(S_OK, cvtest::CanUnloadNow(JoinPath(folder_, kDll).c_str()));
}

// The object manager reads the same file through a plain export, loaded as the server loads it.
TEST_F(AppServices, ObjectManagerAnswersTheActiveProjectType) {
    HMODULE module = LoadSiblingLibrary(L"CvObjMgr.dll");
    auto activeType = module ? reinterpret_cast<GetActiveProjectTypeFn>(GetProcAddress(module, "GetActiveProjectType"))
                             : nullptr;
    ASSERT_NE(nullptr, activeType);
    const std::pair<const char*, int> cases[] = {
        {nullptr, 0}, {"[Folders]\r\nApplication=Z:\\app\r\n", 0}, {"[Project]\r\nActiveType=1\r\n", 1},
        {"[project]\nactivetype= 1\n", 1}, {"[Project]\r\nActiveType=\r\n", 0}, {"[Project]\r\nActiveType=1", 1}};
    for (const auto& [content, expected] : cases) {
        DeleteFileW(ini_.c_str());
        if (content) WriteText(ini_, content);
        EXPECT_EQ(expected, activeType()) << (content ? content : "(no file)");
    }
}

}  // namespace
