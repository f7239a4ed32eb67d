#include "base/Utf8.h"

#include <windows.h>

std::string ToUtf8(const wchar_t* text, size_t length) {
    if (length == 0) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(n), '\0');
    if (n) WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &bytes[0], n, nullptr, nullptr);
    return bytes;
}

namespace {
bool Convert(const std::string& bytes, DWORD flags, std::wstring& text) {
    if (bytes.empty()) {
        text.clear();
        return true;
    }
    int n = MultiByteToWideChar(CP_UTF8, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (n <= 0) return false;
    text.assign(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, flags, bytes.data(), static_cast<int>(bytes.size()), &text[0], n);
    return true;
}
}  // namespace

std::wstring FromUtf8(const std::string& bytes) {
    std::wstring text;
    Convert(bytes, 0, text);
    return text;
}

bool FromUtf8Strict(const std::string& bytes, std::wstring& text) {
    std::wstring converted;
    if (!Convert(bytes, MB_ERR_INVALID_CHARS, converted)) return false;
    text = std::move(converted);
    return true;
}
