// The application services stand-in, created as the server creates it and read through its vtables.
#include <windows.h>
#include <functional>
#include "appservices.h"
#include "server/SiblingLoader.h"
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
        EXPECT_EQ(S_OK, standintest::CanUnloadNow(kDll)) << "an object of the application services is left";
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

TEST_F(AppServices, AnswersEveryTextOfTheSettingsFile) {
    ComPtr<IAppSettings> settings = Create<IAppSettings>(IID_IAppSettings);
    ComPtr<IAppFolders> folders;
    ComPtr<IAppSearchPaths> paths;
    ComPtr<IAppSettingsFiles> files;
    ASSERT_TRUE(settings);
    ASSERT_EQ(S_OK, settings.As(IID_IAppFolders, folders));
    ASSERT_EQ(S_OK, settings.As(IID_IAppSearchPaths, paths));
    ASSERT_EQ(S_OK, settings.As(IID_IAppSettingsFiles, files));
    const std::pair<const wchar_t*, std::function<HRESULT(BSTR*)>> answers[] = {
        {L"Z:\\env\\app", [&](BSTR* out) { return folders->ApplicationFolder(out); }},
        {L"Z:\\env\\f2m", [&](BSTR* out) { return folders->FilesToModulesIndexFolder(out); }},
        {L"Z:\\env\\names", [&](BSTR* out) { return folders->ModulesIndexFolder(out); }},
        {L"Z:\\second,Z:\\third", [&](BSTR* out) { return folders->SecondSearchPath(out); }},
        {L"*.pdb,readme.txt", [&](BSTR* out) { return folders->ExcludedFilePatterns(out); }},
        {L"Z:\\env\\settings.xml", [&](BSTR* out) { return files->SettingsFile(8, out); }},
        {L"Z:\\mm1, Z:\\mm2 ", [&](BSTR* out) { return settings->MergeModuleSearchPath(out); }},
        {L"Z:\\mm1, Z:\\mm2 ", [&](BSTR* out) { return paths->SearchPath(out); }},
        {L"Z:\\list\\zero", [&](BSTR* out) { return settings->MergeModuleFolder(0, out); }},
    };
    const char* complete =
        "; written by the test\r\n[Folders]\r\nApplication=Z:\\env\\app\r\nFilesToModulesIndex=Z:\\env\\f2m\r\n"
        "ModulesIndex=Z:\\env\\names\r\nSearchPath2=Z:\\second,Z:\\third\r\nExcludedFiles=*.pdb,readme.txt\r\n"
        "SettingsDocument=Z:\\env\\settings.xml\r\n[MergeModules]\r\nSearchPath=Z:\\mm1, Z:\\mm2 \r\n"
        "Folder0=Z:\\list\\zero\r\n";
    // The complete file; a missing file; a file without the keys (every text empty, never null).
    for (const char* content : {complete, static_cast<const char*>(nullptr), "[Folders]\r\n[MergeModules]\r\nx=1\r\n"}) {
        DeleteFileW(ini_.c_str());
        if (content) WriteText(ini_, content);
        for (const auto& [expected, read] : answers) {
            BSTR text = nullptr;
            EXPECT_EQ(S_OK, read(&text)) << _stringx(expected).AsNarrow();
            EXPECT_EQ(std::wstring(content == complete ? expected : L""), Take(text))
                << _stringx(expected).AsNarrow() << (content ? "" : " (no file)");
        }
    }
}

