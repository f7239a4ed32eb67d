#include "base/stringx.h"

#include <shlwapi.h>
#include <cstdlib>
#include <cstring>

// msvcrt's own formatter: mingw's C99 printf family reads %s as narrow, callers here expect wide.
extern "C" __declspec(dllimport) int __cdecl _vsnwprintf(wchar_t*, size_t, const wchar_t*, va_list);
extern "C" __declspec(dllimport) int __cdecl _vscwprintf(const wchar_t*, va_list);

_stringx::_stringx(const wchar_t* text) {
    LastErrorGuard keep;
    if (text) text_ = text;
}

_stringx::_stringx(size_t count, const wchar_t* text) {
    LastErrorGuard keep;
    if (text) text_.assign(text, count);
}

_stringx::_stringx(const std::wstring& text) {
    LastErrorGuard keep;
    text_ = text;
}

_stringx::_stringx(std::wstring&& text) noexcept : text_(std::move(text)) {}

_stringx::_stringx(const _stringx& other) {
    LastErrorGuard keep;
    text_ = other.text_;
}

_stringx::_stringx(_stringx&& other) noexcept : text_(std::move(other.text_)) {}

_stringx::~_stringx() {
    LastErrorGuard keep;
    FreeCopies();
}

void _stringx::FreeCopies() {
    if (!copies_) return;
    free(copies_->narrow);
    if (copies_->bstr) SysFreeString(copies_->bstr);
    delete copies_;
    copies_ = nullptr;
}

_stringx::Copies& _stringx::TheCopies() {
    if (!copies_) copies_ = new Copies;
    return *copies_;
}

_stringx& _stringx::operator=(const _stringx& other) {
    LastErrorGuard keep;
    if (this != &other) text_ = other.text_;
    return *this;
}

_stringx& _stringx::operator=(_stringx&& other) noexcept {
    text_ = std::move(other.text_);
    return *this;
}

_stringx& _stringx::operator=(std::wstring&& text) noexcept {
    text_ = std::move(text);
    return *this;
}

_stringx& _stringx::operator=(const wchar_t* text) {
    LastErrorGuard keep;
    text_ = text ? text : L"";
    return *this;
}

_stringx& _stringx::operator+=(const _stringx& other) {
    LastErrorGuard keep;
    text_ += other.text_;
    return *this;
}

_stringx& _stringx::operator+=(const wchar_t* text) {
    LastErrorGuard keep;
    if (text) text_ += text;
    return *this;
}

_stringx& _stringx::operator+=(wchar_t c) {
    LastErrorGuard keep;
    text_ += c;
    return *this;
}

_stringx operator+(const _stringx& a, const _stringx& b) {
    _stringx r(a);
    r += b;
    return r;
}

_stringx operator+(const _stringx& a, const wchar_t* b) {
    _stringx r(a);
    r += b;
    return r;
}

_stringx operator+(const wchar_t* a, const _stringx& b) {
    _stringx r(a);
    r += b;
    return r;
}

_stringx _stringx::substr(size_t pos, size_t count) const {
    LastErrorGuard keep;
    if (pos >= text_.length()) return _stringx();
    return _stringx(text_.substr(pos, count));
}

