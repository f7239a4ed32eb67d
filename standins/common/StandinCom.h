// COM plumbing shared by the stand-in DLLs that are COM servers.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include "base/Bstr.h"
#include "base/stringx.h"

// The type information of an interface from the type library embedded in this module; cached per
// interface, one reference out. The loader of DispatchImpl.
HRESULT OwnTypeInfo(REFIID iid, ITypeInfo** info);

// Publishes the description as the thread's error information and raises the server exception,
// which the method's error boundary turns into the HRESULT.
[[noreturn]] void RaiseError(HRESULT hr, const _stringx& description);

