// The modules a conflict analysis or a report covers: every module of the catalog, or the closures
// of the modules named (the set that would be merged together), with their dependency graph.
#pragma once
#include <memory>
#include <vector>
#include "cli/Client.h"
#include "cli/Closure.h"

struct ModuleSet {
    CatalogClient Catalog;  // owns the graph's nodes
    bool WholeCatalog = true;
    std::vector<const ModuleNode*> Roots;
    Closure Graph;
    // The module object of each node of Graph.Modules, in that order.
    std::vector<ComPtr<IMergeModule2>> Modules;
};

// Over the catalog, or the closures of the arguments (module files or signatures).
std::unique_ptr<ModuleSet> GatherModuleSet(const std::vector<_stringx>& arguments);
