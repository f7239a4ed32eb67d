// The cost of reading modules through the reader processes: the scan of a corpus's search folders
// with the guard on against the same scan with every read done in this process and no structural
// check, and a plain msi.dll loop over the same files; median of interleaved runs.
//
//   guard_bench RUNS FOLDER...
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>
#include "msi/ModuleData.h"
#include "msi/ReaderPool.h"
#include "msi/SearchLocation.h"
#include "tools/bench/Clock.h"

// The reads' switch, set here only: the server never turns it off.

namespace {
// The time `read` takes over every module file of the folders, each listed first.
template <typename Read>
double TimeEachFile(const std::vector<std::wstring>& folders, Read read) {
    double start = Now();
    for (const std::wstring& folder : folders) {
        FoundFiles found;
        FindModuleFiles(folder.c_str(), found);
        for (size_t i = 0; i < found.files.size(); ++i) read(found.PathOf(i));
    }
    return Now() - start;
}

// The reads in process with the container check, without the trip to a reader.
double CheckedInProcess(const std::vector<std::wstring>& folders) {
    return TimeEachFile(folders, [](const _stringx& path) {
        ModuleReadResult result;
        PerformModuleRead(ModuleRead::Header, path, _stringx(), result, true);
    });
}

double Scan(const std::vector<std::wstring>& folders) {
    double start = Now();
    for (const std::wstring& folder : folders) {
        SearchLocation location;
        location.Initialise(folder.c_str(), 0, L"");
    }
    return Now() - start;
}

// What a plain client does for each file: open it, read its signature, read its summary by path.
double PlainLoop(const std::vector<std::wstring>& folders) {
    return TimeEachFile(folders, [](const _stringx& path) {
        MSIHANDLE database = 0, view = 0, record = 0, summary = 0;
        if (MsiOpenDatabaseW(path.c_str(), MSIDBOPEN_READONLY, &database) == ERROR_SUCCESS &&
            MsiDatabaseOpenViewW(database, L"SELECT * FROM `ModuleSignature`", &view) == ERROR_SUCCESS &&
            MsiViewExecute(view, 0) == ERROR_SUCCESS)
            MsiViewFetch(view, &record);
        MsiGetSummaryInformationW(0, path.c_str(), 0, &summary);
        for (MSIHANDLE h : {summary, record, view, database})
            if (h) MsiCloseHandle(h);
    });
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        fwprintf(stderr, L"usage: guard_bench RUNS FOLDER...\n");
        return 2;
    }
    int runs = _wtoi(argv[1]);
    std::vector<std::wstring> folders(argv + 2, argv + argc);
    Scan(folders);  // the readers start once, as in a long-lived host
    std::vector<double> on, off, checked, plain;
    for (int run = 0; run < runs; ++run) {
        SetReadGuard(false);
        off.push_back(Scan(folders));
        SetReadGuard(true);
        on.push_back(Scan(folders));
        plain.push_back(PlainLoop(folders));
        checked.push_back(CheckedInProcess(folders));
    }
    double guarded = Median(on), unguarded = Median(off), loop = Median(plain);
    printf("scan, guard on                 %8.3f s\n", guarded);
    printf("scan, guard off                %8.3f s  | on / off    %6.3fx\n", unguarded, guarded / unguarded);
    printf("in process, container checked  %8.3f s  | on / checked %5.3fx\n", Median(checked),
           guarded / Median(checked));
    printf("plain msi.dll loop             %8.3f s  | on / plain  %6.3fx\n", loop, guarded / loop);
    return 0;
}
