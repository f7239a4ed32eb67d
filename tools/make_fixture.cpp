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
#include <wtypes.h>
#include <objbase.h>
#include <propidl.h>
#include <msi.h>
#include <msiquery.h>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

std::wstring g_output;  // removed on failure so that a half-written module never looks built

void Fail(const std::wstring& what) {
    fwprintf(stderr, L"make_fixture: %ls\n", what.c_str());
    MSIHANDLE error = MsiGetLastErrorRecord();
    if (error) {
        wchar_t text[1024];
        DWORD size = ARRAYSIZE(text);
        MsiFormatRecordW(0, error, text, &size);
        fwprintf(stderr, L"  installer error: %ls\n", text);
        MsiCloseHandle(error);
    }
    MsiCloseAllHandles();
    if (!g_output.empty()) DeleteFileW(g_output.c_str());
    exit(1);
}

void Check(UINT code, const std::wstring& what) {
    if (code != ERROR_SUCCESS) Fail(what + L" failed with " + std::to_wstring(code));
}

class Handle {
public:
    Handle() = default;
    ~Handle() {
        if (h_) MsiCloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    MSIHANDLE* put() { return &h_; }
    MSIHANDLE get() const { return h_; }

private:
    MSIHANDLE h_ = 0;
};

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

std::wstring FromUtf8(const std::string& bytes) {
    if (bytes.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (n <= 0) Fail(L"source is not UTF-8");
    std::wstring text(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], n);
    return text;
}

// The installer imports table files in the ANSI code page; every character must survive that.
void WriteAnsi(const std::wstring& path, const std::wstring& text) {
    std::string bytes;
    if (!text.empty()) {
        BOOL lossy = FALSE;
        int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, &lossy);
        bytes.resize(n);
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], n, nullptr, &lossy);
        if (lossy) Fail(L"a character of " + path + L" has no ANSI form");
    }
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) Fail(L"cannot write " + path);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
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

std::wstring ExpandValue(const std::wstring& value) {
    const std::wstring repeat = L"@repeat:";
    if (value.compare(0, repeat.size(), repeat) != 0) return value;
    size_t colon = value.rfind(L':');
    if (colon < repeat.size()) Fail(L"bad directive " + value);
    std::wstring unit = value.substr(repeat.size(), colon - repeat.size());
    int count = _wtoi(value.c_str() + colon + 1);
    std::wstring out;
    for (int i = 0; i < count; ++i) out += unit;
    return out;
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
    for (const auto& raw : Split(FromUtf8(ReadFileBytes(path)), L'\n')) {
        std::wstring line = Trim(raw);
        if (line.empty() || line[0] == L'#') continue;
        size_t equals = line.find(L'=');
        if (equals == std::wstring::npos) Fail(L"no '=' in summary line: " + line);
        summary[Trim(line.substr(0, equals))] = Trim(line.substr(equals + 1));
    }
}

struct SummaryName {
    const wchar_t* name;
    UINT pid;
    VARTYPE type;
};
const SummaryName kSummaryNames[] = {
    {L"Codepage", 1, VT_I2},        {L"Title", 2, VT_LPSTR},     {L"Subject", 3, VT_LPSTR},
    {L"Author", 4, VT_LPSTR},       {L"Keywords", 5, VT_LPSTR},  {L"Comments", 6, VT_LPSTR},
    {L"Template", 7, VT_LPSTR},     {L"LastSavedBy", 8, VT_LPSTR}, {L"RevisionNumber", 9, VT_LPSTR},
    {L"PageCount", 14, VT_I4},      {L"WordCount", 15, VT_I4},   {L"CharCount", 16, VT_I4},
    {L"AppName", 18, VT_LPSTR},     {L"Security", 19, VT_I4},
};

// A property whose stored type differs from its usual one; the installer refuses to write those.
struct ForeignProperty {
    UINT pid;
    VARTYPE type;
    int number;
    FILETIME time;
};

bool ParseDate(const std::wstring& text, FILETIME& time) {
    SYSTEMTIME st{};
    if (swscanf(text.c_str(), L"%hu-%hu-%hu", &st.wYear, &st.wMonth, &st.wDay) != 3) return false;
    return SystemTimeToFileTime(&st, &time) != 0;
}

