// Builds one merge module through msi.dll's create mode from tables in IDT form and summary values
// held in memory. make_fixture reads them from readable sources; make_corpus generates thousands.
#pragma once
#include <windows.h>
#include <map>
#include <string>
#include <vector>

// Raised by the builder; the message includes the installer's own error text when it has one.
struct FixtureError {
    std::wstring message;
};

struct ModuleTable {
    std::wstring fileName;  // "File.idt": the installer takes the table name from the file's third line
    std::wstring text;      // IDT text, rows already expanded
};

struct ModuleSource {
    std::vector<ModuleTable> tables;               // imported in this order
    std::map<std::wstring, std::wstring> summary;  // Name=Value as make_fixture documents them
    const FILETIME* savedTime = nullptr;           // create and save time; null: now
};

// Writes `output`, replacing it, through table files in `workFolder` (left empty afterwards).
// On failure the half-written module is removed and FixtureError raised.
void BuildModule(const std::wstring& output, const ModuleSource& source, const std::wstring& workFolder);

// "@repeat:TEXT:COUNT" expanded; any other value as it is.
std::wstring ExpandValue(const std::wstring& value);

// A new empty folder under the temporary folder.
std::wstring MakeTempFolder();

// Raises FixtureError with the text; adds the installer's last error record when there is one.
[[noreturn]] void FailFixture(const std::wstring& what);