TEST_F(AppServices, SwitchesAreAutomationBooleans) {
    ComPtr<IAppSearchPaths> paths = Create<IAppSearchPaths>(IID_IAppSearchPaths);
    ASSERT_TRUE(paths);
    struct Case {
        const char* file;
        VARIANT_BOOL resolved, directory;
    } cases[] = {{"[MergeModules]\nMatchResolvedFolder=1\nMatchDirectoryKey=0\n", VARIANT_TRUE, VARIANT_FALSE},
                 {"[MergeModules]\nMatchResolvedFolder=0\nMatchDirectoryKey=1\n", VARIANT_FALSE, VARIANT_TRUE},
                 {"[MergeModules]\nMatchResolvedFolder=\n", VARIANT_FALSE, VARIANT_FALSE}};
    for (const Case& c : cases) {
        WriteText(ini_, c.file);
        VARIANT_BOOL resolved = 7, directory = 7;
        EXPECT_EQ(S_OK, paths->MatchResolvedFolder(&resolved));
        EXPECT_EQ(S_OK, paths->MatchDirectoryKey(&directory));
        EXPECT_EQ(c.resolved, resolved) << c.file;
        EXPECT_EQ(c.directory, directory) << c.file;
    }
}

TEST_F(AppServices, FolderListEndsAtTheFirstMissingOrEmptyFolder) {
    WriteText(ini_, "[MergeModules]\r\nFolder1=Z:\\one\r\nFolder0=Z:\\zero\r\nFolder2=\r\nFolder3=Z:\\three\r\n");
    ComPtr<IAppSettings> settings = Create<IAppSettings>(IID_IAppSettings);
    ASSERT_TRUE(settings);
    const std::pair<LONG, const wchar_t*> expected[] = {
        {0, L"Z:\\zero"}, {1, L"Z:\\one"}, {2, L""}, {3, L""}, {-1, L""}, {1000000, L""}};
    for (const auto& [index, folder] : expected) {
        BSTR text = nullptr;
        EXPECT_EQ(S_OK, settings->MergeModuleFolder(index, &text));
        EXPECT_EQ(std::wstring(folder), Take(text)) << index;
    }
}

TEST_F(AppServices, ReadsTheFileAfreshNamesInAnyCaseValuesAsWritten) {
    ComPtr<IAppSearchPaths> paths = Create<IAppSearchPaths>(IID_IAppSearchPaths);
    ASSERT_TRUE(paths);
    WriteText(ini_, "[mergemodules]\nSEARCHPATH=  Z:\\a ,Z:\\b\t\n");
    BSTR text = nullptr;
    EXPECT_EQ(S_OK, paths->SearchPath(&text));
    EXPECT_EQ(std::wstring(L"  Z:\\a ,Z:\\b\t"), Take(text));

    WriteText(ini_, "[MergeModules]\r\nSearchPath=Z:\\changed\r\n");
    EXPECT_EQ(S_OK, paths->SearchPath(&text));
    EXPECT_EQ(std::wstring(L"Z:\\changed"), Take(text));
}

