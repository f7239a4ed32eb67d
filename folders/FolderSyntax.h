// The two ways the authoring environment writes a target folder: installer property references
// in square brackets ("[SystemFolder]") for installer projects, its own folder variables in angle
// brackets ("<WINSYSDIR>") for the other kind. Which one applies follows the active project.
#pragma once
#include <windows.h>
#include <memory>
#include <vector>
#include "base/stringx.h"

// Stateless; the operations keep this order. Owners delete through the concrete type (see
// FolderSyntaxRegistry), so the table carries no destructor.
class FolderSyntax {
public:
    // Bare names without brackets, compared whole and case-sensitively.
    virtual bool IsKnownFolderName(const _stringx& name) const = 0;
    virtual bool IsShellFolderName(const _stringx& name) const = 0;
    virtual wchar_t OpenChar() const = 0;
    virtual wchar_t CloseChar() const = 0;
    virtual _stringx OpenText() const = 0;
    virtual _stringx CloseText() const = 0;
    virtual _stringx RootPropertyName() const = 0;
    virtual _stringx RootFolderRef() const = 0;
    virtual _stringx SystemFolderRef() const = 0;
    virtual _stringx SystemFolderCaption() const = 0;
    virtual _stringx WindowsFolderRef() const = 0;
    virtual _stringx WindowsFolderCaption() const = 0;
    virtual _stringx ProgramFilesRef() const = 0;
    virtual _stringx ProgramFilesCaption() const = 0;
    virtual _stringx CommonFilesRef() const = 0;
    virtual _stringx CommonFilesCaption() const = 0;
    virtual _stringx SupportDirRef() const = 0;
    virtual _stringx RuntimeTextSubsRef() const = 0;
    virtual _stringx TaskBarFolderRef() const = 0;
    virtual _stringx StartMenuFolderRef() const = 0;
    virtual _stringx SendToFolderRef() const = 0;
    virtual _stringx ProgramMenuFolderRef() const = 0;
    virtual _stringx StartupFolderRef() const = 0;
    virtual _stringx DesktopFolderRef() const = 0;
    virtual int SyntaxCode() const = 0;

protected:
    ~FolderSyntax() = default;
};

// Project type 0: "[Property]" references.
class PropertyFolderSyntax final : public FolderSyntax {
public:
    bool IsKnownFolderName(const _stringx& name) const override;
    bool IsShellFolderName(const _stringx& name) const override;
    wchar_t OpenChar() const override { return L'['; }
    wchar_t CloseChar() const override { return L']'; }
    _stringx OpenText() const override { return L"["; }
    _stringx CloseText() const override { return L"]"; }
    _stringx RootPropertyName() const override { return L"INSTALLDIR"; }
    _stringx RootFolderRef() const override { return L"[INSTALLDIR]"; }
    _stringx SystemFolderRef() const override { return L"[SystemFolder]"; }
    _stringx SystemFolderCaption() const override { return L"[SystemFolder]"; }
    _stringx WindowsFolderRef() const override { return L"[WindowsFolder]"; }
    _stringx WindowsFolderCaption() const override { return L"[WindowsFolder]"; }
    _stringx ProgramFilesRef() const override { return L"[ProgramFilesFolder]"; }
    _stringx ProgramFilesCaption() const override { return L"[ProgramFilesFolder]"; }
    _stringx CommonFilesRef() const override { return L"[CommonFilesFolder]"; }
    _stringx CommonFilesCaption() const override { return L"[CommonFilesFolder]"; }
    // Installer projects have neither folder.
    _stringx SupportDirRef() const override { return _stringx(); }
    _stringx RuntimeTextSubsRef() const override { return _stringx(); }
    _stringx TaskBarFolderRef() const override { return L"[TaskBarFolder]"; }
    _stringx StartMenuFolderRef() const override { return L"[StartMenuFolder]"; }
    _stringx SendToFolderRef() const override { return L"[SendToFolder]"; }
    _stringx ProgramMenuFolderRef() const override { return L"[ProgramMenuFolder]"; }
    _stringx StartupFolderRef() const override { return L"[StartupFolder]"; }
    _stringx DesktopFolderRef() const override { return L"[DesktopFolder]"; }
    int SyntaxCode() const override { return 2; }
};

// Project type 1: "<VARIABLE>" folder variables; captions are plain folder names.
class VariableFolderSyntax final : public FolderSyntax {
public:
    bool IsKnownFolderName(const _stringx& name) const override;
    bool IsShellFolderName(const _stringx& name) const override;
    wchar_t OpenChar() const override { return L'<'; }
    wchar_t CloseChar() const override { return L'>'; }
    _stringx OpenText() const override { return L"<"; }
    _stringx CloseText() const override { return L">"; }
    _stringx RootPropertyName() const override { return L"TARGETDIR"; }
    _stringx RootFolderRef() const override { return L"<TARGETDIR>"; }
    _stringx SystemFolderRef() const override { return L"<WINSYSDIR>"; }
    _stringx SystemFolderCaption() const override { return L"Windows System"; }
    _stringx WindowsFolderRef() const override { return L"<WINDIR>"; }
    _stringx WindowsFolderCaption() const override { return L"Windows"; }
    _stringx ProgramFilesRef() const override { return L"<PROGRAMFILES>"; }
    _stringx ProgramFilesCaption() const override { return L"Program Files"; }
    _stringx CommonFilesRef() const override { return L"<COMMONFILES>"; }
    _stringx CommonFilesCaption() const override { return L"Common Files"; }
    _stringx SupportDirRef() const override { return L"<SUPPORTDIR>"; }
    _stringx RuntimeTextSubsRef() const override { return L"<CVRUNTIMETEXTSUBS>"; }
    _stringx TaskBarFolderRef() const override { return L"<TaskBarFolder>"; }
    _stringx StartMenuFolderRef() const override { return L"<StartMenuFolder>"; }
    _stringx SendToFolderRef() const override { return L"<SendToFolder>"; }
    _stringx ProgramMenuFolderRef() const override { return L"<ProgramMenuFolder>"; }
    _stringx StartupFolderRef() const override { return L"<StartupFolder>"; }
    _stringx DesktopFolderRef() const override { return L"<DesktopFolder>"; }
    int SyntaxCode() const override { return 4; }
};

// One syntax per project type, indexed by the type. Built while the module loads, read-only after.
class FolderSyntaxRegistry {
public:
    using Owned = std::unique_ptr<const FolderSyntax, void (*)(const FolderSyntax*)>;

    static const FolderSyntaxRegistry& Instance();

    size_t Count() const { return entries_.size(); }
    // Null for an index without an object.
    const FolderSyntax* At(size_t index) const { return index < entries_.size() ? entries_[index].get() : nullptr; }

private:
    FolderSyntaxRegistry();
    std::vector<Owned> entries_;
};

// The active project's type as the object manager reports it, asked anew on every call.
int ActiveProjectType();

// The syntax of the active project. Throws std::bad_alloc when its registry entry holds no object.
const FolderSyntax& ActiveFolderSyntax();

// Cuts a target path at its last backslash into folder part and rest, provided the path holds the
// active syntax's brackets in order (first opening before last closing). Without a backslash the
// folder part ends at that closing bracket. On false both outputs are left as they were.
bool SplitFolderPath(const _stringx& path, _stringx& folderPart, _stringx& rest);
