// Memory over many catalog lifetimes: each round creates a catalog through the manager, builds its
// module list, reads every module's files, dependencies and availability, and releases everything.
// The working set after the first round and after the last should be the same.
//   catalog_soak [rounds, default 1000]   (tools/bench.sh runs it over a small environment)
#include <windows.h>
#include <psapi.h>
#include <cstdio>
#include <cstdlib>
#include "CvMMUpdater2.h"
#include "cvmmupdater.h"
#include "server/Handles.h"

namespace {
SIZE_T WorkingSetKb() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return counters.WorkingSetSize / 1024;
}

// One catalog lifetime; false when any call fails.
bool Round() {
    ComPtr<IMMCatalogManager> manager;
    ComPtr<IDispatch> catalog, modules;
    ComPtr<IMMCatalog> typed;
    ComPtr<IModuleCollection> collection;
    if (FAILED(CoCreateInstance(CLSID_MMCatalogManager, nullptr, CLSCTX_INPROC_SERVER, IID_IMMCatalogManager,
                                manager.PutVoid())) ||
        FAILED(manager->GetCatalog(1, catalog.Put())) || FAILED(catalog.As(IID_IMMCatalog, typed)) ||
        FAILED(typed->GetModules(modules.Put())) || FAILED(modules.As(IID_IModuleCollection, collection)))
        return false;
    LONG count = 0;
    collection->get_Count(&count);
    for (LONG position = 1; position <= count; ++position) {
        VARIANT index;
        V_VT(&index) = VT_I4;
        V_I4(&index) = position;
        ComPtr<IDispatch> item;
        ComPtr<IMergeModule2> module;
        if (FAILED(collection->get_Item(index, item.Put())) || FAILED(item.As(IID_IMergeModule2, module))) return false;
        ComPtr<IFileCollection> files;
        ComPtr<IDependencyCollection> dependencies;
        VARIANT_BOOL present = VARIANT_FALSE;
        if (FAILED(module->get_Files(files.Put())) || FAILED(module->get_Dependencies(dependencies.Put())) ||
            FAILED(module->get_IsPresent(&present)))
            return false;
    }
    return true;
}
}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 1000;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (!Round()) {
        fprintf(stderr, "catalog_soak: a catalog round failed\n");
        return 1;
    }
    SIZE_T first = WorkingSetKb();
    for (int i = 1; i < rounds; ++i)
        if (!Round()) return 1;
    SIZE_T last = WorkingSetKb();
    printf("catalog rounds                %d\n", rounds);
    printf("working set after round 1     %zu KB\n", static_cast<size_t>(first));
    printf("working set after round %-5d %zu KB (%+ld KB)\n", rounds, static_cast<size_t>(last),
           static_cast<long>(last) - static_cast<long>(first));
    CoUninitialize();
    return 0;
}
