// The client's side of the damage campaign: each walk runs in a child process that the campaign
// (tools/DamageCampaign.cpp) watches, and reports what it read line by line on stdout.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

// Opens each listed file from `first` on with MergeModule2 and reads every property and list:
// "begin N", then "end N opened|failed KEY"; at the end "handles N".
int WalkFiles(const std::wstring& listFile, size_t first);
// A catalog over every file, read whole: "listed N", "good N TOTAL", "handles N".
int WalkCatalog(const std::wstring& goodList);

std::string ReadAll(const std::wstring& path);
std::vector<std::wstring> ReadLines(const std::wstring& path);
// ASCII, anything else as '?': for the lines the children print.
std::string Narrow(const std::wstring& s);
