// ProfileReader.dll: the environment's INI reader.
#include <windows.h>
#include "profilereader.h"
#include "server/ServerModule.h"
#include "standins/ProfileReader/ProfileFile.h"

namespace {
ObjectMapEntry g_objectMap[] = {
    CV_OBJECT_ENTRY(CLSID_ProfileFile, ProfileFile, L"ProfileReader.ProfileFile.1", L"ProfileReader.ProfileFile"),
    CV_OBJECT_MAP_END,
};
}  // namespace

CV_COM_DLL_ENTRY_POINTS(g_objectMap, &LIBID_ProfileReaderLib)
