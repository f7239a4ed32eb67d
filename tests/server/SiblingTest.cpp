// The sibling loader's search order and cache, observed by running a probe program copied into
// folder layouts of the build tree.
#include <windows.h>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include "server/SiblingLoader.h"
#include "tests/support/TestSupport.h"

namespace {
using cvtest::MakeFolders;
using cvtest::OutDir;

struct ProbeRun {
    std::map<std::string, std::string> lines;  // name -> "<loaded file or ->|<hr>", file in lower case
    int cacheEntries = -1;
};

// A folder holding a copy of the probe program.
_stringx ProbeFolder(const _stringx& folder) {
    EXPECT_TRUE(cvtest::CopyInto(JoinPath(OutDir(), L"sibling_probe.exe"), MakeFolders(folder)));
    return folder;
}

void PlaceSample(const _stringx& folder, const wchar_t* name) {
    ASSERT_TRUE(CopyFileW(JoinPath(OutDir(), L"SiblingSample.dll").c_str(), JoinPath(folder, name).c_str(), FALSE));
}

ProbeRun RunProbe(const _stringx& probeFolder, const std::vector<_stringx>& names) {
    _stringx command = L"\"" + JoinPath(probeFolder, L"sibling_probe.exe") + L"\"";
    for (const _stringx& name : names) command += L" \"" + name + L"\"";
    std::string output, line;
    EXPECT_EQ(0u, cvtest::RunProcess(command, &output)) << output;
    ProbeRun run;
    std::istringstream in(output);
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t bar = line.find('|');
        if (line.rfind("cache ", 0) == 0) run.cacheEntries = std::stoi(line.substr(6));
        if (bar == std::string::npos) continue;
        std::string& value = run.lines[line.substr(0, bar)] = line.substr(bar + 1);
        CharLowerBuffA(&value[0], static_cast<DWORD>(value.size()));
    }
    return run;
}

// What the probe prints for a name found in `file` (or "-") whose class object answered `hr`.
std::string Found(const _stringx& file, const char* hr = "0x00000000") {
    return _stringx(file).Lower().AsNarrow() + std::string("|") + hr;
}

// Removes the copies one by one in search order: each run loads the first one still present.
TEST(SiblingLoader, SearchOrderFromTheModuleFolderOutwards) {
    _stringx root = cvtest::FreshScratchDir(L"sibling-order");
    _stringx module = ProbeFolder(JoinPath(root, L"a\\b"));
    _stringx common = CommonFilesFolder();
    ASSERT_FALSE(common.empty());
    // A name of its own, so that no other test can load the copies in the Common Files folders.
    const wchar_t name[] = L"OrderProbeSample.dll";
    const std::pair<_stringx, const char*> inTurn[] = {
        {module, "module folder"}, {JoinPath(module, L"System"), "System below it"},
        {JoinPath(common, L"Corvane"), "Common Files"}, {JoinPath(common, L"Corvane\\Showpiece"), "its Showpiece"},
        {JoinPath(root, L"a\\System"), "nearest ancestor's System"}, {JoinPath(root, L"System"), "farther one"}};
    for (const auto& folder : inTurn) PlaceSample(MakeFolders(folder.first), name);
    for (const auto& folder : inTurn) {
        SCOPED_TRACE(folder.second);
        EXPECT_EQ(Found(JoinPath(folder.first, name)), RunProbe(module, {name}).lines["OrderProbeSample.dll"]);
        DeleteFileW(JoinPath(folder.first, name).c_str());
    }
    EXPECT_EQ(Found(L"-", "0x80040154"), RunProbe(module, {name}).lines["OrderProbeSample.dll"])
        << "a name found nowhere is left to the system, which fails";
}

// Ancestors' System folders down to the root, which is never tried: the drive, or for a UNC path the share.
TEST(SiblingLoader, AncestorsStopBeforeTheDriveOrTheShare) {
    const struct {
        const wchar_t* folder;
        std::vector<_stringx> ancestors;
    } cases[] = {
        {L"C:\\a\\b", {L"C:\\a\\System\\X.dll"}},
        {L"C:\\a", {}},
        {L"\\\\server\\share\\a\\b", {L"\\\\server\\share\\a\\System\\X.dll"}},
        {L"\\\\server\\share\\dir", {}},
    };
    for (const auto& c : cases) {
        std::vector<_stringx> expected = {JoinPath(c.folder, L"X.dll"), JoinPath(c.folder, L"System\\X.dll"),
                                          L"Z:\\Common\\Corvane\\X.dll", L"Z:\\Common\\Corvane\\Showpiece\\X.dll"};
        expected.insert(expected.end(), c.ancestors.begin(), c.ancestors.end());
        EXPECT_EQ(expected, SiblingCandidates(c.folder, L"Z:\\Common", L"X.dll")) << _stringx(c.folder).AsNarrow();
    }
}

TEST(SiblingLoader, NamesWithAPathSystemNamesMissingEntryPointsAndTheCache) {
    _stringx module = ProbeFolder(cvtest::FreshScratchDir(L"sibling-names"));
    ASSERT_TRUE(cvtest::CopyInto(JoinPath(OutDir(), L"NoClassObjects.dll"), module));
    PlaceSample(module, L"Sample.dll");
    _stringx byPath = JoinPath(MakeFolders(JoinPath(module, L"elsewhere")), L"Sample.dll");
    PlaceSample(JoinPath(module, L"elsewhere"), L"Sample.dll");

    ProbeRun run = RunProbe(module, {byPath, L"msxml3.dll", L"NoClassObjects.dll"});
    EXPECT_EQ(Found(byPath), run.lines[byPath.AsNarrow()]) << "a name with a backslash is loaded as given";
    EXPECT_NE(std::string::npos, run.lines["msxml3.dll"].find("\\msxml3.dll|0x80040111"))
        << "a bare name found nowhere goes to the system search; its own class object refuses the class";
    EXPECT_EQ(Found(JoinPath(module, L"NoClassObjects.dll"), "0x80040154"), run.lines["NoClassObjects.dll"])
        << "no DllGetClassObject";

    run = RunProbe(module, {L"Sample.dll", L"SAMPLE.DLL", L"Sample.dll"});
    EXPECT_EQ(2, run.cacheEntries) << "two spellings, two entries; the repeated one is found in the cache";
    EXPECT_EQ(Found(JoinPath(module, L"Sample.dll")), run.lines["SAMPLE.DLL"]);
}

}  // namespace
