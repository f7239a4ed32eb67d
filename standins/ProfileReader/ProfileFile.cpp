#include "standins/ProfileReader/ProfileFile.h"

#include <functional>
#include <vector>
#include "server/ComException.h"
#include "base/Handles.h"

namespace {
const size_t kNone = static_cast<size_t>(-1);

HRESULT Boundary(const std::function<HRESULT()>& body) { return ErrorBoundary(CLSID_ProfileFile, body); }

// The item that a name (VT_BSTR, any case) or a 1-based position (any number, also by reference)
// picks; kNone when there is no such item.
template <typename Item>
size_t PickItem(const VARIANT& which, const std::vector<Item>& items) {
    unique_variant value;
    HRESULT hr = VariantCopyInd(value.get(), const_cast<VARIANT*>(&which));
    if (FAILED(hr)) RaiseError(hr, L"The item's name or position cannot be read.");
    VARIANT& v = value.Get();
    if (v.vt == VT_BSTR) {
        _stringx name(SysStringLen(v.bstrVal), v.bstrVal);
        for (size_t i = 0; i < items.size(); ++i)
            if (IniFile::SameName(items[i].name, name)) return i;
        return kNone;
    }
    // A caller that could not make its argument says so with VT_ERROR; its failure is the answer.
    if (v.vt == VT_ERROR && FAILED(v.scode)) RaiseError(v.scode, L"The item's name or position is missing.");
    bool number = v.vt != VT_EMPTY && v.vt != VT_NULL && v.vt != VT_ERROR && v.vt != VT_DISPATCH && v.vt != VT_UNKNOWN;
    if (!number || FAILED(VariantChangeType(&v, &v, 0, VT_I4)))
        RaiseError(E_INVALIDARG, L"An item is chosen by its name or by its 1-based position.");
    LONG position = v.lVal;
    return position >= 1 && static_cast<size_t>(position) <= items.size() ? static_cast<size_t>(position - 1) : kNone;
}

template <typename Object, typename Interface, typename... Args>
void HandOut(Interface** out, Args&&... args) {
    *out = ComObject<Object>::Make(std::forward<Args>(args)...);
}
}  // namespace

STDMETHODIMP ProfileFile::get_Sections(IProfileSections** sections) {
    if (!sections) return E_POINTER;
    *sections = nullptr;
    return Boundary([&] {
        if (!content_) content_ = std::make_shared<const IniFile>();
        HandOut<ProfileSections>(sections, content_);
        return S_OK;
    });
}

STDMETHODIMP ProfileFile::Load(BSTR path) {
    return Boundary([&] {
        if (SysStringLen(path) == 0) RaiseError(E_INVALIDARG, L"Load needs the path of an INI file.");
        auto file = std::make_shared<IniFile>();
        HRESULT hr = file->Load(path);
        if (FAILED(hr)) RaiseError(hr, _stringx::Formatted(L"The INI file \"%s\" cannot be read (0x%08lX).", path, hr));
        content_ = std::move(file);
        return S_OK;
    });
}

STDMETHODIMP ProfileSections::get_Item(VARIANT name, IProfileSection** section) {
    if (!section) return E_POINTER;
    *section = nullptr;
    return Boundary([&] {
        size_t found = PickItem(name, content_->Sections());
        if (found != kNone) HandOut<ProfileSection>(section, content_, found);
        return S_OK;
    });
}

STDMETHODIMP ProfileSections::get_Count(LONG* count) {
    if (!count) return E_POINTER;
    *count = static_cast<LONG>(content_->Sections().size());
    return S_OK;
}

STDMETHODIMP ProfileSection::get_Name(BSTR* name) {
    if (!name) return E_POINTER;
    *name = nullptr;
    return Boundary([&] {
        *name = NewBstr(content_->Sections()[section_].name);
        return S_OK;
    });
}

STDMETHODIMP ProfileSection::get_Keys(IProfileKeys** keys) {
    if (!keys) return E_POINTER;
    *keys = nullptr;
    return Boundary([&] {
        HandOut<ProfileKeys>(keys, content_, section_);
        return S_OK;
    });
}

STDMETHODIMP ProfileKeys::get_Item(VARIANT index, IProfileKey** key) {
    if (!key) return E_POINTER;
    *key = nullptr;
    return Boundary([&] {
        size_t found = PickItem(index, content_->Sections()[section_].keys);
        if (found != kNone) HandOut<ProfileKey>(key, content_, section_, found);
        return S_OK;
    });
}

STDMETHODIMP ProfileKeys::get_Count(LONG* count) {
    if (!count) return E_POINTER;
    *count = static_cast<LONG>(content_->Sections()[section_].keys.size());
    return S_OK;
}

STDMETHODIMP ProfileKey::get_Name(BSTR* name) {
    if (!name) return E_POINTER;
    *name = nullptr;
    return Boundary([&] {
        *name = NewBstr(Key().name);
        return S_OK;
    });
}

STDMETHODIMP ProfileKey::get_Value(BSTR* value) {
    if (!value) return E_POINTER;
    *value = nullptr;
    return Boundary([&] {
        *value = NewBstr(Key().value);
        return S_OK;
    });
}
