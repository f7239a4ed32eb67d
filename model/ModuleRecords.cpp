#include "model/ModuleRecords.h"

_stringx MakeEntryKey(const _stringx& moduleId, LONG language) {
    return _stringx::Formatted(L"%s:%d", moduleId.c_str(), static_cast<int>(language));
}

_stringx LongFileName(const _stringx& storedName) {
    size_t bar = storedName.find(L'|');
    return bar == _stringx::npos ? storedName : storedName.substr(bar + 1);
}
