// Objects of the environment's sibling DLLs, obtained without going through the registry.
#pragma once
#include <windows.h>
#include <map>
#include <mutex>
#include <vector>
#include "base/stringx.h"

// Loaded sibling libraries by the name the caller gave (exact, case-sensitive). Never unloaded.
// Shared by every apartment, guarded: a library handle is good in any thread.
class SiblingLibraryCache {
public:
    static SiblingLibraryCache& Instance();
    HMODULE Find(const _stringx& dllName) const;
    void Store(const _stringx& dllName, HMODULE module);
    size_t Count() const;

private:
    mutable std::mutex lock_;
    std::map<_stringx, HMODULE> modules_;
};

// The files tried for a bare name, in order, for a server in moduleFolder (no trailing backslash).
std::vector<_stringx> SiblingCandidates(const _stringx& moduleFolder, const _stringx& commonFiles,
                                        const _stringx& dllName);
// The file that the loader would load for a name: a path with a backslash as given, else the first
// existing candidate of its search order, else the bare name (left to the system's search).
_stringx ChooseSiblingFile(const _stringx& dllName);
// Loads (or finds loaded) a sibling library; null when it cannot be loaded.
HMODULE LoadSiblingLibrary(const _stringx& dllName);
HRESULT GetSiblingClassObject(const _stringx& dllName, REFCLSID clsid, void** ppv);
// An empty name goes through CoCreateInstance instead.
HRESULT CreateSiblingObject(const _stringx& dllName, REFCLSID clsid, REFIID iid, void** ppv);
// The Common Files folder of the machine (empty when unknown).
_stringx CommonFilesFolder();
