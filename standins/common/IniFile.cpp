#include "standins/common/IniFile.h"

#include <cstring>
#include <type_traits>
#include "base/FileStamp.h"
#include "base/Handles.h"

namespace {
const size_t kLargestFile = 64 * 1024 * 1024;  // far beyond any settings file; guards against a wrong path

bool IsBlank(unsigned unit) { return unit == ' ' || unit == '\t'; }
bool IsLineBreak(unsigned unit) { return unit == '\r' || unit == '\n'; }

template <typename Text>
unsigned UnitAt(const Text& text, size_t i) {
    return static_cast<unsigned>(static_cast<typename std::make_unsigned<typename Text::value_type>::type>(text[i]));
}

void SwapBytes(std::wstring& text) {
    for (auto& unit : text) unit = static_cast<wchar_t>(((unit & 0xFF) << 8) | ((unit >> 8) & 0xFF));
}

// The thread's last error as an HRESULT; never success, even when a call failed without setting one.
HRESULT LastError() {
    DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

bool HoldsLineBreak(const _stringx& text) {
    for (size_t i = 0; i < text.length(); ++i)
        if (IsLineBreak(text[i]) || text[i] == L'\0') return true;
    return false;
}
}  // namespace

bool IniFile::SameName(const _stringx& a, const _stringx& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.length()), b.c_str(), static_cast<int>(b.length()),
                                TRUE) == CSTR_EQUAL;
}

HRESULT IniFile::Load(const _stringx& path) {
    if (path.empty()) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    unique_file file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return LastError();
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) return LastError();
    if (static_cast<unsigned long long>(size.QuadPart) > kLargestFile) return HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD got = 0;
        if (!ReadFile(file.get(), &bytes[done], static_cast<DWORD>(bytes.size() - done), &got, nullptr))
            return LastError();
        if (got == 0) break;
        done += got;
    }
    bytes.resize(done);
    Parse(std::move(bytes));
    return S_OK;
}

void IniFile::Parse(std::string bytes) {
    narrow_.clear();
    wide_.clear();
    oddByte_.clear();
    if (bytes.size() >= 2 && (bytes.compare(0, 2, "\xFF\xFE") == 0 || bytes.compare(0, 2, "\xFE\xFF") == 0)) {
        encoding_ = bytes[0] == '\xFF' ? Encoding::Utf16Le : Encoding::Utf16Be;
        size_t units = (bytes.size() - 2) / 2;
        wide_.assign(units, L'\0');
        if (units) memcpy(&wide_[0], bytes.data() + 2, units * 2);
        if (encoding_ == Encoding::Utf16Be) SwapBytes(wide_);
        if ((bytes.size() - 2) % 2) oddByte_ = bytes.substr(bytes.size() - 1);
        Scan(wide_);
        return;
    }
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        encoding_ = Encoding::Utf8Bom;
        narrow_ = bytes.substr(3);
    } else {
        // Text that is not valid UTF-8 was written in the ANSI code page.
        bool utf8 = bytes.empty() || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                                         static_cast<int>(bytes.size()), nullptr, 0) > 0;
        encoding_ = utf8 ? Encoding::Utf8 : Encoding::Ansi;
        narrow_ = std::move(bytes);
    }
    Scan(narrow_);
}

_stringx IniFile::Decode(size_t begin, size_t end) const {
    if (end <= begin) return _stringx();
    if (wide()) return _stringx(end - begin, wide_.data() + begin);
    UINT codePage = encoding_ == Encoding::Ansi ? CP_ACP : CP_UTF8;
    int count = static_cast<int>(end - begin);
    int needed = MultiByteToWideChar(codePage, 0, narrow_.data() + begin, count, nullptr, 0);
    if (needed <= 0) return _stringx();
    std::wstring text(static_cast<size_t>(needed), L'\0');
    MultiByteToWideChar(codePage, 0, narrow_.data() + begin, count, &text[0], needed);
    return _stringx(text);
}

