#include "tests/support/Environment.h"

#include "tests/support/TestSupport.h"

namespace cvtest {
namespace {
const wchar_t kIniVariable[] = L"CVAPPSERVICES_INI";

_stringx Backslashed(const wchar_t* path) {
    std::wstring s(path);
    for (auto& c : s)
        if (c == L'/') c = L'\\';
    return s;
}

std::string Utf8(const _stringx& text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.length()), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.length()), &out[0], n, nullptr, nullptr);
    return out;
}

std::string XmlAttribute(const _stringx& text) {
    std::string out;
    for (char c : Utf8(text)) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string IniSection(const char* section, const TextPairs& entries) {
    std::string text = std::string("[") + section + "]\r\n";
    for (const auto& entry : entries) text += Utf8(entry.first) + "=" + Utf8(entry.second) + "\r\n";
    return text;
}

// Creates every missing folder of a path.
void MakeFolders(const _stringx& folder) {
    for (size_t at = folder.find(L'\\', 3); ; at = folder.find(L'\\', at + 1)) {
        CreateDirectoryW(folder.substr(0, at).c_str(), nullptr);
        if (at == _stringx::npos) break;
    }
}
}  // namespace

_stringx FixturesDir() { return Backslashed(CV_TEST_FIXTURES); }
_stringx FixturePath(const wchar_t* fileName) { return JoinPath(FixturesDir(), fileName); }

TestEnvironment::TestEnvironment(const wchar_t* name) : root_(FreshScratchDir(name)) {
    wchar_t saved[32768];
    DWORD n = GetEnvironmentVariableW(kIniVariable, saved, ARRAYSIZE(saved));
    hadIni_ = n > 0 && n < ARRAYSIZE(saved);
    if (hadIni_) savedIni_.assign(saved, n);

    MakeFolders(GalleryFolder());
    MakeFolders(JoinPath(ApplicationFolder(), L"Repositories"));
    MakeFolders(IndexFolder());
    WriteRepositories({});
    WriteModulesIndex({});
    WriteFilesToModulesIndex({});
    WriteSettingsDocument("<?xml version=\"1.0\"?>\r\n<Workbench><IDE><Workspaces/></IDE></Workbench>\r\n");

    Set(L"Folders", L"Application", ApplicationFolder().c_str());
    Set(L"Folders", L"FilesToModulesIndex", IndexFolder().c_str());
    Set(L"Folders", L"ModulesIndex", IndexFolder().c_str());
    Set(L"Folders", L"SearchPath2", L"");
    Set(L"Folders", L"ExcludedFiles", L"");
    Set(L"Folders", L"SettingsDocument", SettingsDocument().c_str());
    Set(L"MergeModules", L"SearchPath", L"");
    Set(L"MergeModules", L"MatchResolvedFolder", L"0");
    Set(L"MergeModules", L"MatchDirectoryKey", L"0");
    Set(L"Project", L"ActiveType", L"0");
    SetEnvironmentVariableW(kIniVariable, IniPath().c_str());
}

TestEnvironment::~TestEnvironment() {
    SetEnvironmentVariableW(kIniVariable, hadIni_ ? savedIni_.c_str() : nullptr);
}

_stringx TestEnvironment::ApplicationFolder() const { return JoinPath(root_, L"App"); }
_stringx TestEnvironment::GalleryFolder() const { return JoinPath(ApplicationFolder(), L"ObjectGallery"); }
_stringx TestEnvironment::RepositoriesFile() const {
    return JoinPath(ApplicationFolder(), L"Repositories\\Repositories.xml");
}
_stringx TestEnvironment::IndexFolder() const { return JoinPath(root_, L"Index"); }
_stringx TestEnvironment::SettingsDocument() const { return JoinPath(root_, L"Settings.xml"); }
_stringx TestEnvironment::IniPath() const { return JoinPath(root_, L"AppServices.ini"); }

void TestEnvironment::Set(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
    EXPECT_TRUE(WritePrivateProfileStringW(section, key, value, IniPath().c_str()))
        << "cannot write AppServices.ini: " << GetLastError();
}

