// A new BSTR for an out parameter; raises std::bad_alloc (E_OUTOFMEMORY at the error boundary)
// rather than handing out null for a text that is not empty.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <new>
#include "base/stringx.h"

inline BSTR NewBstr(const wchar_t* text, UINT length) {
    BSTR copy = SysAllocStringLen(text, length);
    if (!copy) throw std::bad_alloc();
    return copy;
}
inline BSTR NewBstr(const _stringx& text) { return NewBstr(text.c_str(), static_cast<UINT>(text.length())); }
