// The server's wide text type. It never disturbs the thread's last-error value, so a failing
// system call can still be reported after text was built, copied or destroyed in between, and it
// hands out a cached BSTR and a cached ANSI copy that it owns.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <cstdarg>
#include <string>
#include <string_view>
#include <vector>
#include "base/LastErrorGuard.h"

class _stringx {
public:
    static constexpr size_t npos = std::wstring::npos;

    _stringx() noexcept = default;  // an empty std::wstring allocates nothing
    _stringx(const wchar_t* text);  // null counts as empty
    _stringx(size_t count, const wchar_t* text);
    _stringx(const std::wstring& text);
    _stringx(std::wstring&& text) noexcept;
    explicit _stringx(std::wstring_view text) : _stringx(text.size(), text.data()) {}
    _stringx(const _stringx& other);
    _stringx(_stringx&& other) noexcept;
    ~_stringx();

    _stringx& operator=(const _stringx& other);
    _stringx& operator=(_stringx&& other) noexcept;
    _stringx& operator=(std::wstring&& text) noexcept;
    _stringx& operator=(const wchar_t* text);

    _stringx& operator+=(const _stringx& other);
    _stringx& operator+=(const wchar_t* text);
    _stringx& operator+=(wchar_t c);
    friend _stringx operator+(const _stringx& a, const _stringx& b);
    friend _stringx operator+(const _stringx& a, const wchar_t* b);
    friend _stringx operator+(const wchar_t* a, const _stringx& b);

    const wchar_t* c_str() const { return text_.c_str(); }
    size_t length() const { return text_.length(); }
    bool empty() const { return text_.empty(); }
    wchar_t operator[](size_t i) const { return text_[i]; }
    const std::wstring& str() const { return text_; }
    operator std::wstring_view() const noexcept { return text_; }

    size_t find(wchar_t c, size_t from = 0) const { return text_.find(c, from); }
    size_t find(const wchar_t* s, size_t from = 0) const { return text_.find(s, from); }
    size_t rfind(wchar_t c, size_t from = npos) const { return text_.rfind(c, from); }
    _stringx substr(size_t pos, size_t count = npos) const;
    int compare(const _stringx& other) const;  // code unit by code unit
    bool starts_with(const wchar_t* prefix) const;
    bool ends_with(wchar_t c) const { return !text_.empty() && text_.back() == c; }
    void clear();
    void resize(size_t n);

    friend bool operator==(const _stringx& a, const _stringx& b) { return a.text_ == b.text_; }
    friend bool operator!=(const _stringx& a, const _stringx& b) { return a.text_ != b.text_; }
    friend bool operator<(const _stringx& a, const _stringx& b) { return a.text_ < b.text_; }

    // Cached BSTR of the text; owned by the string, valid until it changes or dies.
    BSTR AsBSTR();
    // Cached copy in the ANSI code page; owned by the string.
    const char* AsNarrow();
    size_t NarrowCapacity() const { return copies_ ? copies_->narrowCapacity : 0; }

    // printf-style formatting with the Microsoft meaning of %s (wide) and %S (narrow).
    _stringx& Format(const wchar_t* format, ...);
    _stringx& FormatV(const wchar_t* format, va_list args);
    static _stringx Formatted(const wchar_t* format, ...);

    _stringx Lower() const;  // CharLowerW
    _stringx Upper() const;  // CharUpperW

private:
    // Few strings are ever handed out as copies: a catalog holds hundreds of thousands of them,
    // so the copies live apart and cost one pointer until asked for.
    struct Copies {
        char* narrow = nullptr;
        size_t narrowCapacity = 0;
        BSTR bstr = nullptr;
    };
    Copies& TheCopies();
    void FreeCopies();

    std::wstring text_;
    Copies* copies_ = nullptr;
};

// Comma-separated folder list to the folders that exist: blanks before each element dropped,
// environment variables expanded, one trailing backslash removed. Duplicates are kept.
void SplitSearchPath(const _stringx& text, std::vector<_stringx>& folders);
// The same, with the elements that name no folder (expanded, as given otherwise) in notFolders.
void SplitSearchPath(const _stringx& text, std::vector<_stringx>& folders, std::vector<_stringx>& notFolders);

// Joins two path parts with exactly one backslash between them.
_stringx JoinPath(const _stringx& left, const _stringx& right);

// _wcsicmp's order. Its locale lookup per character costs more than the compare: the ASCII part of
// two texts is compared here, folded to lower case as it folds, the rest by _wcsicmp.
int CompareNoCase(const wchar_t* a, const wchar_t* b);

// Case-insensitive ordering (_wcsicmp), for maps keyed by folders or collection keys.
struct NoCaseLess {
    bool operator()(const _stringx& a, const _stringx& b) const { return CompareNoCase(a.c_str(), b.c_str()) < 0; }
};
