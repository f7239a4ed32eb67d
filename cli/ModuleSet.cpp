#include "cli/ModuleSet.h"

#include <map>

std::unique_ptr<ModuleSet> GatherModuleSet(const std::vector<_stringx>& arguments) {
    auto set = std::make_unique<ModuleSet>();
    CatalogClient& catalog = set->Catalog;
    catalog.ForgetNodes();
    std::map<_stringx, ComPtr<IMergeModule2>> objects;
    set->WholeCatalog = arguments.empty();
    if (set->WholeCatalog)
        for (const auto& module : catalog.Modules()) {
            const ModuleNode* node = catalog.Node(module.Get());
            if (objects.emplace(node->EntryKey, module).second) set->Roots.push_back(node);
        }
    for (const _stringx& argument : arguments) {
        ComPtr<IMergeModule2> module = ModuleByArgument(catalog, argument);
        const ModuleNode* node = catalog.Node(module.Get());
        objects.emplace(node->EntryKey, module);
        set->Roots.push_back(node);
    }
    // A module file that the catalog does not hold still answers what the others require of it.
    set->Graph = ComputeClosure(set->Roots, [&](const _stringx& id, LONG language) {
        const ModuleNode* found = catalog.Resolve(id, language);
        for (const ModuleNode* root : set->Roots)
            if (!found && id == root->ModuleId && (language == 0 || language == root->Language)) found = root;
        return found;
    });
    for (const ModuleNode* node : set->Graph.Modules) {
        auto known = objects.find(node->EntryKey);
        ComPtr<IMergeModule2> module = known != objects.end()
                                           ? known->second
                                           : catalog.FindModule(node->ModuleId + _stringx::Formatted(L":%ld", static_cast<long>(node->Language)));
        if (!module) throw ToolError(_stringx::Formatted(L"%s left the catalog while it was read", node->EntryKey.c_str()));
        set->Modules.push_back(module);
    }
    return set;
}
