#include "tools/FixtureBuilder.h"

#include <wtypes.h>
#include <objbase.h>
#include <propidl.h>
#include <msi.h>
#include <msiquery.h>

namespace {

[[noreturn]] void Fail(const std::wstring& what) { FailFixture(what); }

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

void WriteSummary(MSIHANDLE database, const std::map<std::wstring, std::wstring>& summary, const FILETIME* savedTime,
                  std::vector<ForeignProperty>& foreign) {
    Handle info;
    Check(MsiGetSummaryInformationW(database, nullptr, 20, info.put()), L"MsiGetSummaryInformation");
    FILETIME now;
    if (savedTime)
        now = *savedTime;
    else
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

}  // namespace

void FailFixture(const std::wstring& what) {
    std::wstring message = what;
    MSIHANDLE error = MsiGetLastErrorRecord();
    if (error) {
        wchar_t text[1024];
        DWORD size = ARRAYSIZE(text);
        MsiFormatRecordW(0, error, text, &size);
        message += L"\n  installer error: " + std::wstring(text);
        MsiCloseHandle(error);
    }
    throw FixtureError{message};
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

std::wstring MakeTempFolder() {
    wchar_t base[MAX_PATH], name[MAX_PATH];
    if (!GetTempPathW(MAX_PATH, base) || !GetTempFileNameW(base, L"fix", 0, name)) Fail(L"no temporary folder");
    DeleteFileW(name);
    if (!CreateDirectoryW(name, nullptr)) Fail(L"cannot create " + std::wstring(name));
    return name;
}

void BuildModule(const std::wstring& output, const ModuleSource& source, const std::wstring& workFolder) {
    std::vector<std::wstring> imports;
    auto codepage = source.summary.find(L"Codepage");
    if (codepage != source.summary.end()) {
        WriteAnsi(workFolder + L"\\_ForceCodepage.idt", L"\r\n\r\n" + codepage->second + L"\t_ForceCodepage\r\n");
        imports.push_back(L"_ForceCodepage.idt");
    }
    for (const auto& table : source.tables) {
        WriteAnsi(workFolder + L"\\" + table.fileName, table.text);
        imports.push_back(table.fileName);
    }

    DeleteFileW(output.c_str());
    try {
        std::vector<ForeignProperty> foreign;
        {
            Handle database;
            Check(MsiOpenDatabaseW(output.c_str(), MSIDBOPEN_CREATE, database.put()), L"MsiOpenDatabase " + output);
            for (const auto& name : imports)
                Check(MsiDatabaseImportW(database.get(), workFolder.c_str(), name.c_str()), L"import " + name);
            if (!source.summary.empty()) WriteSummary(database.get(), source.summary, source.savedTime, foreign);
            Check(MsiDatabaseCommit(database.get()), L"MsiDatabaseCommit");
        }
        for (const auto& name : imports) DeleteFileW((workFolder + L"\\" + name).c_str());
        if (!foreign.empty()) {
            CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            WriteForeignProperties(output, foreign);
            CoUninitialize();
        }
    } catch (...) {
        for (const auto& name : imports) DeleteFileW((workFolder + L"\\" + name).c_str());
        DeleteFileW(output.c_str());
        throw;
    }
}
