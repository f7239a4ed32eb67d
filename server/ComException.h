// The server's one error exception and the boundary that turns it into an HRESULT with
// COM error information. No C++ exception may cross a COM method.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <exception>
#include <new>
#include <utility>
#include "base/stringx.h"

class com_exception : public std::exception {
public:
    // Takes the error information that the failing call left on this thread, if any.
    explicit com_exception(HRESULT hr);

    HRESULT Error() const { return hr_; }
    const GUID& InterfaceGuid() const { return interfaceGuid_; }
    const CLSID& SourceClsid() const { return sourceClsid_; }
    const _stringx& Description() const { return description_; }
    const _stringx& Source() const { return source_; }
    const char* what() const noexcept override { return "com_exception"; }

    void FillFromErrorInfo();

private:
    HRESULT hr_;
    GUID interfaceGuid_{};
    CLSID sourceClsid_{};
    _stringx description_;
    _stringx source_;
};

// What the raising operations throw (by value) and every boundary catches.
class CComException {
public:
    explicit CComException(const com_exception& error) : error_(error) {}
    const com_exception& Error() const { return error_; }
    // Copies the description into the buffer, truncated and terminated.
    bool GetErrorMessage(wchar_t* buffer, UINT size) const;

private:
    com_exception error_;
};

[[noreturn]] void RaiseComException(const com_exception& error);

// A failure kept as a value (a read's, carried from the reader process or until a caller asks):
// what the thread's error information said, raised again where it is reached.
struct ReadFailure {
    HRESULT Error = S_OK;
    GUID InterfaceGuid{};
    _stringx Description;

    static ReadFailure Of(const com_exception& error) {
        return ReadFailure{error.Error(), error.InterfaceGuid(), error.Description()};
    }
    explicit operator bool() const { return FAILED(Error); }
    // Publishes the error information again and throws the server's exception.
    [[noreturn]] void Raise() const;
};

// Installs error information that holds only a description (GUID_NULL, no source) for the thread.
HRESULT PublishDescription(const _stringx& description);

inline void CheckResult(HRESULT hr) {
    if (FAILED(hr)) RaiseComException(com_exception(hr));
}

// For an interface pointer that a successful call handed out and that has no meaning as null: a null
// raises E_POINTER instead of crashing the host.
inline void CheckPointer(const void* pointer) {
    if (!pointer) RaiseComException(com_exception(E_POINTER));
}

// The system's message text for an HRESULT, trailing line break included; empty when it has none.
_stringx SystemMessage(HRESULT hr);

// Writes "\nException caught: <hr> = <description>" to the debugger output, publishes error
// information with the reporting class's versioned ProgID as source and returns the HRESULT.
HRESULT ReportComException(const com_exception& error, REFCLSID reportingClass, const wchar_t* context);

// Runs body() and maps whatever it throws to an HRESULT: the server's exception through report(e),
// memory exhaustion as E_OUTOFMEMORY, anything else as E_UNEXPECTED, each with error information.
template <typename Body, typename Report>
HRESULT GuardedCall(Body&& body, Report&& report) noexcept {
    try {
        return body();
    } catch (const CComException& e) {
        try {
            return report(e.Error());
        } catch (...) {
            return e.Error().Error();
        }
    } catch (const std::bad_alloc&) {
        try {
            return report(com_exception(E_OUTOFMEMORY));
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    } catch (...) {
        try {
            return report(com_exception(E_UNEXPECTED));
        } catch (...) {
            return E_UNEXPECTED;
        }
    }
}

// The error boundary of a COM method: error information names the reporting class.
template <typename Body>
HRESULT ErrorBoundary(REFCLSID reportingClass, Body&& body) noexcept {
    return GuardedCall(std::forward<Body>(body),
                       [&](const com_exception& e) { return ReportComException(e, reportingClass, nullptr); });
}
