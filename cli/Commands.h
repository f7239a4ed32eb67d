// The subcommands. Each gathers its answer, then prints it: list, show, which and find gather one
// JSON document, printed as it is (--json) or rendered as text; deps gathers the closure's records and
// renders them as JSON, text or DOT. Each returns the exit code: 0 found or done, 1 nothing found or
// an incomplete closure. Failures are thrown as ToolError.
#pragma once
#include <string>
#include <vector>
#include "base/Utf8.h"
#include "base/stringx.h"

enum class OutputFormat { Text, Json, Dot };

struct Request {
    OutputFormat Format = OutputFormat::Text;
    _stringx Argument;      // the module, signature or target path
    _stringx DirectoryKey;  // which --key
    _stringx Version;       // which --version
    std::vector<_stringx> Arguments;  // the modules of conflicts and report
    _stringx OutputPath;              // report's -o
};

int ListCommand(const Request& request);
int ShowCommand(const Request& request);
int WhichCommand(const Request& request);
int FindCommand(const Request& request);
int DepsCommand(const Request& request);

// Writes UTF-8 text to stdout or stderr as it is, with no line-ending translation.
void Print(const std::string& text);
void PrintError(const std::string& text);