_stringx TestEnvironment::Get(const wchar_t* section, const wchar_t* key) const {
    wchar_t value[4096] = L"";
    GetPrivateProfileStringW(section, key, L"", value, ARRAYSIZE(value), IniPath().c_str());
    return value;
}

_stringx TestEnvironment::AddSearchFolder(const wchar_t* name) {
    _stringx folder = JoinPath(root_, Backslashed(name));
    MakeFolders(folder);
    return folder;
}

void TestEnvironment::SetSearchPath(const std::vector<_stringx>& folders) {
    _stringx text;
    for (const auto& folder : folders) {
        if (!text.empty()) text += L",";
        text += folder;
    }
    SetSearchPathText(text);
}

void TestEnvironment::SetSearchPathText(const _stringx& text) { Set(L"MergeModules", L"SearchPath", text.c_str()); }

void TestEnvironment::SetModuleFolders(const std::vector<_stringx>& folders) {
    for (int i = 0; !Get(L"MergeModules", _stringx::Formatted(L"Folder%d", i).c_str()).empty(); ++i)
        Set(L"MergeModules", _stringx::Formatted(L"Folder%d", i).c_str(), nullptr);
    for (size_t i = 0; i < folders.size(); ++i)
        Set(L"MergeModules", _stringx::Formatted(L"Folder%d", static_cast<int>(i)).c_str(), folders[i].c_str());
}

void TestEnvironment::SetMatchResolvedFolder(bool on) { Set(L"MergeModules", L"MatchResolvedFolder", on ? L"1" : L"0"); }
void TestEnvironment::SetMatchDirectoryKey(bool on) { Set(L"MergeModules", L"MatchDirectoryKey", on ? L"1" : L"0"); }
void TestEnvironment::SetActiveProjectType(int type) {
    Set(L"Project", L"ActiveType", _stringx::Formatted(L"%d", type).c_str());
}
void TestEnvironment::SetExcludedFiles(const _stringx& patterns) { Set(L"Folders", L"ExcludedFiles", patterns.c_str()); }
void TestEnvironment::SetSecondSearchPath(const _stringx& text) { Set(L"Folders", L"SearchPath2", text.c_str()); }

void TestEnvironment::WriteRepositories(const TextPairs& searchPathAndName) {
    std::string xml = "<?xml version=\"1.0\"?>\r\n<Repositories>\r\n";
    for (const auto& repository : searchPathAndName)
        xml += "  <Repository MMSearchPath=\"" + XmlAttribute(repository.first) + "\" DisplayName=\"" +
               XmlAttribute(repository.second) + "\"/>\r\n";
    xml += "</Repositories>\r\n";
    WriteText(RepositoriesFile(), xml);
}

void TestEnvironment::WriteModulesIndex(const TextPairs& keyAndName) {
    WriteText(JoinPath(IndexFolder(), L"modules.ini"), IniSection("modules", keyAndName));
}

void TestEnvironment::WriteFilesToModulesIndex(const TextPairs& fileAndValue) {
    WriteText(JoinPath(IndexFolder(), L"FilesToModules.ini"), IniSection("FilesToModules", fileAndValue));
}

_stringx TestEnvironment::WriteGalleryFile(const wchar_t* fileName, const std::string& text) {
    _stringx path = JoinPath(GalleryFolder(), fileName);
    WriteText(path, text);
    return path;
}

void TestEnvironment::WriteSettingsDocument(const std::string& xml) { WriteText(SettingsDocument(), xml); }

_stringx TestEnvironment::CopyFixture(const wchar_t* fixtureName, const _stringx& intoFolder, const wchar_t* asName) {
    _stringx target = JoinPath(intoFolder, asName ? asName : fixtureName);
    EXPECT_TRUE(CopyFileW(FixturePath(fixtureName).c_str(), target.c_str(), FALSE))
        << "cannot copy fixture " << _stringx(fixtureName).AsNarrow() << ": " << GetLastError();
    return target;
}

}  // namespace cvtest
