// The sibling loader's search order and cache, observed by running a probe program copied into
// folder layouts of the build tree.
#include <windows.h>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include "server/SiblingLoader.h"
#include "tests/support/TestSupport.h"

namespace {
using cvtest::CopyInto;
using cvtest::OutDir;

struct ProbeLine {
    std::string file;
    std::string result;
};

struct ProbeRun {
    std::map<std::string, ProbeLine> lines;
    int cacheEntries = -1;
};

_stringx MakeDirs(const _stringx& root, const wchar_t* relative) {
    _stringx path = root;
    std::wstring rest(relative);
    size_t start = 0;
    while (start < rest.size()) {
        size_t slash = rest.find(L'\\', start);
        path = JoinPath(path, rest.substr(start, slash == std::wstring::npos ? std::wstring::npos : slash - start).c_str());
        CreateDirectoryW(path.c_str(), nullptr);
        if (slash == std::wstring::npos) break;
        start = slash + 1;
    }
    return path;
}

// Copies SiblingSample.dll into the folder under another name.
void PlaceSample(const _stringx& folder, const wchar_t* name) {
    ASSERT_TRUE(CopyFileW(JoinPath(OutDir(), L"SiblingSample.dll").c_str(), JoinPath(folder, name).c_str(), FALSE));
}

ProbeRun RunProbe(const _stringx& probeFolder, const std::vector<const wchar_t*>& names) {
    _stringx command = _stringx(L"\"") + JoinPath(probeFolder, L"sibling_probe.exe") + L"\"";
    for (const wchar_t* name : names) command += _stringx(L" \"") + name + L"\"";
    std::string output;
    EXPECT_EQ(0u, cvtest::RunProcess(command, &output)) << output;
    ProbeRun run;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("cache ", 0) == 0) {
            run.cacheEntries = std::stoi(line.substr(6));
            continue;
        }
        size_t bar1 = line.find('|'), bar2 = line.rfind('|');
        if (bar1 == std::string::npos || bar2 == bar1) continue;
        run.lines[line.substr(0, bar1)] = {line.substr(bar1 + 1, bar2 - bar1 - 1), line.substr(bar2 + 1)};
    }
    return run;
}

std::string Narrow(const _stringx& text) { return _stringx(text).AsNarrow(); }

bool SameFile(const std::string& loaded, const _stringx& expected) {
    return _stricmp(loaded.c_str(), Narrow(expected).c_str()) == 0;
}

const char kFound[] = "0x00000000";
const char kNotRegistered[] = "0x80040154";

TEST(SiblingLoader, SearchOrderFromTheModuleFolderOutwards) {
    _stringx root = cvtest::FreshScratchDir(L"sibling-order");
    _stringx module = MakeDirs(root, L"a\\b");
    ASSERT_TRUE(CopyInto(JoinPath(OutDir(), L"sibling_probe.exe"), module));
    _stringx moduleSystem = MakeDirs(module, L"System");
    _stringx ancestorSystem = MakeDirs(root, L"a\\System");
    _stringx fartherSystem = MakeDirs(root, L"System");
    for (const _stringx& folder : {module, moduleSystem, ancestorSystem, fartherSystem}) PlaceSample(folder, L"Sample.dll");

    const std::vector<std::pair<_stringx, _stringx>> expectedInTurn = {
        {module, L"module folder"}, {moduleSystem, L"System below it"}, {ancestorSystem, L"nearest ancestor's System"},
        {fartherSystem, L"farther ancestor's System"}};
    for (const auto& expected : expectedInTurn) {
        SCOPED_TRACE(Narrow(expected.second));
        ProbeRun run = RunProbe(module, {L"Sample.dll"});
        EXPECT_TRUE(SameFile(run.lines["Sample.dll"].file, JoinPath(expected.first, L"Sample.dll")))
            << run.lines["Sample.dll"].file;
        EXPECT_EQ(kFound, run.lines["Sample.dll"].result);
        DeleteFileW(JoinPath(expected.first, L"Sample.dll").c_str());
    }
    ProbeRun none = RunProbe(module, {L"Sample.dll"});
    EXPECT_EQ("-", none.lines["Sample.dll"].file) << "a name found nowhere is left to the system, which fails";
    EXPECT_EQ(kNotRegistered, none.lines["Sample.dll"].result);
}

