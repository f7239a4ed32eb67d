#include "model/ProfileAccess.h"

#include "server/ComException.h"
#include "server/SiblingLoader.h"

namespace {
// A VARIANT argument that clears itself.
class VariantArg {
public:
    VariantArg() { VariantInit(&v_); }
    ~VariantArg() { VariantClear(&v_); }
    VariantArg(const VariantArg&) = delete;
    VariantArg& operator=(const VariantArg&) = delete;

    explicit VariantArg(const _stringx& text) : VariantArg() {
        BSTR b = SysAllocStringLen(text.c_str(), static_cast<UINT>(text.length()));
        if (b) {
            v_.vt = VT_BSTR;
            v_.bstrVal = b;
        } else {  // the reader is told, and answers with its own failure
            v_.vt = VT_ERROR;
            v_.scode = E_OUTOFMEMORY;
        }
    }
    explicit VariantArg(LONG n) : VariantArg() {
        v_.vt = VT_I4;
        v_.lVal = n;
    }
    const VARIANT& Get() const { return v_; }

private:
    VARIANT v_;
};
}  // namespace

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
