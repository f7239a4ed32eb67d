// Hands a caller the catalog object that fits a project type, each kind made once per manager.
#pragma once
#include "CvMMUpdater2.h"
#include "cvmmupdater.h"
#include "server/ComObject.h"
#include "server/Dispatch.h"
#include "base/Handles.h"

class MMCatalogManager : public ComObjectRoot,
                         public ISupportErrorInfo,
                         public DispatchImpl<IMMCatalogManager, &IID_IMMCatalogManager, GetServerTypeInfo> {
public:
    void* InternalQueryInterface(REFIID iid);
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override;
    STDMETHODIMP GetCatalog(LONG projectType, IDispatch** catalog) override;

private:
    ComPtr<IDispatch> catalog_;
    ComPtr<IDispatch> catalogPro_;
};