TEST(SiblingLoader, CommonFilesFoldersComeBeforeAncestors) {
    _stringx common = CommonFilesFolder();
    ASSERT_FALSE(common.empty());
    _stringx corvane = MakeDirs(common, L"Corvane");
    _stringx showpiece = MakeDirs(corvane, L"Showpiece");
    _stringx root = cvtest::FreshScratchDir(L"sibling-common");
    _stringx module = MakeDirs(root, L"x\\y");
    ASSERT_TRUE(CopyInto(JoinPath(OutDir(), L"sibling_probe.exe"), module));
    _stringx ancestorSystem = MakeDirs(root, L"x\\System");
    // A name of its own, so that no other test can load these copies.
    const wchar_t name[] = L"CommonProbeSample.dll";
    PlaceSample(ancestorSystem, name);
    PlaceSample(showpiece, name);
    PlaceSample(corvane, name);

    ProbeRun run = RunProbe(module, {name});
    EXPECT_TRUE(SameFile(run.lines["CommonProbeSample.dll"].file, JoinPath(corvane, name)));
    DeleteFileW(JoinPath(corvane, name).c_str());
    run = RunProbe(module, {name});
    EXPECT_TRUE(SameFile(run.lines["CommonProbeSample.dll"].file, JoinPath(showpiece, name)));
    DeleteFileW(JoinPath(showpiece, name).c_str());
    run = RunProbe(module, {name});
    EXPECT_TRUE(SameFile(run.lines["CommonProbeSample.dll"].file, JoinPath(ancestorSystem, name)));
}

TEST(SiblingLoader, NamesWithAPathSystemNamesAndMissingEntryPoints) {
    _stringx module = cvtest::FreshScratchDir(L"sibling-names");
    ASSERT_TRUE(CopyInto(JoinPath(OutDir(), L"sibling_probe.exe"), module));
    ASSERT_TRUE(CopyInto(JoinPath(OutDir(), L"NoClassObjects.dll"), module));
    PlaceSample(module, L"Sample.dll");
    _stringx elsewhere = MakeDirs(module, L"elsewhere");
    PlaceSample(elsewhere, L"Sample.dll");
    _stringx byPath = JoinPath(elsewhere, L"Sample.dll");

    ProbeRun run = RunProbe(module, {byPath.c_str(), L"msxml3.dll", L"NoClassObjects.dll"});
    EXPECT_TRUE(SameFile(run.lines[Narrow(byPath)].file, byPath)) << "a name with a backslash is loaded as given";
    EXPECT_EQ(kFound, run.lines[Narrow(byPath)].result);

    std::string system = run.lines["msxml3.dll"].file;
    EXPECT_NE(std::string::npos, system.find("msxml3.dll")) << "a bare name found nowhere goes to the system search";
    EXPECT_EQ("0x80040111", run.lines["msxml3.dll"].result) << "its own class object answers: no such class";

    EXPECT_NE("-", run.lines["NoClassObjects.dll"].file);
    EXPECT_EQ(kNotRegistered, run.lines["NoClassObjects.dll"].result) << "no DllGetClassObject";
}

TEST(SiblingLoader, NamesAreCachedAsGivenLetterCaseIncluded) {
    _stringx module = cvtest::FreshScratchDir(L"sibling-cache");
    ASSERT_TRUE(CopyInto(JoinPath(OutDir(), L"sibling_probe.exe"), module));
    PlaceSample(module, L"Sample.dll");
    ProbeRun run = RunProbe(module, {L"Sample.dll", L"SAMPLE.DLL", L"Sample.dll"});
    EXPECT_EQ(2, run.cacheEntries) << "two spellings, two entries; the repeated one is found in the cache";
    EXPECT_TRUE(SameFile(run.lines["SAMPLE.DLL"].file, JoinPath(module, L"Sample.dll")));
    EXPECT_EQ(kFound, run.lines["SAMPLE.DLL"].result);
}

}  // namespace
