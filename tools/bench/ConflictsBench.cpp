// conflicts_bench RUNS FOLDER...: `mmcat conflicts --json` over the modules of the folders against
// `mmcat show --json` of every one of those modules in one process (as a batch would run them),
// interleaved, each from a catalog built anew; prints the medians. Output of the commands goes to NUL.
#include <windows.h>
#include <cstdio>
#include "cli/Client.h"
#include "cli/Commands.h"
#include "cli/Configuration.h"
#include "cli/Conflicts.h"
#include "tools/bench/Clock.h"

namespace {
double ShowEvery(const std::vector<_stringx>& keys) {
    double started = Now();
    CatalogClient held;  // one catalog for the batch, as one process keeps it
    for (const _stringx& key : keys) {
        Request request;
        request.Format = OutputFormat::Json;
        request.Argument = key;
        ShowCommand(request);
    }
    return Now() - started;
}

double Conflicts() {
    double started = Now();
    Request request;
    request.Format = OutputFormat::Json;
    ConflictsCommand(request);
    return Now() - started;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        fwprintf(stderr, L"usage: conflicts_bench RUNS FOLDER...\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int runs = _wtoi(argv[1]);
    ConfigurationOptions options;
    for (int i = 2; i < argc; ++i) options.SearchFolders.push_back(argv[i]);
    try {
        Configuration scope(options);
        std::vector<_stringx> keys;
        size_t files = 0;
        {
            CatalogClient catalog;
            for (const auto& module : catalog.Modules()) {
                keys.push_back(ReadSummary(module.Get()).EntryKey);
                files += FileRecordsOf(module.Get()).size();
            }
        }
        if (!_wfreopen(L"NUL", L"wb", stdout)) return 1;
        std::vector<double> shows, conflicts;
        for (int run = 0; run < runs; ++run) {
            // Alternate which goes first, so that neither always finds the files in the cache.
            if (run % 2) conflicts.push_back(Conflicts());
            shows.push_back(ShowEvery(keys));
            if (run % 2 == 0) conflicts.push_back(Conflicts());
        }
        fwprintf(stderr, L"%zu modules, %zu files, %d runs: show --json of every module %.3f s, conflicts --json %.3f s = %.2fx\n",
                 keys.size(), files, runs, Median(shows), Median(conflicts), Median(conflicts) / Median(shows));
    } catch (const ToolError& e) {
        fwprintf(stderr, L"conflicts_bench: %ls\n", e.Message().c_str());
        return 2;
    }
    CoUninitialize();
    return 0;
}
