// Objects read as a script reads them: properties by name through IDispatch, items by position.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>
#include <initializer_list>
#include "base/stringx.h"
#include "base/Handles.h"

namespace cvtest {

// The named properties joined with "|", so that one comparison shows every difference: text as it
// is, anything else as "#<number>", and a null BSTR (which no getter may give) as "<null>".
inline _stringx Props(IDispatch* object, std::initializer_list<const wchar_t*> names) {
    if (!object) return L"<no object>";
    _stringx joined;
    int n = 0;
    for (const wchar_t* name : names) {
        if (n++) joined += L'|';
        DISPID id = DISPID_UNKNOWN;
        LPOLESTR text = const_cast<LPOLESTR>(name);
        DISPPARAMS none{};
        VARIANT value;
        VariantInit(&value);
        EXPECT_EQ(S_OK, object->GetIDsOfNames(IID_NULL, &text, 1, 0, &id)) << _stringx(name).AsNarrow();
        EXPECT_EQ(S_OK, object->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr))
            << _stringx(name).AsNarrow();
        if (V_VT(&value) == VT_BSTR)
            joined += V_BSTR(&value) ? _stringx(V_BSTR(&value)) : _stringx(L"<null>");
        else if (SUCCEEDED(VariantChangeType(&value, &value, 0, VT_I4)))
            joined += _stringx::Formatted(L"#%d", static_cast<int>(V_I4(&value)));
        VariantClear(&value);
    }
    return joined;
}

// The item at a position (from 1) of any collection.
template <typename Collection>
ComPtr<IDispatch> ItemAt(Collection* collection, LONG position) {
    VARIANT index;
    V_VT(&index) = VT_I4;
    V_I4(&index) = position;
    ComPtr<IDispatch> item;
    EXPECT_EQ(S_OK, collection->get_Item(index, item.Put()));
    return item;
}

}  // namespace cvtest