int _stringx::compare(const _stringx& other) const {
    int c = text_.compare(other.text_);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool _stringx::starts_with(const wchar_t* prefix) const {
    size_t n = wcslen(prefix);
    return text_.compare(0, n, prefix) == 0 && text_.length() >= n;
}

void _stringx::clear() {
    LastErrorGuard keep;
    text_.clear();
}

void _stringx::resize(size_t n) {
    LastErrorGuard keep;
    text_.resize(n);
}

BSTR _stringx::AsBSTR() {
    LastErrorGuard keep;
    UINT len = static_cast<UINT>(text_.length());
    BSTR& bstr = TheCopies().bstr;
    if (bstr && SysStringLen(bstr) == len) {
        memcpy(bstr, text_.c_str(), len * sizeof(wchar_t));
        bstr[len] = L'\0';
    } else if (bstr) {
        SysReAllocStringLen(&bstr, text_.c_str(), len);
    } else {
        bstr = SysAllocStringLen(text_.c_str(), len);
    }
    return bstr;
}

const char* _stringx::AsNarrow() {
    LastErrorGuard keep;
    size_t needed = text_.length() * 2 + 2;
    Copies& copies = TheCopies();
    if (!copies.narrow || needed >= copies.narrowCapacity) {
        size_t capacity = (needed / 64 + 1) * 64;
        char* fresh = static_cast<char*>(malloc(capacity));
        if (!fresh) throw std::bad_alloc();
        free(copies.narrow);
        copies.narrow = fresh;
        copies.narrowCapacity = capacity;
    }
    int written = WideCharToMultiByte(CP_ACP, 0, text_.c_str(), static_cast<int>(text_.length()) + 1, copies.narrow,
                                      static_cast<int>(copies.narrowCapacity), nullptr, nullptr);
    if (written <= 0) copies.narrow[0] = '\0';
    return copies.narrow;
}

_stringx& _stringx::FormatV(const wchar_t* format, va_list args) {
    LastErrorGuard keep;
    va_list measure;
    va_copy(measure, args);
    int length = _vscwprintf(format, measure);
    va_end(measure);
    if (length < 0) {
        text_.clear();
        return *this;
    }
    std::wstring out(static_cast<size_t>(length) + 1, L'\0');
    int printed = _vsnwprintf(&out[0], out.size(), format, args);
    out.resize(printed < 0 ? 0 : static_cast<size_t>(printed));
    text_.swap(out);
    return *this;
}

_stringx& _stringx::Format(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    FormatV(format, args);
    va_end(args);
    return *this;
}

_stringx _stringx::Formatted(const wchar_t* format, ...) {
    _stringx s;
    va_list args;
    va_start(args, format);
    s.FormatV(format, args);
    va_end(args);
    return s;
}

_stringx _stringx::Lower() const {
    LastErrorGuard keep;
    _stringx r(*this);
    if (!r.text_.empty()) CharLowerBuffW(&r.text_[0], static_cast<DWORD>(r.text_.length()));
    return r;
}

_stringx _stringx::Upper() const {
    LastErrorGuard keep;
    _stringx r(*this);
    if (!r.text_.empty()) CharUpperBuffW(&r.text_[0], static_cast<DWORD>(r.text_.length()));
    return r;
}

void SplitSearchPath(const _stringx& text, std::vector<_stringx>& folders) {
    std::vector<_stringx> notFolders;
    SplitSearchPath(text, folders, notFolders);
}

void SplitSearchPath(const _stringx& text, std::vector<_stringx>& folders, std::vector<_stringx>& notFolders) {
    const std::wstring& all = text.str();
    size_t start = 0;
    while (start <= all.length()) {
        size_t comma = all.find(L',', start);
        std::wstring element = all.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start);
        size_t first = element.find_first_not_of(L' ');
        element = first == std::wstring::npos ? std::wstring() : element.substr(first);
        if (!element.empty()) {
            DWORD need = ExpandEnvironmentStringsW(element.c_str(), nullptr, 0);
            if (need) {
                std::wstring expanded(need, L'\0');
                DWORD got = ExpandEnvironmentStringsW(element.c_str(), &expanded[0], need);
                expanded.resize(got ? got - 1 : 0);
                element.swap(expanded);
            }
            if (!element.empty() && element.back() == L'\\') element.pop_back();
            if (!element.empty() && PathIsDirectoryW(element.c_str()))
                folders.emplace_back(element);
            else if (!element.empty())
                notFolders.emplace_back(element);
        }
        if (comma == std::wstring::npos) break;
        start = comma + 1;
    }
}

_stringx JoinPath(const _stringx& left, const _stringx& right) {
    bool leftSlash = left.ends_with(L'\\');
    bool rightSlash = !right.empty() && right[0] == L'\\';
    if (leftSlash && rightSlash) return left + right.substr(1);
    if (!leftSlash && !rightSlash && !right.empty()) return left + L"\\" + right;
    return left + right;
}

int CompareNoCase(const wchar_t* a, const wchar_t* b) {
    for (size_t i = 0;; ++i) {
        wchar_t x = a[i], y = b[i];
        if (x >= 0x80 || y >= 0x80) return _wcsicmp(a + i, b + i);
        if (x >= L'A' && x <= L'Z') x += L'a' - L'A';
        if (y >= L'A' && y <= L'Z') y += L'a' - L'A';
        if (x != y || x == 0) return static_cast<int>(x) - static_cast<int>(y);
    }
}
