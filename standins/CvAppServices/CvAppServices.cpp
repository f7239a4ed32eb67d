// CvAppServices.dll: the application services of the authoring environment, read from an INI file.
#include <windows.h>
#include "appservices.h"
#include "server/ServerModule.h"
#include "standins/CvAppServices/AppServices.h"

namespace {
ObjectMapEntry g_objectMap[] = {
    CV_OBJECT_ENTRY(CLSID_AppServices, AppServices, L"CvAppServices.AppServices.1", L"CvAppServices.AppServices"),
    CV_OBJECT_MAP_END,
};
}  // namespace

CV_COM_DLL_ENTRY_POINTS(g_objectMap, &LIBID_CvAppServicesLib)
