#include "tests/reliability/DamageWalk.h"

#include <msiquery.h>
#include <oleauto.h>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include "base/Handles.h"

namespace {
std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }
}  // namespace

std::string Narrow(const std::wstring& s) {
    std::string out;
    for (wchar_t c : s) out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

std::string ReadAll(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::wstring> ReadLines(const std::wstring& path) {
    std::vector<std::wstring> lines;
    std::istringstream in(ReadAll(path));
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(Widen(line));
    return lines;
}

namespace {
HRESULT Invoke(IDispatch* object, DISPID id, WORD flags, VARIANT* arguments, UINT count, VARIANT* result) {
    DISPPARAMS parameters{arguments, nullptr, count, 0};
    EXCEPINFO exception{};
    UINT argumentError = 0;
    HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &parameters, result, &exception,
                                &argumentError);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    return hr;
}

HRESULT InvokeByName(IDispatch* object, const wchar_t* name, WORD flags, VARIANT* arguments, UINT count,
                     VARIANT* result) {
    DISPID id = 0;
    LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    return FAILED(hr) ? hr : Invoke(object, id, flags, arguments, count, result);
}

std::wstring TextProperty(IDispatch* object, const wchar_t* name) {
    unique_variant value;
    if (FAILED(InvokeByName(object, name, DISPATCH_PROPERTYGET, nullptr, 0, &value.Get())) ||
        FAILED(VariantChangeType(&value.Get(), &value.Get(), 0, VT_BSTR)))
        return L"";
    return value.Get().bstrVal ? value.Get().bstrVal : L"";
}

void Walk(IDispatch* object, int depth);

// Every element of a collection, through its enumerator.
void Enumerate(IDispatch* collection, int depth) {
    unique_variant enumerator;
    if (FAILED(Invoke(collection, DISPID_NEWENUM, DISPATCH_PROPERTYGET | DISPATCH_METHOD, nullptr, 0,
                      &enumerator.Get())) ||
        (enumerator.Get().vt != VT_UNKNOWN && enumerator.Get().vt != VT_DISPATCH) || !enumerator.Get().punkVal)
        return;
    IEnumVARIANT* items = nullptr;
    if (FAILED(enumerator.Get().punkVal->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&items)))) return;
    for (;;) {
        unique_variant item;
        ULONG fetched = 0;
        if (items->Next(1, &item.Get(), &fetched) != S_OK || fetched != 1) break;
        if (item.Get().vt == VT_DISPATCH && item.Get().pdispVal) Walk(item.Get().pdispVal, depth + 1);
    }
    items->Release();
}

// Every property without arguments that the object's type information names, and whatever
// objects and collections they lead to, a few levels deep.
void Walk(IDispatch* object, int depth) {
    if (depth > 3) return;
    ITypeInfo* info = nullptr;
    if (FAILED(object->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info)) || !info) return;
    std::vector<MEMBERID> properties;
    TYPEATTR* attributes = nullptr;
    if (SUCCEEDED(info->GetTypeAttr(&attributes))) {
        for (UINT i = 0; i < attributes->cFuncs; ++i) {
            FUNCDESC* function = nullptr;
            if (FAILED(info->GetFuncDesc(i, &function))) continue;
            if (function->invkind == INVOKE_PROPERTYGET && function->cParams == 0 &&
                !(function->wFuncFlags & FUNCFLAG_FRESTRICTED))
                properties.push_back(function->memid);
            info->ReleaseFuncDesc(function);
        }
        info->ReleaseTypeAttr(attributes);
    }
    info->Release();
    for (MEMBERID id : properties) {
        unique_variant value;
        if (FAILED(Invoke(object, id, DISPATCH_PROPERTYGET, nullptr, 0, &value.Get()))) continue;
        if (value.Get().vt == VT_DISPATCH && value.Get().pdispVal) {
            Walk(value.Get().pdispVal, depth + 1);
            Enumerate(value.Get().pdispVal, depth);
        }
    }
}

IDispatch* Create(const wchar_t* progId) {
    CLSID clsid;
    IDispatch* object = nullptr;
    if (FAILED(CLSIDFromProgID(progId, &clsid)) ||
        FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&object))))
        return nullptr;
    return object;
}

void Say(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    vprintf(format, arguments);
    va_end(arguments);
    fflush(stdout);
}

}  // namespace

