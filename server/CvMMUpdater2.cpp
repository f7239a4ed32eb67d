// The server DLL: its entry points over the table of its four classes.
#include <windows.h>
#include "CvMMUpdater2.h"
#include "catalog/MMCatalog.h"
#include "catalog/MMCatalogManager.h"
#include "msi/MergeModule2.h"
#include "server/ComObject.h"
#include "server/ServerModule.h"

namespace {
ObjectMapEntry g_objectMap[] = {
    CV_OBJECT_ENTRY(CLSID_MMCatalog, MMCatalog, L"CvMMUpdater.MMCatalog.1", L"CvMMUpdater.MMCatalog"),
    CV_OBJECT_ENTRY(CLSID_MMCatalogPro, MMCatalogPro, L"CvMMUpdater.MMCatalogPro.1", L"CvMMUpdater.MMCatalogPro"),
    CV_OBJECT_ENTRY(CLSID_MergeModule2, MergeModule2, L"CvMMUpdater.MergeModule2.1", L"CvMMUpdater.MergeModule2"),
    CV_OBJECT_ENTRY(CLSID_MMCatalogManager, MMCatalogManager, L"CvMMUpdater.MMCatalogManager.1",
                    L"CvMMUpdater.MMCatalogManager"),
    CV_OBJECT_MAP_END,
};
}  // namespace

CV_COM_DLL_ENTRY_POINTS(g_objectMap, &LIBID_CVMMUPDATER2Lib)
