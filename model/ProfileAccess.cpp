#include "model/ProfileAccess.h"

#include "server/ComException.h"
#include "base/Handles.h"
#include "server/SiblingLoader.h"

namespace {
// A VARIANT argument that clears itself.
class VariantArg : public unique_variant {
public:
    explicit VariantArg(const _stringx& text) {
        BSTR b = SysAllocStringLen(text.c_str(), static_cast<UINT>(text.length()));
        if (b) {
            V_VT(get()) = VT_BSTR;
            V_BSTR(get()) = b;
        } else {  // the reader is told, and answers with its own failure
            V_VT(get()) = VT_ERROR;
            V_ERROR(get()) = E_OUTOFMEMORY;
        }
    }
    explicit VariantArg(LONG n) {
        V_VT(get()) = VT_I4;
        V_I4(get()) = n;
    }
};}  // namespace

void ForgetErrorInfo() { SetErrorInfo(0, nullptr); }

ComPtr<IProfileFile> CreateProfileReader() {
    ComPtr<IProfileFile> reader;
    CheckResult(CreateSiblingObject(L"ProfileReader.dll", CLSID_ProfileFile, IID_IProfileFile, reader.PutVoid()));
    if (!reader) RaiseComException(com_exception(E_NOINTERFACE));
    return reader;
}

ComPtr<IProfileSection> ProfileSection(IProfileFile* file, const _stringx& name) {
    ComPtr<IProfileSections> sections;
    CheckResult(file->get_Sections(sections.Put()));
    if (!sections) RaiseComException(com_exception(E_POINTER));
    VariantArg arg(name);
    ComPtr<IProfileSection> section;
    CheckResult(sections->get_Item(arg.Get(), section.Put()));
    return section;
}

ComPtr<IProfileKeys> ProfileKeys(IProfileSection* section) {
    ComPtr<IProfileKeys> keys;
    CheckResult(section->get_Keys(keys.Put()));
    if (!keys) RaiseComException(com_exception(E_POINTER));
    return keys;
}

ComPtr<IProfileKey> ProfileKeyByName(IProfileKeys* keys, const _stringx& name) {
    VariantArg arg(name);
    ComPtr<IProfileKey> key;
    CheckResult(keys->get_Item(arg.Get(), key.Put()));
    return key;
}

ComPtr<IProfileKey> ProfileKeyAt(IProfileKeys* keys, LONG position) {
    VariantArg arg(position);
    ComPtr<IProfileKey> key;
    CheckResult(keys->get_Item(arg.Get(), key.Put()));
    return key;
}

LONG ProfileKeyCount(IProfileKeys* keys) {
    LONG count = 0;
    HRESULT hr = keys->get_Count(&count);
    if (FAILED(hr)) {
        ForgetErrorInfo();
        RaiseComException(com_exception(hr));
    }
    return count;
}

_stringx ProfileKeyName(IProfileKey* key) {
    unique_bstr name;
    CheckResult(key->get_Name(name.put()));
    return name.get();
}

_stringx ProfileKeyValue(IProfileKey* key) {
    unique_bstr value;
    if (FAILED(key->get_Value(value.put()))) ForgetErrorInfo();
    return value.get();
}

_stringx ApplicationFolder() {
    ComPtr<IAppFolders> folders;
    CheckResult(CreateSiblingObject(L"CvAppServices.dll", CLSID_AppServices, IID_IAppFolders, folders.PutVoid()));
    if (!folders) RaiseComException(com_exception(E_NOINTERFACE));
    unique_bstr folder;
    CheckResult(folders->ApplicationFolder(folder.put()));
    return folder.get();
}
