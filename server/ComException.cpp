#include "server/ComException.h"

#include <cwchar>
#include "base/Handles.h"

com_exception::com_exception(HRESULT hr) : hr_(hr) { FillFromErrorInfo(); }

void com_exception::FillFromErrorInfo() {
    description_.clear();
    source_.clear();
    interfaceGuid_ = GUID{};
    sourceClsid_ = CLSID{};
    // Taking the error information clears it for the thread.
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Put()) == S_OK && info) {
        unique_bstr text;
        if (SUCCEEDED(info->GetDescription(text.put()))) description_ = text.get();
        info->GetGUID(&interfaceGuid_);
        if (SUCCEEDED(info->GetSource(text.put())) && text.get()) {
            source_ = text.get();
            if (FAILED(CLSIDFromProgID(text.get(), &sourceClsid_))) sourceClsid_ = CLSID{};
        }
        return;
    }
    description_ = SystemMessage(hr_);
    if (description_.empty()) description_ = L"Unknown error";
}

bool CComException::GetErrorMessage(wchar_t* buffer, UINT size) const {
    if (!buffer || size == 0) return true;
    wcsncpy(buffer, error_.Description().c_str(), size - 1);
    buffer[size - 1] = L'\0';
    return true;
}

void RaiseComException(const com_exception& error) { throw CComException(error); }

HRESULT PublishDescription(const _stringx& description) {
    ComPtr<ICreateErrorInfo> create;
    HRESULT hr = CreateErrorInfo(create.Put());
    // Wine leaves the GUID of new error information uninitialised where Windows has GUID_NULL.
    if (SUCCEEDED(hr)) hr = create->SetGUID(GUID_NULL);
    if (SUCCEEDED(hr)) hr = create->SetDescription(const_cast<wchar_t*>(description.c_str()));
    ComPtr<IErrorInfo> info;
    if (SUCCEEDED(hr)) hr = create.As(IID_IErrorInfo, info);
    return SUCCEEDED(hr) ? SetErrorInfo(0, info.Get()) : hr;
}

_stringx SystemMessage(HRESULT hr) {
    LastErrorGuard keep;
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    unique_hlocal owner(text);
    return n && text ? _stringx(n, text) : _stringx();
}

void ReadFailure::Raise() const {
    ComPtr<ICreateErrorInfo> create;
    CheckResult(CreateErrorInfo(create.Put()));
    CheckResult(create->SetGUID(InterfaceGuid));
    CheckResult(create->SetDescription(const_cast<wchar_t*>(Description.c_str())));
    ComPtr<IErrorInfo> info;
    CheckResult(create.As(IID_IErrorInfo, info));
    CheckResult(SetErrorInfo(0, info.Get()));
    RaiseComException(com_exception(Error));
}

HRESULT ReportComException(const com_exception& error, REFCLSID reportingClass, const wchar_t* context) {
    OutputDebugStringW(L"\nException caught: ");
    OutputDebugStringW(_stringx::Formatted(L"%i", error.Error()).c_str());
    OutputDebugStringW(L" = ");
    if (!error.Description().empty()) OutputDebugStringW(error.Description().c_str());

    _stringx message = error.Description();
    if (context) message += _stringx(L"\n     > ") + context;

    ComPtr<ICreateErrorInfo> create;
    if (SUCCEEDED(CreateErrorInfo(create.Put()))) {
        create->SetGUID(error.InterfaceGuid());
        wchar_t* progId = nullptr;
        if (SUCCEEDED(ProgIDFromCLSID(reportingClass, &progId)) && progId) {
            create->SetSource(progId);
            CoTaskMemFree(progId);
        }
        create->SetDescription(const_cast<wchar_t*>(message.c_str()));
        ComPtr<IErrorInfo> info;
        if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, info.PutVoid()))) SetErrorInfo(0, info.Get());
    }
    return error.Error() == S_OK ? DISP_E_EXCEPTION : error.Error();
}
