// Scan speed: copies of one module scanned as one location and rescanned unchanged, against a plain
// loop that opens each module with msi.dll the same two ways and reads the same values.
//   scan_benchmark <module.msm> <empty scratch folder> [count, default 1000]   (tools/bench.sh runs it)
#include <windows.h>
#include <msiquery.h>
#include <cstdio>
#include <cstdlib>
#include <vector>
#include "msi/SearchLocation.h"

namespace {
double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

// What a scan must at least do per module: the signature row and four summary texts.
void ReadPlainly(const _stringx& path) {
    MSIHANDLE database = 0;
    if (MsiOpenDatabaseW(path.c_str(), MSIDBOPEN_READONLY, &database) == ERROR_SUCCESS) {
        MSIHANDLE view = 0;
        if (MsiDatabaseOpenViewW(database, L"SELECT * FROM `ModuleSignature`", &view) == ERROR_SUCCESS) {
            MsiCloseHandle(database);
            database = 0;
            if (MsiViewExecute(view, 0) == ERROR_SUCCESS) {
                MSIHANDLE record = 0;
                if (MsiViewFetch(view, &record) == ERROR_SUCCESS) {
                    wchar_t text[2048];
                    DWORD size = 2048;
                    MsiRecordGetStringW(record, 1, text, &size);
                    MsiRecordGetInteger(record, 2);
                    size = 2048;
                    MsiRecordGetStringW(record, 3, text, &size);
                    MsiCloseHandle(record);
                }
            }
            MsiViewClose(view);
            MsiCloseHandle(view);
        }
        if (database) MsiCloseHandle(database);
    }
    MSIHANDLE summary = 0;
    if (MsiGetSummaryInformationW(0, path.c_str(), 0, &summary) == ERROR_SUCCESS) {
        for (UINT property : {4u, 6u, 9u, 3u}) {
            UINT type = 0;
            INT number = 0;
            FILETIME time{};
            wchar_t text[260];
            DWORD size = 260;
            MsiSummaryInfoGetPropertyW(summary, property, &type, &number, &time, text, &size);
        }
        MsiCloseHandle(summary);
    }
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: scan_benchmark <module.msm> <empty scratch folder> [count]\n");
        return 2;
    }
    _stringx source = argv[1];
    _stringx folder = argv[2];
    int count = argc > 3 ? _wtoi(argv[3]) : 1000;
    CreateDirectoryW(folder.c_str(), nullptr);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    for (int i = 0; i < count; ++i)
        CopyFileW(source.c_str(), JoinPath(folder, _stringx::Formatted(L"module%04d.msm", i)).c_str(), FALSE);
    FoundFileMap files;
    FindModuleFiles(folder, files);
    // Warm the file cache and msi.dll once, so that neither side pays for the first touch.
    for (const auto& file : files) ReadPlainly(file.first);

    // Interleaved runs, best of three each, so that neither side pays for the other's cache misses.
    double plainOpen = 1e30, firstScan = 1e30;
    for (int run = 0; run < 3; ++run) {
        LARGE_INTEGER start = Now();
        for (const auto& file : files) ReadPlainly(file.first);
        double plain = Seconds(start, Now());
        if (plain < plainOpen) plainOpen = plain;
        SearchLocation fresh;
        start = Now();
        fresh.Initialise(folder, 0, L"");
        double scan = Seconds(start, Now());
        if (scan < firstScan) firstScan = scan;
    }
    LARGE_INTEGER start = Now();
    FoundFileMap listed;
    FindModuleFiles(folder, listed);
    double plainList = Seconds(start, Now());

    SearchLocation location;
    location.Initialise(folder, 0, L"");
    std::vector<const CatalogEntry*> before;
    for (const auto& module : location.Modules()) before.push_back(module.second.get());

    start = Now();
    bool changed = location.Scan();
    double rescan = Seconds(start, Now());
    std::vector<const CatalogEntry*> after;
    for (const auto& module : location.Modules()) after.push_back(module.second.get());

    size_t n = location.Modules().size();
    printf("modules                       %zu\n", n);
    printf("first scan (best of 3)         %.0f modules/s (%.3f ms per module)\n", n / firstScan, 1000 * firstScan / n);
    printf("plain msi.dll loop (best of 3) %.0f modules/s (%.3f ms per module)\n", n / plainOpen, 1000 * plainOpen / n);
    printf("first scan / plain loop       %.2fx\n", firstScan / plainOpen);
    printf("rescan, no change             %.1f us per module (changed: %s, entries kept: %s)\n",
           1e6 * rescan / n, changed ? "yes" : "no", before == after ? "all" : "NOT all");
    printf("plain folder listing          %.1f us per module\n", 1e6 * plainList / n);
    printf("installer handles left open   %u\n", MsiCloseAllHandles());
    CoUninitialize();
    return 0;
}