int WalkFiles(const std::wstring& listFile, size_t first) {
    std::vector<std::wstring> files = ReadLines(listFile);
    for (size_t i = first; i < files.size(); ++i) {
        Say("begin %zu\n", i);
        IDispatch* module = Create(L"CvMMUpdater.MergeModule2.1");
        if (!module) {
            Say("error cannot create MergeModule2\n");
            return 2;
        }
        unique_variant path;
        path.Get().vt = VT_BSTR;
        path.Get().bstrVal = SysAllocString(files[i].c_str());
        HRESULT opened = InvokeByName(module, L"Open", DISPATCH_METHOD, &path.Get(), 1, nullptr);
        Walk(module, 0);
        std::wstring key = TextProperty(module, L"EntryKey");
        module->Release();
        Say("end %zu %s %s\n", i, SUCCEEDED(opened) ? "opened" : "failed", Narrow(key).c_str());
    }
    Say("handles %u\n", MsiCloseAllHandles());
    return 0;
}

int WalkCatalog(const std::wstring& goodList) {
    IDispatch* catalog = Create(L"CvMMUpdater.MMCatalog.1");
    if (!catalog) {
        Say("error cannot create MMCatalog\n");
        return 2;
    }
    unique_variant modules;
    HRESULT hr = InvokeByName(catalog, L"GetModules", DISPATCH_METHOD, nullptr, 0, &modules.Get());
    if (FAILED(hr) || modules.Get().vt != VT_DISPATCH || !modules.Get().pdispVal) {
        Say("error GetModules 0x%08lx\n", hr);
        return 2;
    }
    Enumerate(modules.Get().pdispVal, 0);

    // Which path each key is listed with.
    std::map<std::wstring, std::wstring> listed;
    unique_variant enumerator;
    Invoke(modules.Get().pdispVal, DISPID_NEWENUM, DISPATCH_PROPERTYGET | DISPATCH_METHOD, nullptr, 0, &enumerator.Get());
    IEnumVARIANT* items = nullptr;
    if (enumerator.Get().punkVal &&
        SUCCEEDED(enumerator.Get().punkVal->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&items)))) {
        for (;;) {
            unique_variant item;
            ULONG fetched = 0;
            if (items->Next(1, &item.Get(), &fetched) != S_OK || fetched != 1) break;
            if (item.Get().vt == VT_DISPATCH && item.Get().pdispVal)
                listed[TextProperty(item.Get().pdispVal, L"EntryKey")] = TextProperty(item.Get().pdispVal, L"Path");
        }
        items->Release();
    }
    Say("listed %zu\n", listed.size());

    // A search for a file that no module has reads every module's file list and folders.
    unique_variant arguments[5];
    arguments[4].Get().vt = VT_BSTR;
    arguments[4].Get().bstrVal = SysAllocString(L"[SystemFolder]MyDir\\no-such-file.dll");
    arguments[3].Get().vt = VT_BSTR;
    arguments[3].Get().bstrVal = SysAllocString(L"");
    arguments[2].Get().vt = VT_BSTR;
    arguments[2].Get().bstrVal = SysAllocString(L"");
    IDispatch* found = nullptr;
    VARIANT_BOOL foundFlag = VARIANT_FALSE;
    arguments[1].Get().vt = VT_BYREF | VT_DISPATCH;
    arguments[1].Get().ppdispVal = &found;
    arguments[0].Get().vt = VT_BYREF | VT_BOOL;
    arguments[0].Get().pboolVal = &foundFlag;
    VARIANT raw[5];
    for (int i = 0; i < 5; ++i) raw[i] = arguments[i].Get();
    hr = InvokeByName(catalog, L"FindModuleForFileEx", DISPATCH_METHOD, raw, 5, nullptr);
    if (found) found->Release();
    arguments[1].Get().vt = arguments[0].Get().vt = VT_EMPTY;
    Say("search 0x%08lx %s\n", hr, foundFlag ? "found" : "none");

    size_t good = 0, total = 0;
    for (const std::wstring& line : ReadLines(goodList)) {
        size_t tab = line.find(L'\t');
        if (tab == std::wstring::npos) continue;
        ++total;
        auto at = listed.find(line.substr(0, tab));
        if (at != listed.end() && _wcsicmp(at->second.c_str(), line.substr(tab + 1).c_str()) == 0)
            ++good;
        else
            Say("missing %s\n", Narrow(line).c_str());
    }
    Say("good %zu %zu\n", good, total);
    VariantClear(&modules.Get());
    catalog->Release();
    Say("handles %u\n", MsiCloseAllHandles());
    return 0;
}