bool IniFile::Encode(const _stringx& text, std::string* bytes) const {
    bytes->clear();
    if (text.empty()) return true;
    int count = static_cast<int>(text.length());
    if (encoding_ == Encoding::Ansi) {
        BOOL lossy = FALSE;
        int needed = WideCharToMultiByte(CP_ACP, 0, text.c_str(), count, nullptr, 0, nullptr, &lossy);
        if (needed <= 0 || lossy) return false;
        bytes->assign(static_cast<size_t>(needed), '\0');
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), count, &(*bytes)[0], needed, nullptr, nullptr);
        return true;
    }
    int needed = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.c_str(), count, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return false;
    bytes->assign(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.c_str(), count, &(*bytes)[0], needed, nullptr, nullptr);
    return true;
}

template <typename Text>
void IniFile::Scan(const Text& text) {
    lines_.clear();
    sections_.clear();
    lineEnding_.clear();
    size_t pos = 0;
    const size_t size = text.size();
    while (pos < size) {
        Line line;
        line.begin = pos;
        size_t end = pos;
        while (end < size && !IsLineBreak(UnitAt(text, end))) ++end;
        line.contentEnd = end;
        // CR LF, LF or a lone CR ends a line.
        size_t next = end;
        if (next < size) next += UnitAt(text, next) == '\r' && next + 1 < size && UnitAt(text, next + 1) == '\n' ? 2 : 1;
        if (lineEnding_.empty() && next > end)
            lineEnding_ = next - end == 2 ? L"\r\n" : (UnitAt(text, end) == '\n' ? L"\n" : L"\r");
        pos = next;

        size_t p = line.begin;
        while (p < end && IsBlank(UnitAt(text, p))) ++p;
        line.section = sections_.empty() ? -1 : static_cast<int>(sections_.size() - 1);
        if (p == end || UnitAt(text, p) == ';') {
            lines_.push_back(line);
            continue;
        }
        if (UnitAt(text, p) == '[') {
            size_t close = p + 1;
            while (close < end && UnitAt(text, close) != ']') ++close;
            size_t b = p + 1, e = close;
            while (b < e && IsBlank(UnitAt(text, b))) ++b;
            while (e > b && IsBlank(UnitAt(text, e - 1))) --e;
            line.kind = LineKind::Section;
            line.nameBegin = b;
            line.nameEnd = e;
            line.section = static_cast<int>(sections_.size());
            sections_.push_back(Section{Decode(b, e), {}});
            lines_.push_back(line);
            continue;
        }
        size_t equals = p;
        while (equals < end && UnitAt(text, equals) != '=') ++equals;
        if (equals < end) {
            size_t e = equals;
            while (e > p && IsBlank(UnitAt(text, e - 1))) --e;
            line.kind = LineKind::Key;
            line.nameBegin = p;
            line.nameEnd = e;
            line.valueBegin = equals + 1;
            if (line.section >= 0)
                sections_[line.section].keys.push_back(Key{Decode(p, e), Decode(equals + 1, end)});
        }
        lines_.push_back(line);
    }
    if (lineEnding_.empty()) lineEnding_ = L"\r\n";
}

const IniFile::Section* IniFile::FindSection(const _stringx& name) const {
    for (const Section& section : sections_)
        if (SameName(section.name, name)) return &section;
    return nullptr;
}

const IniFile::Key* IniFile::FindKey(const Section& section, const _stringx& name) {
    for (const Key& key : section.keys)
        if (SameName(key.name, name)) return &key;
    return nullptr;
}

_stringx IniFile::Value(const _stringx& section, const _stringx& key) const {
    const Section* found = FindSection(section);
    const Key* value = found ? FindKey(*found, key) : nullptr;
    return value ? value->value : _stringx();
}

