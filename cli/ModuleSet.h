// The modules a conflict analysis or a report covers: every module of the catalog, or the closures
// of the modules named (the set that would be merged together), with their dependency graph.
#pragma once
#include <memory>
#include <vector>
#include "cli/Client.h"
#include "cli/Closure.h"
#include "cli/Commands.h"

struct ModuleSet {
    ModuleSet() : Catalog(RunCatalog()) {}
    // The run's catalog (its warnings, and in a batch run the catalog kept between commands); it
    // owns the graph's nodes.
    CatalogClient& Catalog;
    bool WholeCatalog = true;
    std::vector<const ModuleNode*> Roots;
    Closure Graph;
    // The module object of each node of Graph.Modules, in that order.
    std::vector<ComPtr<IMergeModule2>> Modules;
};

// Over the catalog, or the closures of the arguments (module files or signatures).
std::unique_ptr<ModuleSet> GatherModuleSet(const std::vector<_stringx>& arguments);