void WriteSummary(MSIHANDLE database, const std::map<std::wstring, std::wstring>& summary,
                  std::vector<ForeignProperty>& foreign) {
    Handle info;
    Check(MsiGetSummaryInformationW(database, nullptr, 20, info.put()), L"MsiGetSummaryInformation");
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    Check(MsiSummaryInfoSetPropertyW(info.get(), 12, VT_FILETIME, 0, &now, nullptr), L"summary create time");
    Check(MsiSummaryInfoSetPropertyW(info.get(), 13, VT_FILETIME, 0, &now, nullptr), L"summary save time");
    for (const auto& item : summary) {
        const SummaryName* known = nullptr;
        for (const auto& name : kSummaryNames)
            if (item.first == name.name) known = &name;
        if (!known) Fail(L"unknown summary name " + item.first);
        const std::wstring& value = item.second;
        ForeignProperty property{known->pid, VT_EMPTY, 0, {}};
        if (value.compare(0, 5, L"@int:") == 0) {
            property.type = VT_I4;
            property.number = _wtoi(value.c_str() + 5);
        } else if (value.compare(0, 10, L"@filetime:") == 0) {
            property.type = VT_FILETIME;
            if (!ParseDate(value.substr(10), property.time)) Fail(L"bad date " + value);
        }
        UINT result;
        if (property.type == VT_EMPTY) {
            if (known->type == VT_LPSTR)
                result = MsiSummaryInfoSetPropertyW(info.get(), known->pid, VT_LPSTR, 0, nullptr,
                                                    ExpandValue(value).c_str());
            else
                result = MsiSummaryInfoSetPropertyW(info.get(), known->pid, known->type, _wtoi(value.c_str()), nullptr,
                                                    nullptr);
        } else if (property.type == known->type || (property.type == VT_I4 && known->type == VT_I2)) {
            result = MsiSummaryInfoSetPropertyW(info.get(), known->pid, known->type, property.number, &property.time,
                                                nullptr);
        } else {
            result = ERROR_DATATYPE_MISMATCH;
        }
        if (result == ERROR_DATATYPE_MISMATCH && property.type != VT_EMPTY)
            foreign.push_back(property);
        else
            Check(result, L"summary property " + item.first);
    }
    Check(MsiSummaryInfoPersist(info.get()), L"MsiSummaryInfoPersist");
}

// The storage's property writer may end the stream right after a string whose length is not a
// multiple of four, short of the size its own section header states; the installer then refuses
// the whole stream. Zero bytes up to the stated size put that right.
HRESULT PadSummaryStream(IStorage* storage) {
    IStream* stream = nullptr;
    HRESULT hr = storage->OpenStream(L"\005SummaryInformation", nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                                     &stream);
    if (FAILED(hr)) return hr;
    DWORD sectionOffset = 0, sectionSize = 0;
    ULONG got = 0;
    LARGE_INTEGER at{};
    at.QuadPart = 0x2C;  // after the set header and the section's format id
    hr = stream->Seek(at, STREAM_SEEK_SET, nullptr);
    if (SUCCEEDED(hr)) hr = stream->Read(&sectionOffset, sizeof(sectionOffset), &got);
    at.QuadPart = sectionOffset;
    if (SUCCEEDED(hr)) hr = stream->Seek(at, STREAM_SEEK_SET, nullptr);
    if (SUCCEEDED(hr)) hr = stream->Read(&sectionSize, sizeof(sectionSize), &got);
    STATSTG stat{};
    if (SUCCEEDED(hr)) hr = stream->Stat(&stat, STATFLAG_NONAME);
    ULONGLONG stated = static_cast<ULONGLONG>(sectionOffset) + sectionSize;
    if (SUCCEEDED(hr) && stat.cbSize.QuadPart < stated) {
        std::vector<char> zeros(static_cast<size_t>(stated - stat.cbSize.QuadPart), 0);
        at.QuadPart = 0;
        hr = stream->Seek(at, STREAM_SEEK_END, nullptr);
        if (SUCCEEDED(hr)) hr = stream->Write(zeros.data(), static_cast<ULONG>(zeros.size()), &got);
    }
    stream->Release();
    return hr;
}

