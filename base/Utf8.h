// UTF-8, the encoding of everything the tool prints and the test data and generators write.
#pragma once
#include <cwchar>
#include <string>
#include "base/stringx.h"

std::string ToUtf8(const wchar_t* text, size_t length);
inline std::string ToUtf8(const wchar_t* text) { return text ? ToUtf8(text, wcslen(text)) : std::string(); }
inline std::string ToUtf8(const std::wstring& text) { return ToUtf8(text.data(), text.size()); }
inline std::string ToUtf8(const _stringx& text) { return ToUtf8(text.c_str(), text.length()); }

// Invalid sequences become U+FFFD.
std::wstring FromUtf8(const std::string& bytes);
// False, leaving `text` alone, when the bytes are not valid UTF-8.
bool FromUtf8Strict(const std::string& bytes, std::wstring& text);