template <typename Text>
HRESULT IniFile::Edit(Text& text, const _stringx& section, const _stringx& key, const _stringx& value) {
    int target = -1;
    for (size_t i = 0; i < sections_.size() && target < 0; ++i)
        if (SameName(sections_[i].name, section)) target = static_cast<int>(i);

    std::wstring added;
    size_t from = text.size(), to = text.size();
    if (target >= 0) {
        const Line* last = nullptr;
        const Line* existing = nullptr;
        for (const Line& line : lines_) {
            if (line.section != target || line.kind == LineKind::Other) continue;
            if (line.kind == LineKind::Key && SameName(Decode(line.nameBegin, line.nameEnd), key)) {
                existing = &line;
                break;
            }
            last = &line;
        }
        if (existing) {
            from = existing->valueBegin;
            to = existing->contentEnd;
            added = value.str();
        } else {
            // A new key goes after the section's last key, ahead of the blank lines and comments
            // that lead into the next section.
            from = to = last->contentEnd;
            added = lineEnding_ + key.str() + L"=" + value.str();
        }
    } else {
        bool open = !text.empty() && !IsLineBreak(UnitAt(text, text.size() - 1));
        added = (open ? lineEnding_ : std::wstring()) + L"[" + section.str() + L"]" + lineEnding_ + key.str() + L"=" +
                value.str() + lineEnding_;
    }
    Text units;
    if (!Encode(added, &units)) return E_INVALIDARG;
    text.replace(from, to - from, units);
    Scan(text);
    return S_OK;
}

HRESULT IniFile::SetValue(const _stringx& section, const _stringx& key, const _stringx& value) {
    if (HoldsLineBreak(value) || HoldsLineBreak(section) || HoldsLineBreak(key)) return E_INVALIDARG;
    try {
        return wide() ? Edit(wide_, section, key, value) : Edit(narrow_, section, key, value);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

std::string IniFile::Bytes() const {
    std::string bytes;
    switch (encoding_) {
    case Encoding::Utf8Bom:
        bytes = "\xEF\xBB\xBF";
        [[fallthrough]];
    case Encoding::Utf8:
    case Encoding::Ansi:
        bytes += narrow_;
        return bytes;
    case Encoding::Utf16Le:
    case Encoding::Utf16Be: {
        std::wstring units = wide_;
        if (encoding_ == Encoding::Utf16Be) SwapBytes(units);
        bytes = encoding_ == Encoding::Utf16Le ? "\xFF\xFE" : "\xFE\xFF";
        bytes.append(reinterpret_cast<const char*>(units.data()), units.size() * 2);
        bytes += oddByte_;
        return bytes;
    }
    }
    return bytes;
}

HRESULT IniFile::Save(const _stringx& path) const {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)))
        return E_ACCESSDENIED;
    size_t slash = path.str().find_last_of(L"\\/");
    _stringx folder = slash == std::wstring::npos ? _stringx(L".") : path.substr(0, slash + 1);
    wchar_t temporary[MAX_PATH] = {};
    if (!GetTempFileNameW(folder.c_str(), L"ini", 0, temporary)) return LastError();

    std::string bytes = Bytes();
    HRESULT hr = S_OK;
    {
        unique_file file(CreateFileW(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file || !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size() || !FlushFileBuffers(file.get()))
            hr = LastError();
    }
    if (SUCCEEDED(hr) && !MoveFileExW(temporary, path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        hr = LastError();
    if (FAILED(hr)) DeleteFileW(temporary);
    return hr;
}

_stringx ThisModuleFolder() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ThisModuleFolder), &module);
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
        if (n == 0) return _stringx();
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? _stringx() : _stringx(path.substr(0, slash));
}

_stringx AppServicesIniPath() {
    DWORD needed = GetEnvironmentVariableW(L"CVAPPSERVICES_INI", nullptr, 0);
    if (needed > 1) {
        std::wstring path(needed, L'\0');
        DWORD got = GetEnvironmentVariableW(L"CVAPPSERVICES_INI", &path[0], needed);
        if (got > 0 && got < needed) {
            path.resize(got);
            return path;
        }
    }
    return JoinPath(ThisModuleFolder(), L"AppServices.ini");
}

std::shared_ptr<const IniFile> AppServicesSettings() {
    static auto* kept = new KeptFromFile<IniFile>;  // never destroyed: callers may run at process exit
    const _stringx path = AppServicesIniPath();
    return kept->Get(path.str(), [&] {
        auto file = std::make_shared<IniFile>();
        return SUCCEEDED(file->Load(path)) ? file : nullptr;
    });
}

_stringx AppServicesValue(const wchar_t* section, const wchar_t* key) {
    std::shared_ptr<const IniFile> file = AppServicesSettings();
    return file ? file->Value(section, key) : _stringx();
}
