#include "folders/FolderSyntax.h"

#include <new>
#include "server/SiblingLoader.h"
#include "idl/CvObjMgr.h"

namespace {
const wchar_t* const kPropertyFolders[] = {
    L"AdminToolsFolder", L"AppDataFolder",     L"CommonAppDataFolder", L"CommonFilesFolder",
    L"CommonFiles64Folder", L"DATABASEDIR",    L"FavoritesFolder",     L"FontsFolder",
    L"GlobalAssemblyCache", L"LocalAppDataFolder", L"MyPicturesFolder", L"PersonalFolder",
    L"PrimaryVolumePath", L"ProgramFilesFolder", L"ProgramFiles64Folder", L"System16Folder",
    L"SystemFolder",     L"System64Folder",    L"TempFolder",          L"TemplateFolder",
    L"WindowsFolder",    L"WindowsVolume",     L"TARGETDIR",           L"ALLUSERSPROFILE",
    L"USERPROFILE",      L"IISROOTFOLDER"};
const wchar_t* const kPropertyShellFolders[] = {L"DesktopFolder", L"ProgramMenuFolder", L"SendToFolder",
                                                L"StartMenuFolder", L"StartupFolder"};

const wchar_t* const kVariableFolders[] = {L"COMMONFILES", L"COMMONFILES64", L"CVRUNTIMETEXTSUBS", L"PROGRAMFILES",
                                           L"PROGRAMFILES64", L"SUPPORTDIR", L"WINSYSDIR", L"WINSYSDIR64",
                                           L"TARGETDIR", L"WINDIR", L"FOLDER_FONTS"};
// The folder-variable projects have no SendTo folder.
const wchar_t* const kVariableShellFolders[] = {L"DesktopFolder", L"ProgramMenuFolder", L"StartMenuFolder",
                                                L"StartupFolder"};

template <size_t N>
bool IsListed(const wchar_t* const (&names)[N], const _stringx& name) {
    for (const wchar_t* listed : names)
        if (name == _stringx(listed)) return true;
    return false;
}

template <typename Syntax>
FolderSyntaxRegistry::Owned MakeOwned() {
    return FolderSyntaxRegistry::Owned(new Syntax(),
                                       [](const FolderSyntax* p) { delete static_cast<const Syntax*>(p); });
}

// Built during the module's static initialisation, before any object can ask for it.
const FolderSyntaxRegistry& builtAtLoad = FolderSyntaxRegistry::Instance();
}  // namespace

bool PropertyFolderSyntax::IsKnownFolderName(const _stringx& name) const {
    return IsListed(kPropertyFolders, name) || IsShellFolderName(name);
}

bool PropertyFolderSyntax::IsShellFolderName(const _stringx& name) const {
    return IsListed(kPropertyShellFolders, name);
}

bool VariableFolderSyntax::IsKnownFolderName(const _stringx& name) const {
    return IsListed(kVariableFolders, name) || IsShellFolderName(name);
}

bool VariableFolderSyntax::IsShellFolderName(const _stringx& name) const {
    return IsListed(kVariableShellFolders, name);
}

FolderSyntaxRegistry::FolderSyntaxRegistry() {
    entries_.push_back(MakeOwned<PropertyFolderSyntax>());
    entries_.push_back(MakeOwned<VariableFolderSyntax>());
}

const FolderSyntaxRegistry& FolderSyntaxRegistry::Instance() {
    static const FolderSyntaxRegistry registry;
    return registry;
}

int ActiveProjectType() {
    HMODULE objectManager = LoadSiblingLibrary(L"CvObjMgr.dll");
    auto getType = objectManager ? reinterpret_cast<GetActiveProjectTypeFn>(
                                       reinterpret_cast<void*>(GetProcAddress(objectManager, "GetActiveProjectType")))
                                 : nullptr;
    // Without the object manager no project can be open: treat it as an installer project.
    return getType ? getType() : 0;
}

const FolderSyntax& ActiveFolderSyntax() {
    int type = ActiveProjectType();
    // Only types 0 and 1 have a syntax of their own. Every other kind of project is built into
    // an installer package in the end, so it gets the property syntax rather than an error that
    // would make every file search fail.
    const FolderSyntaxRegistry& registry = FolderSyntaxRegistry::Instance();
    size_t index = type >= 0 && static_cast<size_t>(type) < registry.Count() ? static_cast<size_t>(type) : 0;
    const FolderSyntax* syntax = registry.At(index);
    if (!syntax) throw std::bad_alloc();
    return *syntax;
}

bool SplitFolderPath(const _stringx& path, _stringx& folderPart, _stringx& rest) {
    size_t close = path.rfind(ActiveFolderSyntax().CloseChar());
    if (close == _stringx::npos) return false;
    size_t open = path.find(ActiveFolderSyntax().OpenChar());
    if (open == _stringx::npos || open >= close) return false;

    // The last backslash decides, wherever it stands; the brackets need only be there in order.
    size_t backslash = path.rfind(L'\\');
    if (backslash == _stringx::npos) {
        folderPart = path.substr(0, close + 1);
        rest = path.substr(close + 1);
    } else {
        folderPart = path.substr(0, backslash);
        rest = path.substr(backslash + 1);
    }
    return true;
}
