// The subcommands. Each gathers its answer, then prints it: list, show, which and find gather one
// JSON document, printed as it is (--json) or rendered as text or a table; deps, rdeps and check
// gather closures' records and render them as JSON, text, a table or DOT. Each returns the exit code:
// 0 found or done, 1 nothing found or an incomplete closure. Failures are thrown as ToolError.
#pragma once
#include <string>
#include <vector>
#include <nlohmann/json.hpp>
#include "base/Utf8.h"
#include "base/stringx.h"

class CatalogClient;

// Tsv: a header line, then a line per record; Keys: a key per line.
enum class OutputFormat { Text, Json, Dot, Tsv, Keys };

struct Request {
    OutputFormat Format = OutputFormat::Text;
    _stringx Argument;      // the module, signature or target path
    _stringx DirectoryKey;  // which --key
    _stringx Version;       // which --version
    bool ShortLabels = false;  // deps --dot --short: nodes named by ModuleID name and version
    std::vector<_stringx> Arguments;  // the modules of conflicts and report
    _stringx OutputPath;              // report's -o
};

int ListCommand(const Request& request);
int ShowCommand(const Request& request);
int WhichCommand(const Request& request);
int FindCommand(const Request& request);
int DepsCommand(const Request& request);
int RdepsCommand(const Request& request);
int CheckCommand(const Request& request);

// The catalog of the run's configuration, made on first use and shared by the commands of a batch
// run. ForgetCatalog lets it go: before the configuration changes, and before COM is uninitialised.
CatalogClient& RunCatalog();
void ForgetCatalog();
// The set-up's warnings on stderr, each once per run; nothing when no catalog was made.
void TellWarnings();
// One line per JSON document (batch runs) instead of indented ones.
void SetCompactJson(bool compact);
// A command's JSON document with the set-up's warnings, on stdout.
void PrintJson(nlohmann::json document);
// An error as the one JSON document of a command: {"error": {"code": ..., "message": ...}}.
void PrintJsonError(int exitCode, const std::string& message);

// Writes UTF-8 text to stdout or stderr as it is, with no line-ending translation.
void Print(const std::string& text);
void PrintError(const std::string& text);
// False once stdout is closed (a pipe whose reader went away): the run ends without more output.
bool OutputOpen();
