#include "tests/support/CorpusManifest.h"

#include <windows.h>
#include <shlwapi.h>
#include "base/Utf8.h"

namespace {
std::vector<std::wstring> Fields(const std::wstring& line) {
    std::vector<std::wstring> fields;
    size_t start = 0;
    for (size_t tab; (tab = line.find(L'\t', start)) != std::wstring::npos; start = tab + 1)
        fields.push_back(line.substr(start, tab - start));
    fields.push_back(line.substr(start));
    return fields;
}

bool ReadUtf8(const std::wstring& path, std::wstring& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got) bytes.append(buffer, got);
    CloseHandle(file);
    text = FromUtf8(bytes);
    return true;
}
}  // namespace

std::wstring CorpusFile::TargetPath() const {
    if (folder.empty()) return name;
    // Below a bracketed root the name follows the bracket directly.
    return folder + (folder.back() == L']' ? L"" : L"\\") + name;
}

bool CorpusManifest::Read(const std::wstring& path, std::wstring* error) {
    std::wstring text;
    if (!ReadUtf8(path, text)) {
        if (error) *error = L"cannot read " + path;
        return false;
    }
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        if (line.empty() || line[0] == L'#') continue;
        std::vector<std::wstring> f = Fields(line);
        const std::wstring& kind = f[0];
        if (kind == L"module" && f.size() == 6) {
            modules.push_back({f[1], f[2], f[3], f[4], f[5]});
        } else if (kind == L"file" && f.size() == 6) {
            auto m = modules.rbegin();
            while (m != modules.rend() && m->path != f[1]) ++m;
            if (m == modules.rend()) {
                if (error) *error = L"a file of no listed module: " + line;
                return false;
            }
            files.push_back({f[1], f[2], f[3], f[4], f[5], false, m->moduleId, m->language});
        } else if ((kind == L"gallery" || kind == L"shadowed") && f.size() == 6) {
            (kind == L"gallery" ? files : shadowed).push_back({f[1], L"[SystemFolder]", L"", f[4], f[5], true, f[2], f[3]});
        } else if (kind == L"exclusion" && f.size() == 3) {
            exclusions.push_back({f[1], f[2]});
        } else if (kind == L"indexed" && f.size() == 3) {
            indexed.push_back({f[1], f[2]});
        } else if (kind == L"planted" && f.size() == 4) {
            PlantedAnswer answer{f[1], f[2], {}};
            for (size_t from = 0, space = 0; space != std::wstring::npos; from = space + 1) {
                space = f[3].find(L' ', from);
                answer.signatures.push_back(f[3].substr(from, space == std::wstring::npos ? space : space - from));
            }
            planted.push_back(answer);
        } else if (kind == L"patterns" && f.size() == 2) {
            size_t from = 0;
            for (size_t comma; (comma = f[1].find(L',', from)) != std::wstring::npos; from = comma + 1)
                patterns.push_back(f[1].substr(from, comma - from));
            patterns.push_back(f[1].substr(from));
        } else {
            if (error) *error = L"not understood: " + line;
            return false;
        }
    }
    return true;
}

bool CorpusManifest::IsExcluded(const CorpusFile& file) const {
    for (const auto& pattern : patterns)
        if (!pattern.empty() && PathMatchSpecW(file.name.c_str(), pattern.c_str())) return true;
    for (const auto& exclusion : exclusions)
        if (exclusion.first == file.module && _wcsicmp(exclusion.second.c_str(), file.name.c_str()) == 0) return true;
    return false;
}
