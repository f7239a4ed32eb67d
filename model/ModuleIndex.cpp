#include "model/ModuleIndex.h"

#include <mutex>
#include <shared_mutex>
#include "model/ProfileAccess.h"
#include "server/ApartmentWait.h"

namespace {
DoneOnce g_indexesLoad;
// Guards both maps: a load fills a map of its own and puts it in place under the lock, so the lock
// is never held while the INI reader is asked.
std::shared_mutex g_indexesLock;

void ReadIndex(IndexMap& index, const _stringx& folder, const wchar_t* fileName, const wchar_t* sectionName,
               bool lowerCaseKeys) {
    _stringx path = JoinPath(folder, fileName);
    ComPtr<IProfileFile> reader = CreateProfileReader();
    unique_bstr pathText(SysAllocStringLen(path.c_str(), static_cast<UINT>(path.length())));
    if (!pathText) throw std::bad_alloc();
    if (FAILED(reader->Load(pathText.get()))) {
        // No such file (or not an INI file): no index, and nothing to report.
        ForgetErrorInfo();
        return;
    }
    ComPtr<IProfileSection> section = ProfileSection(reader.Get(), sectionName);
    if (!section) return;
    ComPtr<IProfileKeys> keys = ProfileKeys(section.Get());
    LONG count = ProfileKeyCount(keys.Get());
    for (LONG p = 1; p <= count; ++p) {
        ComPtr<IProfileKey> key = ProfileKeyAt(keys.Get(), p);
        if (!key) continue;
        _stringx name = ProfileKeyName(key.Get());
        if (lowerCaseKeys) name = name.Lower();
        index[name] = ProfileKeyValue(key.Get());
    }
}

// What was read stands, even when the read failed part way.
void LoadIndex(IndexMap& index, const _stringx& folder, const wchar_t* fileName, const wchar_t* sectionName,
               bool lowerCaseKeys) {
    IndexMap loaded;
    struct Install {
        IndexMap& index;
        IndexMap& loaded;
        ~Install() {
            std::unique_lock<std::shared_mutex> hold(g_indexesLock);
            index.swap(loaded);
        }
    } install{index, loaded};
    ReadIndex(loaded, folder, fileName, sectionName, lowerCaseKeys);
}

bool Lookup(const IndexMap& index, const _stringx& key, _stringx& value) {
    std::shared_lock<std::shared_mutex> hold(g_indexesLock);
    auto found = index.find(key);
    if (found == index.end()) return false;
    value = found->second;
    return true;
}
}  // namespace

IndexMap& FriendlyNameIndex() {
    static IndexMap index;
    return index;
}

IndexMap& FileModuleIndex() {
    static IndexMap index;
    return index;
}

void LoadFriendlyNameIndex(const _stringx& folder) {
    LoadIndex(FriendlyNameIndex(), folder, L"modules.ini", L"modules", false);
}

void LoadFileModuleIndex(const _stringx& folder) {
    LoadIndex(FileModuleIndex(), folder, L"FilesToModules.ini", L"FilesToModules", true);
}

bool IndexesLoaded() { return g_indexesLoad.Done(); }

void LoadIndexesOnce(const _stringx& friendlyFolder, const _stringx& fileFolder) {
    g_indexesLoad.Run([&] {
        LoadFriendlyNameIndex(friendlyFolder);
        LoadFileModuleIndex(fileFolder);
    });
}

bool LookupFriendlyName(const _stringx& key, _stringx& name) { return Lookup(FriendlyNameIndex(), key, name); }

bool LookupFileModule(const _stringx& lowerCasedName, _stringx& value) {
    return Lookup(FileModuleIndex(), lowerCasedName, value);
}
