#include "catalog/MMCatalogManager.h"

#include "catalog/MMCatalog.h"
#include "server/ComException.h"

void* MMCatalogManager::InternalQueryInterface(REFIID iid) {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IMMCatalogManager)
        return static_cast<IMMCatalogManager*>(this);
    if (iid == IID_ISupportErrorInfo) return static_cast<ISupportErrorInfo*>(this);
    return nullptr;
}

STDMETHODIMP MMCatalogManager::InterfaceSupportsErrorInfo(REFIID iid) {
    return iid == IID_IMMCatalogManager ? S_OK : S_FALSE;
}

STDMETHODIMP MMCatalogManager::GetCatalog(LONG projectType, IDispatch** catalog) {
    if (!catalog) return E_INVALIDARG;
    return ErrorBoundary(CLSID_MMCatalogManager, [&] {
        // The full catalog is made on the first call whatever the type; a failed creation is not cached.
        // Asked for IDispatch: the catalogs' identity is their dual face, so this is the IUnknown too.
        if (!catalog_) CheckResult(CreateComInstance<MMCatalog>(nullptr, IID_IDispatch, catalog_.PutVoid()));
        if (projectType != 9 && projectType != 10) {
            catalog_.CopyTo(catalog);
            return S_OK;
        }
        if (!catalogPro_) CheckResult(CreateComInstance<MMCatalogPro>(nullptr, IID_IDispatch, catalogPro_.PutVoid()));
        catalogPro_.CopyTo(catalog);
        return S_OK;
    });
}
