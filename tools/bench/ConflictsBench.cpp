// conflicts_bench RUNS FOLDER...: `mmcat conflicts --json` over the modules of the folders against
// `mmcat show --json` of every one of those modules in one process (as a batch would run them),
// interleaved, the server keeping what it has read between runs; prints the medians. Output of the
// commands goes to NUL. First it checks that the set's file lists read together are the ones read
// module by module.
#include <windows.h>
#include <algorithm>
#include <cstdio>
#include <tuple>
#include "cli/Client.h"
#include "cli/Commands.h"
#include "cli/Configuration.h"
#include "cli/Conflicts.h"
#include "cli/ModuleSet.h"
#include "tools/bench/Clock.h"

namespace {
bool SameFiles(const std::vector<FileRecord>& a, const std::vector<FileRecord>& b) {
    auto fields = [](const FileRecord& f) {
        return std::tie(f.FileKey, f.FileName, f.StoredName, f.Directory, f.TargetFolder, f.Version, f.Language,
                        f.Resolved, f.Size, f.Sequence);
    };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [&](const FileRecord& x, const FileRecord& y) { return fields(x) == fields(y); });
}

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
        size_t files = 0, differing = 0;
        {
            // The set's lists read together must be the lists read module by module.
            std::unique_ptr<ModuleSet> set = GatherModuleSet({});
            std::vector<ModuleFiles> together = ReadSetFiles(*set);
            for (size_t i = 0; i < set->Modules.size(); ++i) {
                ModuleFiles alone = ReadModuleFiles(set->Modules[i].Get(), set->Graph.Modules[i]);
                keys.push_back(alone.Module->EntryKey);
                files += alone.Files.size();
                differing += !SameFiles(alone.Files, together[i].Files);
            }
        }
        ForgetCatalog();
        if (differing) {
            fwprintf(stderr, L"conflicts_bench: %zu modules' lists read together differ from their own\n", differing);
            return 1;
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
