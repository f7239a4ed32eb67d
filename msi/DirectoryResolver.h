// Turns a merge module's Directory key into the text of its target path, written the way the
// authoring environment writes target folders: "[SystemFolder]MyDir\Sub". Only reads the database.
#pragma once
#include <windows.h>
#include <msi.h>
#include <map>
#include "base/stringx.h"

// Upper-case form -> written form of the installer's predefined folders that root a target path.
const std::map<_stringx, _stringx>& PredefinedFolderNames();

struct ResolveOptions {
    bool useSource = false;          // the source part of DefaultDir (after the colon)
    bool useShortName = false;       // the short name (before the bar)
    bool stripModuleSuffix = true;   // "MyDir.<module GUID>" counts as "MyDir"
    bool collapseDotFolders = true;  // "." folders add no name; under TARGETDIR they root the path
    bool bracketRoots = true;        // predefined roots and keys standing for "." written "[key]"
};

// 0 with the path in `result`, or an installer error code: 234 (ERROR_MORE_DATA) for a value of 260
// characters or more, ERROR_NO_MORE_ITEMS when the key or one of its parents has no row, or a root
// is reached that is neither predefined nor "SourceDir", ERROR_CIRCULAR_DEPENDENCY when the parents
// form a loop. Executing and fetching raise (CComException) when the installer fails otherwise.
UINT ResolveDirectoryPath(MSIHANDLE database, const _stringx& key, _stringx& result,
                          const ResolveOptions& options = ResolveOptions());

// The Directory table (and the module's property values) read once, answering ResolveDirectoryPath
// with the default options for many keys without a query each. It answers exactly as that function
// would, and declines (false) wherever it could not be sure to: keys the query text could not hold
// as they are, or tables that could not be read whole.
class DirectoryTable {
public:
    bool Load(MSIHANDLE database);
    bool Resolve(const _stringx& key, UINT& status, _stringx& result) const;

private:
    class Rows;  // the walk's view of the rows read
    struct Row {
        _stringx parent;
        _stringx defaultDir;
        bool parentNull = true;
        bool parentTooLong = false;
        bool defaultDirTooLong = false;
        bool keyTooLong = false;
    };
    bool LookupProperty(const _stringx& name, _stringx& value) const;

    bool loaded_ = false;
    std::map<_stringx, Row> rows_;
    bool propertyTable_ = false;
    std::map<_stringx, std::pair<_stringx, bool>> properties_;  // name -> value, too long to read
};

// True when the Directory table has a row for the key and the key, in upper case, names a
// predefined folder.
bool IsPredefinedFolderKey(MSIHANDLE database, const _stringx& key);

// The target or source part of a DefaultDir value, long or short name: "TARGE~1|Target Dir:SRC"
// gives "Target Dir" with both flags false. Always 0.
UINT ParseDefaultDir(const _stringx& value, bool useSource, bool useShortName, _stringx& result);

// The module's own value of a property; false when it has no Property table, no such row, or the
// value is 260 characters or longer.
bool LookupPropertyValue(MSIHANDLE database, const _stringx& name, _stringx& value);

// A module suffix is the GUID part after a key's last dot: exactly 32 or 36 characters.
bool HasModuleSuffix(const _stringx& text);
