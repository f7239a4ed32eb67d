#include "base/Versions.h"

#include <cstdlib>

LONG ParseNumber(const _stringx& text) { return _wtol(text.c_str()); }

void ParseVersion(const _stringx& text, DWORD& high, DWORD& low) {
    DWORD parts[4] = {};
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        size_t dot = text.find(L'.', start);
        _stringx part = text.substr(start, dot == _stringx::npos ? _stringx::npos : dot - start);
        parts[i] = static_cast<DWORD>(ParseNumber(part)) & 0xFFFF;
        if (dot == _stringx::npos) break;
        start = dot + 1;
    }
    high = parts[0] << 16 | parts[1];
    low = parts[2] << 16 | parts[3];
}

int CompareVersions(const _stringx& a, const _stringx& b) {
    DWORD aHigh, aLow, bHigh, bLow;
    ParseVersion(a, aHigh, aLow);
    ParseVersion(b, bHigh, bLow);
    if (aHigh != bHigh) return aHigh > bHigh ? 1 : -1;
    if (aLow != bLow) return aLow > bLow ? 1 : -1;
    return 0;
}
