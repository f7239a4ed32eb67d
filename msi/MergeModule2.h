// One merge module opened by path: identity, summary texts, availability and its lists.
#pragma once
#include "CvMMUpdater2.h"
#include "cvmmupdater.h"
#include "server/ComObject.h"
#include "server/Dispatch.h"

class MergeModule2 : public ComObjectRoot,
                     public ISupportErrorInfo,
                     public DispatchImpl<IMergeModule2c, &IID_IMergeModule2c, GetServerTypeInfo> {
public:
    void* InternalQueryInterface(REFIID iid);
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override;

    STDMETHODIMP get_Dialogs(IDialogCollection** value) override;
    STDMETHODIMP get_CustomActions(ICustomActionCollection** value) override;
    STDMETHODIMP get_RevisionNumber(BSTR* value) override;
    STDMETHODIMP get_ModuleId(BSTR* value) override;
    STDMETHODIMP get_EntryKey(BSTR* value) override;
    STDMETHODIMP get_Path(BSTR* value) override;
    STDMETHODIMP get_Comments(BSTR* value) override;
    STDMETHODIMP get_Subject(BSTR* value) override;
    STDMETHODIMP get_Author(BSTR* value) override;
    STDMETHODIMP get_Language(LONG* value) override;
    STDMETHODIMP get_Version(BSTR* value) override;
    STDMETHODIMP get_Dependencies(IDependencyCollection** value) override;
    STDMETHODIMP get_Exclusions(IExclusionCollection** value) override;
    STDMETHODIMP get_Files(IFileCollection** value) override;
    STDMETHODIMP get_DisplayName(BSTR* value) override;
    STDMETHODIMP Open(BSTR path) override;
    STDMETHODIMP get_IsPresent(VARIANT_BOOL* value) override;
    STDMETHODIMP get_NeedsUpdate(VARIANT_BOOL* value) override;
    STDMETHODIMP get_DownloadFiles(IDownloadFileCollection** value) override;
    STDMETHODIMP get_ResolvedPath(BSTR* value) override;
    STDMETHODIMP get_HasSourceLocation(VARIANT_BOOL* value) override;
    STDMETHODIMP get_SourceLocation(BSTR* value) override;
};
