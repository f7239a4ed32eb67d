#include "model/ModuleRecords.h"

_stringx MakeEntryKey(const _stringx& moduleId, LONG language) {
    // "%s:%d" by hand: a catalog makes thousands of keys, and formatting costs more than the rest.
    wchar_t digits[12];
    wchar_t* const end = digits + 12;
    wchar_t* first = end;
    ULONG magnitude = language < 0 ? 0ul - static_cast<ULONG>(language) : static_cast<ULONG>(language);
    do {
        *--first = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (language < 0) *--first = L'-';
    std::wstring key(moduleId.c_str());  // up to a NUL, as %s reads it
    key += L':';
    key.append(first, end);
    return _stringx(std::move(key));
}

_stringx LongFileName(const _stringx& storedName) {
    size_t bar = storedName.find(L'|');
    return bar == _stringx::npos ? storedName : storedName.substr(bar + 1);
}