// Rewrites properties of the finished file's summary stream through the structured storage itself.
void WriteForeignProperties(const std::wstring& path, const std::vector<ForeignProperty>& foreign) {
    if (foreign.empty()) return;
    IStorage* storage = nullptr;
    HRESULT hr = StgOpenStorage(path.c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0, &storage);
    if (FAILED(hr)) Fail(L"StgOpenStorage failed");
    IPropertySetStorage* sets = nullptr;
    IPropertyStorage* properties = nullptr;
    hr = storage->QueryInterface(IID_IPropertySetStorage, reinterpret_cast<void**>(&sets));
    if (SUCCEEDED(hr))
        hr = sets->Open(FMTID_SummaryInformation, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, &properties);
    for (const auto& property : foreign) {
        if (FAILED(hr)) break;
        PROPSPEC which{};
        which.ulKind = PRSPEC_PROPID;
        which.propid = property.pid;
        PROPVARIANT value{};
        value.vt = property.type;
        if (property.type == VT_I4)
            value.lVal = property.number;
        else
            value.filetime = property.time;
        hr = properties->WriteMultiple(1, &which, &value, 2);
    }
    if (SUCCEEDED(hr) && properties) hr = properties->Commit(STGC_DEFAULT);
    if (properties) properties->Release();
    if (sets) sets->Release();
    if (SUCCEEDED(hr)) hr = PadSummaryStream(storage);
    if (SUCCEEDED(hr)) hr = storage->Commit(STGC_DEFAULT);
    storage->Release();
    if (FAILED(hr)) Fail(L"cannot write the summary stream: " + std::to_wstring(static_cast<unsigned long>(hr)));
}

std::wstring MakeTempFolder() {
    wchar_t base[MAX_PATH], name[MAX_PATH];
    if (!GetTempPathW(MAX_PATH, base) || !GetTempFileNameW(base, L"fix", 0, name)) Fail(L"no temporary folder");
    DeleteFileW(name);
    if (!CreateDirectoryW(name, nullptr)) Fail(L"cannot create " + std::wstring(name));
    return name;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        fwprintf(stderr, L"usage: make_fixture OUT.msm SOURCE...\n");
        return 2;
    }
    std::wstring output = argv[1];
    std::map<std::wstring, std::wstring> tables;  // file name -> source path, later ones win
    std::vector<std::wstring> tableOrder;
    std::map<std::wstring, std::wstring> summary;
    for (int i = 2; i < argc; ++i) {
        std::wstring source = argv[i];
        if (EndsWithNoCase(source, L".idt")) {
            std::wstring name = FileNameOf(source);
            if (!tables.count(name)) tableOrder.push_back(name);
            tables[name] = source;
        } else {
            ReadSummarySource(source, summary);
        }
    }

    std::wstring work = MakeTempFolder();
    std::vector<std::wstring> imports;
    auto codepage = summary.find(L"Codepage");
    if (codepage != summary.end()) {
        WriteAnsi(work + L"\\_ForceCodepage.idt", L"\r\n\r\n" + codepage->second + L"\t_ForceCodepage\r\n");
        imports.push_back(L"_ForceCodepage.idt");
    }
    for (const auto& name : tableOrder) {
        WriteAnsi(work + L"\\" + name, ExpandTable(FromUtf8(ReadFileBytes(tables[name]))));
        imports.push_back(name);
    }

    DeleteFileW(output.c_str());
    g_output = output;
    std::vector<ForeignProperty> foreign;
    {
        Handle database;
        Check(MsiOpenDatabaseW(output.c_str(), MSIDBOPEN_CREATE, database.put()), L"MsiOpenDatabase " + output);
        for (const auto& name : imports) Check(MsiDatabaseImportW(database.get(), work.c_str(), name.c_str()), L"import " + name);
        if (!summary.empty()) WriteSummary(database.get(), summary, foreign);
        Check(MsiDatabaseCommit(database.get()), L"MsiDatabaseCommit");
    }
    for (const auto& name : imports) DeleteFileW((work + L"\\" + name).c_str());
    RemoveDirectoryW(work.c_str());

    if (!foreign.empty()) {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        WriteForeignProperties(output, foreign);
        CoUninitialize();
    }
    if (UINT open = MsiCloseAllHandles()) Fail(std::to_wstring(open) + L" installer handles left open");
    g_output.clear();
    return 0;
}
