// Dotted versions a.b.c.d and the decimal numbers of gallery description files.
#pragma once
#include <windows.h>
#include "base/stringx.h"

// Decimal text the way _wtol reads it: leading blanks, optional sign, digits up to the first
// non-digit; no digits gives 0.
LONG ParseNumber(const _stringx& text);

// The first four dotted parts, each masked to 16 bits: high = a.b, low = c.d. Missing parts are 0,
// parts after the fourth are ignored.
void ParseVersion(const _stringx& text, DWORD& high, DWORD& low);

// 1 when a is the greater version, -1 when the smaller, 0 when equal (2.0 equals 2.0.0.0).
int CompareVersions(const _stringx& a, const _stringx& b);
