// Builds a test merge module from readable sources through msi.dll's create mode.
//
//   make_fixture OUT.msm SOURCE...
//
// Each SOURCE is a table in IDT form ("*.idt") or a summary file (any other name) of Name=Value
// lines ('#' starts a comment). Later sources override earlier ones: a table by its file name, a
// summary value by its name, so a variant lists its base's sources and then its own.
//
// Values may be written as directives where the literal text would be unreadable:
//   @repeat:TEXT:COUNT   TEXT repeated COUNT times (table fields and summary values)
//   @int:N               the summary property stored as a 4-byte integer, whatever its usual type
//   @filetime:YYYY-MM-DD the summary property stored as a date
// Summary names: Codepage, Title, Subject, Author, Keywords, Comments, Template, LastSavedBy,
// RevisionNumber, PageCount, WordCount, CharCount, AppName, Security. Codepage also sets the
// database's own code page.
#include <windows.h>
#include <msiquery.h>
#include <cstdio>
#include <map>
#include <string>
#include <vector>
#include "tools/FixtureBuilder.h"
#include "base/Utf8.h"

namespace {

[[noreturn]] void Fail(const std::wstring& what) { throw FixtureError{what}; }

std::string ReadFileBytes(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) Fail(L"cannot read " + path);
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got) bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

std::wstring StrictUtf8(const std::string& bytes) {
    std::wstring text;
    if (!FromUtf8Strict(bytes, text)) Fail(L"source is not UTF-8");
    return text;
}

std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos) return parts;
        start = end + 1;
    }
}

std::wstring FileNameOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool EndsWithNoCase(const std::wstring& text, const wchar_t* tail) {
    size_t n = wcslen(tail);
    return text.size() >= n && _wcsicmp(text.c_str() + text.size() - n, tail) == 0;
}

// Rows start at the fourth line; the first three name the columns, their types and the table.
std::wstring ExpandTable(const std::wstring& text) {
    std::wstring out;
    std::vector<std::wstring> lines = Split(text, L'\n');
    for (size_t i = 0; i < lines.size(); ++i) {
        std::wstring line = lines[i];
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        if (i >= 3) {
            std::vector<std::wstring> fields = Split(line, L'\t');
            line.clear();
            for (size_t f = 0; f < fields.size(); ++f) line += (f ? L"\t" : L"") + ExpandValue(fields[f]);
        }
        if (i + 1 < lines.size() || !line.empty()) out += line + L"\r\n";
    }
    return out;
}

std::wstring Trim(const std::wstring& text) {
    size_t first = text.find_first_not_of(L" \t\r");
    if (first == std::wstring::npos) return std::wstring();
    return text.substr(first, text.find_last_not_of(L" \t\r") - first + 1);
}

void ReadSummarySource(const std::wstring& path, std::map<std::wstring, std::wstring>& summary) {
    for (const auto& raw : Split(StrictUtf8(ReadFileBytes(path)), L'\n')) {
        std::wstring line = Trim(raw);
        if (line.empty() || line[0] == L'#') continue;
        size_t equals = line.find(L'=');
        if (equals == std::wstring::npos) Fail(L"no '=' in summary line: " + line);
        summary[Trim(line.substr(0, equals))] = Trim(line.substr(equals + 1));
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        fwprintf(stderr, L"usage: make_fixture OUT.msm SOURCE...\n");
        return 2;
    }
    try {
        std::wstring output = argv[1];
        std::map<std::wstring, std::wstring> tables;  // file name -> source path, later ones win
        std::vector<std::wstring> tableOrder;
        ModuleSource module;
        for (int i = 2; i < argc; ++i) {
            std::wstring source = argv[i];
            if (EndsWithNoCase(source, L".idt")) {
                std::wstring name = FileNameOf(source);
                if (!tables.count(name)) tableOrder.push_back(name);
                tables[name] = source;
            } else {
                ReadSummarySource(source, module.summary);
            }
        }
        for (const auto& name : tableOrder)
            module.tables.push_back({name, ExpandTable(StrictUtf8(ReadFileBytes(tables[name])))});

        std::wstring work = MakeTempFolder();
        try {
            BuildModule(output, module, work);
        } catch (...) {
            RemoveDirectoryW(work.c_str());
            throw;
        }
        RemoveDirectoryW(work.c_str());
        if (UINT open = MsiCloseAllHandles()) {
            DeleteFileW(output.c_str());
            Fail(std::to_wstring(open) + L" installer handles left open");
        }
    } catch (const FixtureError& error) {
        fwprintf(stderr, L"make_fixture: %ls\n", error.message.c_str());
        MsiCloseAllHandles();
        return 1;
    }
    return 0;
}