TEST_F(AppServices, StoringTheSearchPathRewritesOnlyThatValue) {
    struct Case {
        const char* what;
        std::string before;  // empty: no file
        std::string after;
    };
    const std::string bom = "\xEF\xBB\xBF";
    const Case cases[] = {
        {"value replaced; BOM, comments, CRLF and other sections kept",
         bom + "; settings\r\n[Folders]\r\nApplication=Z:\\app\r\n\r\n[MergeModules]\r\n  SearchPath = Z:\\old\r\nFolder0=Z:\\f\r\n[Tail]\r\nx=y",
         bom + "; settings\r\n[Folders]\r\nApplication=Z:\\app\r\n\r\n[MergeModules]\r\n  SearchPath =Z:\\new,Z:\\more\r\nFolder0=Z:\\f\r\n[Tail]\r\nx=y"},
        {"key added after the section's last key, ahead of the blank line and comment of the next",
         "[MergeModules]\nFolder0=Z:\\f\n\n; next\n[Other]\nSearchPath=keep\n",
         "[MergeModules]\nFolder0=Z:\\f\nSearchPath=Z:\\new,Z:\\more\n\n; next\n[Other]\nSearchPath=keep\n"},
        {"section added at the end of a file whose last line has no line ending",
         "[Folders]\r\nApplication=Z:\\app",
         "[Folders]\r\nApplication=Z:\\app\r\n[MergeModules]\r\nSearchPath=Z:\\new,Z:\\more\r\n"},
        {"empty section", "[MergeModules]\n", "[MergeModules]\nSearchPath=Z:\\new,Z:\\more\n"},
        {"the first of two sections of the same name, in another case",
         "[MERGEMODULES]\r\nsearchpath=a\r\n[MergeModules]\r\nSearchPath=b\r\n",
         "[MERGEMODULES]\r\nsearchpath=Z:\\new,Z:\\more\r\n[MergeModules]\r\nSearchPath=b\r\n"},
        {"UTF-16 file", standintest::Utf16File(L"[MergeModules]\r\nSearchPath=\u00e4lt\r\n[\u00c4]\r\n"),
         standintest::Utf16File(L"[MergeModules]\r\nSearchPath=Z:\\new,Z:\\more\r\n[\u00c4]\r\n")},
        {"no file yet", "", "[MergeModules]\r\nSearchPath=Z:\\new,Z:\\more\r\n"},
    };
    ComPtr<IAppSearchPaths> paths = Create<IAppSearchPaths>(IID_IAppSearchPaths);
    ASSERT_TRUE(paths);
    for (const Case& c : cases) {
        DeleteFileW(ini_.c_str());
        if (!c.before.empty()) WriteText(ini_, c.before);
        unique_bstr value(SysAllocString(L"Z:\\new,Z:\\more"));
        EXPECT_EQ(S_OK, paths->SetSearchPath(value.get())) << c.what;
        EXPECT_EQ(c.after, ReadBytes(ini_)) << c.what;
        EXPECT_EQ(1, standintest::FileCount(folder_)) << c.what << ": a temporary file is left";
        BSTR text = nullptr;
        EXPECT_EQ(S_OK, paths->SearchPath(&text));
        EXPECT_EQ(std::wstring(L"Z:\\new,Z:\\more"), Take(text)) << c.what;
    }
}

