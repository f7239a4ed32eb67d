// The two index files of the environment, read once per process: friendly module names by entry
// key ("modules.ini") and the module that provides a file ("FilesToModules.ini").
#pragma once
#include <windows.h>
#include <map>
#include "base/stringx.h"

// Keys compared code unit by code unit.
using IndexMap = std::map<_stringx, _stringx>;

// Process-wide; filled by the loaders below and then only read (the lookups read them once the
// load is done, and answer nothing before).
IndexMap& FriendlyNameIndex();
IndexMap& FileModuleIndex();

// Fill the index from <folder>\modules.ini, section "modules" (keys as written), replacing what it
// held. A missing or unreadable file, or a missing section, leaves it empty; a reader that cannot
// be created, or a failing sections/keys/count call, raises.
void LoadFriendlyNameIndex(const _stringx& folder);
// The same for <folder>\FilesToModules.ini, section "FilesToModules"; keys lower-cased.
void LoadFileModuleIndex(const _stringx& folder);

// True once LoadIndexesOnce has ended in this process (the folders need not be asked again).
bool IndexesLoaded();
// Loads both indexes the first time it is called in the process; a call from another thread
// meanwhile waits for that load. A load that failed is not retried.
void LoadIndexesOnce(const _stringx& friendlyFolder, const _stringx& fileFolder);

// Exact, case-sensitive lookup of an entry key.
bool LookupFriendlyName(const _stringx& key, _stringx& name);
// The index value (flag:ModuleID[:Language]) for an already lower-cased file name.
bool LookupFileModule(const _stringx& lowerCasedName, _stringx& value);
