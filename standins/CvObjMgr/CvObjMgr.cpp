#include "idl/CvObjMgr.h"

#include <cwchar>
#include "standins/common/IniFile.h"

// [Project] ActiveType of AppServices.ini, as last read (an edit shows at the next call); 0 when it is missing.
extern "C" int GetActiveProjectType(void) {
    try {
        return _wtoi(AppServicesValue(L"Project", L"ActiveType").c_str());
    } catch (...) {
        return 0;
    }
}
