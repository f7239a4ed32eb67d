// Runs damaged copies of good modules through the server as a client would, and counts what
// happens to the client's process: crashes, hangs, installer handles left open, inputs changed.
//
//   damage_campaign SEED COUNT WORKFOLDER GOOD.msm...
//
// Writes COUNT damaged copies (the same seed, the same files) to WORKFOLDER\damaged, opens each with
// MergeModule2 and reads every property and every list, then makes a catalog over the damaged
// folder and a folder of the good modules and reads all of it. Each walk runs in a child process
// watched with a time limit; a child that dies or stalls is counted and the walk goes on after
// that file. Exits 0 when nothing crashed or hung, no handle was left open, every good module was
// listed under its key and every input is byte-identical afterwards.
//
// The children: damage_campaign --walk LISTFILE FIRST, damage_campaign --catalog GOODLIST.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <msi.h>
#include <msiquery.h>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>
#include "base/Handles.h"
#include "tests/reliability/DamageWalk.h"
#include "tools/ModuleDamage.h"

namespace {
bool WriteAll(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

constexpr DWORD kFileTimeLimit = 90000;      // two reader time limits for each read, and room
constexpr DWORD kCatalogTimeLimit = 900000;  // the whole catalog, damaged files included


// ---------------------------------------------------------------- the supervisor

struct Counts {
    size_t files = 0, opened = 0, unopened = 0, crashes = 0, hangs = 0, handles = 0;
};

// The key of a good module, read with nothing but msi.dll: the reference the catalog must match.
std::wstring KeyOf(const std::wstring& path) {
    MSIHANDLE database = 0, view = 0, record = 0;
    std::wstring key;
    if (MsiOpenDatabaseW(path.c_str(), MSIDBOPEN_READONLY, &database) == ERROR_SUCCESS &&
        MsiDatabaseOpenViewW(database, L"SELECT `ModuleID`, `Language` FROM `ModuleSignature`", &view) ==
            ERROR_SUCCESS &&
        MsiViewExecute(view, 0) == ERROR_SUCCESS && MsiViewFetch(view, &record) == ERROR_SUCCESS) {
        wchar_t id[256];
        DWORD size = 256;
        MsiRecordGetStringW(record, 1, id, &size);
        key = std::wstring(id) + L":" + std::to_wstring(MsiRecordGetInteger(record, 2));
    }
    for (MSIHANDLE h : {record, view, database})
        if (h) MsiCloseHandle(h);
    return key;
}

class Child {
public:
    bool Start(const std::wstring& commandLine) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE write = nullptr;
        if (!CreatePipe(&read_, &write, &inherit, 0)) return false;
        SetHandleInformation(read_, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = write;
        startup.hStdError = write;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        PROCESS_INFORMATION info{};
        std::wstring line = commandLine;
        BOOL ok = CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
        CloseHandle(write);
        if (!ok) return false;
        CloseHandle(info.hThread);
        process_ = info.hProcess;
        return true;
    }
    ~Child() {
        if (process_) {
            TerminateProcess(process_, 1);
            WaitForSingleObject(process_, 10000);
            CloseHandle(process_);
        }
        if (read_) CloseHandle(read_);
    }
    // The next line, or false when the child ended (ended) or said nothing in time (stalled).
    bool NextLine(std::string& line, DWORD limit, bool& stalled) {
        stalled = false;
        ULONGLONG deadline = GetTickCount64() + limit;
        for (;;) {
            size_t end = pending_.find('\n');
            if (end != std::string::npos) {
                line = pending_.substr(0, end);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                pending_.erase(0, end + 1);
                return true;
            }
            DWORD available = 0;
            if (!PeekNamedPipe(read_, nullptr, 0, nullptr, &available, nullptr)) return false;
            if (available) {
                std::string chunk(available, '\0');
                DWORD got = 0;
                if (!ReadFile(read_, &chunk[0], available, &got, nullptr)) return false;
                pending_.append(chunk, 0, got);
                continue;
            }
            if (GetTickCount64() > deadline) {
                stalled = true;
                return false;
            }
            Sleep(10);
        }
    }

private:
    HANDLE process_ = nullptr;
    HANDLE read_ = nullptr;
    std::string pending_;
};

std::wstring SelfPath() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

std::wstring Backslashed(std::wstring path) {
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    return path;
}

// What the campaign wrote and must find unchanged at its end.
struct Campaign {
    std::wstring work, damagedFolder, goodFolder;
    std::vector<std::string> originals;
    std::vector<std::wstring> goodCopies;
    std::vector<std::wstring> damaged;
    std::vector<std::string> damagedBytes;
    std::map<std::string, size_t> kinds;
};

// Copies of the good modules, and the list of their keys the catalog must show.
void WriteGoods(Campaign& campaign, const std::vector<std::wstring>& goods) {
    std::string goodList;
    for (const std::wstring& good : goods) {
        campaign.originals.push_back(ReadAll(good));
        std::wstring copy = campaign.goodFolder + Backslashed(good).substr(Backslashed(good).rfind(L'\\'));
        WriteAll(copy, campaign.originals.back());
        campaign.goodCopies.push_back(copy);
        goodList += Narrow(KeyOf(copy)) + "\t" + Narrow(copy) + "\n";
    }
    WriteAll(campaign.work + L"\\good.txt", goodList);
}

void WriteDamaged(Campaign& campaign, uint64_t seed, uint32_t count) {
    std::string list;
    for (uint32_t i = 0; i < count; ++i) {
        DamageKind kind;
        campaign.damagedBytes.push_back(
            DamageModule(campaign.originals[i % campaign.originals.size()], seed, i, kind));
        ++campaign.kinds[DamageName(kind)];
        wchar_t name[64];
        swprintf(name, 64, L"\\d%05u-%hs.msm", i, DamageName(kind));
        campaign.damaged.push_back(campaign.damagedFolder + name);
        WriteAll(campaign.damaged.back(), campaign.damagedBytes.back());
        list += Narrow(campaign.damaged.back()) + "\n";
    }
    WriteAll(campaign.work + L"\\damaged.txt", list);
    // Damaged copies first, good modules after them: a later folder wins an equal key.
    std::string ini = "[Folders]\r\nApplication=" + Narrow(campaign.work) + "\\App\r\n[MergeModules]\r\nSearchPath=" +
                      Narrow(campaign.damagedFolder) + "," + Narrow(campaign.goodFolder) + "\r\n";
    WriteAll(campaign.work + L"\\AppServices.ini", ini);
    SetEnvironmentVariableW(L"CVAPPSERVICES_INI", (campaign.work + L"\\AppServices.ini").c_str());
}

// Walks every damaged file in watched children, a fresh child after each crash or hang; false
// when a walker failed in a way that is not the server's doing.
bool WalkEveryDamagedFile(const Campaign& campaign, Counts& counts) {
    const size_t count = campaign.damaged.size();
    std::wstring self = L"\"" + SelfPath() + L"\"";
    size_t next = 0;
    while (next < count) {
        Child child;
        if (!child.Start(self + L" --walk \"" + campaign.work + L"\\damaged.txt\" " + std::to_wstring(next))) return false;
        size_t current = next;
        bool inFile = false;
        std::string line;
        bool stalled = false;
        while (child.NextLine(line, kFileTimeLimit, stalled)) {
            unsigned long long index = 0;
            char state[16] = "", key[512] = "";
            unsigned handles = 0;
            if (sscanf(line.c_str(), "begin %llu", &index) == 1) {
                current = static_cast<size_t>(index);
                inFile = true;
            } else if (sscanf(line.c_str(), "end %llu %15s %511s", &index, state, key) >= 2) {
                inFile = false;
                next = static_cast<size_t>(index) + 1;
                // A file read as a database that does not open has the empty signature.
                ++(strcmp(state, "opened") == 0 && strcmp(key, ":0") != 0 ? counts.opened : counts.unopened);
            } else if (sscanf(line.c_str(), "handles %u", &handles) == 1) {
                counts.handles += handles;
            } else if (line.rfind("error", 0) == 0) {
                printf("walker: %s\n", line.c_str());
                return false;
            }
        }
        if (inFile || stalled) {
            ++(stalled ? counts.hangs : counts.crashes);
            printf("%s: %s\n", stalled ? "HANG" : "CRASH", Narrow(campaign.damaged[current]).c_str());
            next = current + 1;
        } else if (next <= current && next < count) {
            printf("walker ended early at %zu\n", current);
            return false;
        }
    }
    return true;
}

// The good modules listed under their keys by a catalog over every file.
struct CatalogCounts {
    size_t good = 0, goodTotal = 0, listed = 0;
};

bool WalkTheCatalog(const Campaign& campaign, Counts& counts, CatalogCounts& catalog) {
    Child child;
    if (!child.Start(L"\"" + SelfPath() + L"\" --catalog \"" + campaign.work + L"\\good.txt\"")) return false;
    std::string line;
    bool stalled = false, done = false;
    while (child.NextLine(line, kCatalogTimeLimit, stalled)) {
        unsigned handles = 0;
        if (sscanf(line.c_str(), "good %zu %zu", &catalog.good, &catalog.goodTotal) == 2 ||
            sscanf(line.c_str(), "listed %zu", &catalog.listed) == 1)
            continue;
        if (sscanf(line.c_str(), "handles %u", &handles) == 1) {
            counts.handles += handles;
            done = true;
        } else {
            printf("catalog: %s\n", line.c_str());
        }
    }
    if (!done) {
        ++(stalled ? counts.hangs : counts.crashes);
        printf("%s: the catalog over every file\n", stalled ? "HANG" : "CRASH");
    }
    return true;
}

size_t CountChangedInputs(const Campaign& campaign) {
    size_t changed = 0;
    for (size_t i = 0; i < campaign.damaged.size(); ++i)
        if (ReadAll(campaign.damaged[i]) != campaign.damagedBytes[i]) ++changed;
    for (size_t i = 0; i < campaign.goodCopies.size(); ++i)
        if (ReadAll(campaign.goodCopies[i]) != campaign.originals[i]) ++changed;
    return changed;
}

int Supervise(uint64_t seed, uint32_t count, const std::wstring& workFolder, const std::vector<std::wstring>& goods) {
    Campaign campaign;
    campaign.work = Backslashed(workFolder);
    campaign.damagedFolder = campaign.work + L"\\damaged";
    campaign.goodFolder = campaign.work + L"\\good";
    for (const std::wstring* folder : {&campaign.work, &campaign.damagedFolder, &campaign.goodFolder})
        CreateDirectoryW(folder->c_str(), nullptr);
    WriteGoods(campaign, goods);
    WriteDamaged(campaign, seed, count);

    Counts counts;
    counts.files = count;
    CatalogCounts catalog;
    if (!WalkEveryDamagedFile(campaign, counts) || !WalkTheCatalog(campaign, counts, catalog)) return 2;
    size_t changed = CountChangedInputs(campaign);

    printf("damage:");
    for (const auto& kind : campaign.kinds) printf(" %s %zu", kind.first.c_str(), kind.second);
    printf("\nfiles %zu  read %zu  read as not opening %zu  crashes %zu  hangs %zu  handles left open %zu\n", counts.files,
           counts.opened, counts.unopened, counts.crashes, counts.hangs, counts.handles);
    printf("catalog: %zu keys listed, good modules under their keys %zu of %zu, inputs changed %zu\n", catalog.listed,
           catalog.good, catalog.goodTotal, changed);
    bool passed = counts.crashes == 0 && counts.hangs == 0 && counts.handles == 0 && catalog.good == catalog.goodTotal &&
                  catalog.goodTotal == goods.size() && changed == 0;
    printf("%s\n", passed ? "CAMPAIGN-OK" : "CAMPAIGN-FAILED");
    return passed ? 0 : 1;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 4 && wcscmp(argv[1], L"--walk") == 0) {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        int code = WalkFiles(argv[2], static_cast<size_t>(_wtoi64(argv[3])));
        CoUninitialize();
        return code;
    }
    if (argc == 3 && wcscmp(argv[1], L"--catalog") == 0) {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        int code = WalkCatalog(argv[2]);
        CoUninitialize();
        return code;
    }
    if (argc < 5) {
        fwprintf(stderr, L"usage: damage_campaign SEED COUNT WORKFOLDER GOOD.msm...\n");
        return 2;
    }
    std::vector<std::wstring> goods(argv + 4, argv + argc);
    return Supervise(_wcstoui64(argv[1], nullptr, 10), static_cast<uint32_t>(_wtoi(argv[2])), argv[3], goods);
}
