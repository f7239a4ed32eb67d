#include "msi/MergeModule2.h"

void* MergeModule2::InternalQueryInterface(REFIID iid) {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IMergeModule2 || iid == IID_IMergeModule ||
        iid == IID_IMergeModule2a || iid == IID_IMergeModule2b || iid == IID_IMergeModule2c)
        return static_cast<IMergeModule2c*>(this);
    if (iid == IID_ISupportErrorInfo) return static_cast<ISupportErrorInfo*>(this);
    return nullptr;
}

STDMETHODIMP MergeModule2::InterfaceSupportsErrorInfo(REFIID iid) { return iid == IID_IMergeModule2 ? S_OK : S_FALSE; }

// The module's answers come with the module reader; until then the object exists with its face only.
STDMETHODIMP MergeModule2::get_Dialogs(IDialogCollection**) { return E_NOTIMPL; }
STDMETHODIMP MergeModule2::get_CustomActions(ICustomActionCollection**) { return E_NOTIMPL; }
STDMETHODIMP MergeModule2::get_RevisionNumber(BSTR*) { return E_NOTIMPL; }
STDMETHODIMP MergeModule2::get_ModuleId(BSTR*) { return E_NOTIMPL; }
STDMETHODIMP MergeModule2::get_EntryKey(BSTR*) { return E_NOTIMPL; }
STDMETHODIMP MergeModule2::get_Path(BSTR*) { return E_NOTIMPL; }
STDMETHODIMP MergeModule2::get_Comments(BSTR*) { return E_NOTIMPL; }
STDMETHODIMP MergeModule2::get_Subject(BSTR*) { return E_NOTIMPL; }
STDMETHODIMP MergeModule2::get_Author(BSTR*) { return E_NOTIMPL; }
STDMETHODIMP MergeModule2::get_Language(LONG*) { return E_NOTIMPL; }
STDMETHODIMP MergeModule2::get_Version(BSTR*) { return E_NOTIMPL; }
STDMETHODIMP MergeModule2::get_Dependencies(IDependencyCollection**) { return E_NOTIMPL; }
STDMETHODIMP MergeModule2::get_Exclusions(IExclusionCollection**) { return E_NOTIMPL; }
STDMETHODIMP MergeModule2::get_Files(IFileCollection**) { return E_NOTIMPL; }
STDMETHODIMP MergeModule2::get_DisplayName(BSTR*) { return E_NOTIMPL; }
STDMETHODIMP MergeModule2::Open(BSTR) { return E_NOTIMPL; }
STDMETHODIMP MergeModule2::get_IsPresent(VARIANT_BOOL*) { return E_NOTIMPL; }
STDMETHODIMP MergeModule2::get_NeedsUpdate(VARIANT_BOOL*) { return E_NOTIMPL; }
STDMETHODIMP MergeModule2::get_DownloadFiles(IDownloadFileCollection**) { return E_NOTIMPL; }
STDMETHODIMP MergeModule2::get_ResolvedPath(BSTR*) { return E_NOTIMPL; }
STDMETHODIMP MergeModule2::get_HasSourceLocation(VARIANT_BOOL*) { return E_NOTIMPL; }
STDMETHODIMP MergeModule2::get_SourceLocation(BSTR*) { return E_NOTIMPL; }
