// The INI reader: a file, its sections, the keys of a section and one key, each an automation object.
// Every object made from a loaded file shares that file's content, which a later Load replaces only
// for objects made afterwards.
#pragma once
#include <windows.h>
#include <memory>
#include "profilereader.h"
#include "server/ComObject.h"
#include "server/Dispatch.h"
#include "standins/common/IniFile.h"
#include "standins/common/StandinCom.h"

using IniContent = std::shared_ptr<const IniFile>;

template <typename Interface, const IID* Iid>
class ProfileObject : public ComObjectRoot,
                      public ISupportErrorInfo,
                      public DispatchImpl<Interface, Iid, OwnTypeInfo> {
public:
    void* InternalQueryInterface(REFIID iid) {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == *Iid) return static_cast<Interface*>(this);
        if (iid == IID_ISupportErrorInfo) return static_cast<ISupportErrorInfo*>(this);
        return nullptr;
    }
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override { return iid == *Iid ? S_OK : S_FALSE; }
};

class ProfileFile : public ProfileObject<IProfileFile, &IID_IProfileFile> {
public:
    STDMETHODIMP get_Sections(IProfileSections** sections) override;
    STDMETHODIMP Load(BSTR path) override;

private:
    IniContent content_;  // null until a file is loaded: no sections
};

class ProfileSections : public ProfileObject<IProfileSections, &IID_IProfileSections> {
public:
    explicit ProfileSections(IniContent content) : content_(std::move(content)) {}
    STDMETHODIMP get_Item(VARIANT name, IProfileSection** section) override;
    STDMETHODIMP get_Count(LONG* count) override;

private:
    IniContent content_;
};

class ProfileSection : public ProfileObject<IProfileSection, &IID_IProfileSection> {
public:
    ProfileSection(IniContent content, size_t section) : content_(std::move(content)), section_(section) {}
    STDMETHODIMP get_Name(BSTR* name) override;
    STDMETHODIMP get_Keys(IProfileKeys** keys) override;

private:
    IniContent content_;
    size_t section_;
};

class ProfileKeys : public ProfileObject<IProfileKeys, &IID_IProfileKeys> {
public:
    ProfileKeys(IniContent content, size_t section) : content_(std::move(content)), section_(section) {}
    STDMETHODIMP get_Item(VARIANT index, IProfileKey** key) override;
    STDMETHODIMP get_Count(LONG* count) override;

private:
    IniContent content_;
    size_t section_;
};

class ProfileKey : public ProfileObject<IProfileKey, &IID_IProfileKey> {
public:
    ProfileKey(IniContent content, size_t section, size_t key)
        : content_(std::move(content)), section_(section), key_(key) {}
    STDMETHODIMP get_Name(BSTR* name) override;
    STDMETHODIMP get_Value(BSTR* value) override;

private:
    const IniFile::Key& Key() const { return content_->Sections()[section_].keys[key_]; }
    IniContent content_;
    size_t section_;
    size_t key_;
};
