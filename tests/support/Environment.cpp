#include "tests/support/Environment.h"

#include "tests/support/TestSupport.h"

namespace cvtest {
namespace {
const wchar_t kIniVariable[] = L"CVAPPSERVICES_INI";

std::string XmlAttribute(const _stringx& text) {
    std::string out;
    for (char c : Utf8(text))
        out += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '"' ? "&quot;" : std::string(1, c);
    return out;
}

std::string IniSection(const char* section, const TextPairs& entries) {
    std::string text = std::string("[") + section + "]\r\n";
    for (const auto& entry : entries) text += Utf8(entry.first) + "=" + Utf8(entry.second) + "\r\n";
    return text;
}
}  // namespace

_stringx FixturePath(const wchar_t* fileName) { return JoinPath(Backslashed(CV_TEST_FIXTURES), fileName); }

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

void TestEnvironment::Set(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
    EXPECT_TRUE(WritePrivateProfileStringW(section, key, value, IniPath().c_str()))
        << "cannot write AppServices.ini: " << GetLastError();
}

_stringx TestEnvironment::Get(const wchar_t* section, const wchar_t* key) const {
    wchar_t value[4096] = L"";
    GetPrivateProfileStringW(section, key, L"", value, ARRAYSIZE(value), IniPath().c_str());
    return value;
}

_stringx TestEnvironment::AddSearchFolder(const wchar_t* name) { return MakeFolders(JoinPath(root_, Backslashed(name))); }

void TestEnvironment::SetSearchPath(const std::vector<_stringx>& folders) {
    _stringx text;
    for (const auto& folder : folders) text += (text.empty() ? L"" : L",") + folder;
    SetSearchPathText(text);
}

void TestEnvironment::SetModuleFolders(const std::vector<_stringx>& folders) {
    for (int i = 0; !Get(L"MergeModules", _stringx::Formatted(L"Folder%d", i).c_str()).empty(); ++i)
        Set(L"MergeModules", _stringx::Formatted(L"Folder%d", i).c_str(), nullptr);
    for (size_t i = 0; i < folders.size(); ++i)
        Set(L"MergeModules", _stringx::Formatted(L"Folder%d", static_cast<int>(i)).c_str(), folders[i].c_str());
}

void TestEnvironment::WriteRepositories(const TextPairs& searchPathAndName) {
    std::string xml = "<?xml version=\"1.0\"?>\r\n<Repositories>\r\n";
    for (const auto& repository : searchPathAndName)
        xml += "  <Repository MMSearchPath=\"" + XmlAttribute(repository.first) + "\" DisplayName=\"" +
               XmlAttribute(repository.second) + "\"/>\r\n";
    WriteText(JoinPath(ApplicationFolder(), L"Repositories\\Repositories.xml"), xml + "</Repositories>\r\n");
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
