#include "standins/common/StandinCom.h"

#include <cstring>
#include <map>
#include <new>
#include "server/ComException.h"
#include "base/Handles.h"
#include "server/ServerModule.h"

HRESULT OwnTypeInfo(REFIID iid, ITypeInfo** info) {
    return GetCachedTypeInfo(iid, [](ITypeLib** library) {
        return LoadTypeLibEx(TheServer().ModulePath().c_str(), REGKIND_NONE, library);
    }, info);
}

void RaiseError(HRESULT hr, const _stringx& description) {
    PublishDescription(description);
    RaiseComException(com_exception(hr));
}