TEST_F(AppServices, AnUnstorableSearchPathChangesNothing) {
    const std::string original = "[MergeModules]\r\nSearchPath=Z:\\old\r\n";
    WriteText(ini_, original);
    ComPtr<IAppSearchPaths> paths = Create<IAppSearchPaths>(IID_IAppSearchPaths);
    ASSERT_TRUE(paths);

    unique_bstr injected(SysAllocString(L"Z:\\a\r\n[Folders]\r\nApplication=Z:\\evil"));
    EXPECT_EQ(E_INVALIDARG, paths->SetSearchPath(injected.get()));
    cvtest::ErrorInfoText info = cvtest::TakeErrorInfo();
    EXPECT_TRUE(info.present);
    EXPECT_NE(std::wstring::npos, info.description.str().find(L"line break")) << info.description.AsNarrow();
    EXPECT_EQ(original, ReadBytes(ini_));

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

TEST_F(AppServices, OneObjectAnswersFourInterfacesAndTheRestOfTheirSlots) {
    WriteText(ini_, "[Folders]\nApplication=Z:\\app\n");
    ComPtr<IAppSettings> settings = Create<IAppSettings>(IID_IAppSettings);
    ASSERT_TRUE(settings);
    ComPtr<IUnknown> identity, again;
    ASSERT_EQ(S_OK, settings.As(IID_IUnknown, identity));
    ComPtr<IAppFolders> folders;
    ComPtr<IAppSearchPaths> paths;
    ComPtr<IAppSettingsFiles> files;
    ASSERT_EQ(S_OK, settings.As(IID_IAppFolders, folders));
    ASSERT_EQ(S_OK, folders.As(IID_IAppSearchPaths, paths));
    ASSERT_EQ(S_OK, paths.As(IID_IAppSettingsFiles, files));
    ASSERT_EQ(S_OK, files.As(IID_IUnknown, again));
    EXPECT_EQ(identity.Get(), again.Get());

    BSTR text = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(S_OK, paths->Prepare(&text));
    EXPECT_EQ(std::wstring(), Take(text)) << "an empty text, not null";

    EXPECT_EQ(E_NOTIMPL, settings->Unused7());
    EXPECT_EQ(E_NOTIMPL, folders->Unused55());
    EXPECT_EQ(E_NOTIMPL, paths->Unused81());
    EXPECT_EQ(E_NOTIMPL, files->Unused49());

    text = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(E_INVALIDARG, files->SettingsFile(7, &text));
    EXPECT_EQ(nullptr, text);
    cvtest::ErrorInfoText info = cvtest::TakeErrorInfo();
    EXPECT_TRUE(info.present);
    EXPECT_FALSE(info.description.empty());
    EXPECT_EQ(E_POINTER, folders->ApplicationFolder(nullptr));
    EXPECT_EQ(E_POINTER, paths->MatchDirectoryKey(nullptr));
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
    HMODULE copy = LoadSiblingLibrary(JoinPath(folder_, kDll));
    ASSERT_NE(nullptr, copy);
    auto canUnload = reinterpret_cast<HRESULT(WINAPI*)()>(GetProcAddress(copy, "DllCanUnloadNow"));
    EXPECT_EQ(S_OK, canUnload());
}

// What a script sees: the registered class, members found by name.
TEST_F(AppServices, ScriptsCallTheMembersByName) {
    WriteText(ini_, "[MergeModules]\r\nFolder0=Z:\\zero\r\n");
    ComPtr<IDispatch> object;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_AppServices, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.PutVoid()));

    auto call = [](IDispatch* target, const wchar_t* member, VARIANT* args, UINT count, VARIANT* result,
                   EXCEPINFO* error = nullptr) {
        LPOLESTR names[] = {const_cast<LPOLESTR>(member)};
        DISPID id = 0;
        HRESULT hr = target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
        if (FAILED(hr)) return hr;
        DISPPARAMS params{args, nullptr, count, 0};
        return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result, error, nullptr);
    };

    VARIANT index, result;
    VariantInit(&result);
    index.vt = VT_I2;  // as VBScript passes a small number
    index.iVal = 0;
    ASSERT_EQ(S_OK, call(object.Get(), L"MergeModuleFolder", &index, 1, &result));
    ASSERT_EQ(VT_BSTR, result.vt);
    EXPECT_EQ(std::wstring(L"Z:\\zero"), result.bstrVal);
    VariantClear(&result);

    ComPtr<IDispatch> paths;
    ASSERT_EQ(S_OK, object.As(IID_IAppSearchPaths, paths));
    VARIANT path;
    path.vt = VT_BSTR;
    path.bstrVal = SysAllocString(L"Z:\\scripted");
    EXPECT_EQ(S_OK, call(paths.Get(), L"SetSearchPath", &path, 1, nullptr));
    VariantClear(&path);
    EXPECT_EQ(std::string("[MergeModules]\r\nFolder0=Z:\\zero\r\nSearchPath=Z:\\scripted\r\n"), ReadBytes(ini_));

    ComPtr<IDispatch> files;
    ASSERT_EQ(S_OK, object.As(IID_IAppSettingsFiles, files));
    VARIANT kind;
    kind.vt = VT_I4;
    kind.lVal = 3;
    EXCEPINFO error{};
    EXPECT_EQ(DISP_E_EXCEPTION, call(files.Get(), L"SettingsFile", &kind, 1, &result, &error));
    EXPECT_EQ(E_INVALIDARG, error.scode);
    EXPECT_EQ(std::wstring(L"CvAppServices.AppServices.1"), Take(error.bstrSource));
    EXPECT_NE(std::wstring::npos, Take(error.bstrDescription).find(L"kind 3"));
    SysFreeString(error.bstrHelpFile);
}

}  // namespace
