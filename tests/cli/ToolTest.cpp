// mmcat.exe as a user runs it: a process over a folder of generated modules, its JSON parsed and
// checked field by field, its text, its exit codes, and what it leaves behind.
#include <windows.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <functional>
#include <set>
#include <thread>
#include <nlohmann/json.hpp>
#include "base/Handles.h"
#include "cli/Configuration.h"
#include "cli/Conflicts.h"
#include "cli/ModuleSet.h"
#include "server/ComException.h"
#include "tests/support/CorpusManifest.h"
#include "tests/support/Environment.h"
#include "base/Utf8.h"
#include "tests/support/TestSupport.h"

namespace {
using nlohmann::json;

const char kSuffix[] = ".1A2B3C4D_000";
const std::string kFull = "FullModule.0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9";
const std::string kMulti = "MultiLang.4E5F6071_8293_A4B5_C6D7_E8F90A1B2C3D";
std::string Deps(const char* name, int n) { return std::string(name) + kSuffix + std::to_string(n) + "_4000_8000_00000000000" + std::to_string(n); }
const std::string kTop = Deps("ChainTop", 1) + ":1033", kMid = Deps("ChainMid", 2) + ":1031",
                  kBase = Deps("ChainBase", 3) + ":1033", kBroken = Deps("Broken", 4) + ":1033",
                  kCycleA = Deps("CycleA", 5) + ":1033", kCycleB = Deps("CycleB", 6) + ":1033";

// The signatures and names here are ASCII.
_stringx FromNarrow(const std::string& text) { return _stringx(std::wstring(text.begin(), text.end())); }

struct Outcome {
    DWORD exitCode = 0;
    std::string out, err;
    json Json() const {
        json parsed = json::parse(out, nullptr, false);
        EXPECT_FALSE(parsed.is_discarded()) << "not JSON: " << out;
        return parsed;
    }
};

// Runs mmcat.exe with the arguments (and the input on stdin); stdout through a pipe, stderr into a file.
Outcome Mmcat(const _stringx& arguments, const std::string& input = std::string()) {
    Outcome outcome;
    static int run = 0;
    _stringx errFolder =
        cvtest::FreshScratchDir(_stringx::Formatted(L"cli-stderr-%lu-%d", GetCurrentProcessId(), ++run).c_str());
    _stringx errFile = JoinPath(errFolder, L"stderr.txt");
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    EXPECT_TRUE(CreatePipe(&readEnd, &writeEnd, &inherit, 0));
    unique_handle reader(readEnd), writer(writeEnd);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    unique_file errors(CreateFileW(errFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr));
    _stringx inFile = JoinPath(errFolder, L"stdin.txt");
    cvtest::WriteText(inFile, input);
    unique_file in(CreateFileW(inFile.c_str(), GENERIC_READ, FILE_SHARE_READ, &inherit, OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in.get();
    startup.hStdOutput = writeEnd;
    startup.hStdError = errors.get();
    std::wstring line = (L"\"" + JoinPath(cvtest::OutDir(), L"mmcat.exe") + L"\" " + arguments).str();
    PROCESS_INFORMATION process{};
    BOOL started = cvtest::StartProcess(line, TRUE, 0, nullptr, startup, process);
    writer.reset();
    errors.reset();
    in.reset();
    EXPECT_TRUE(started) << GetLastError();
    if (!started) return outcome;
    unique_handle processHandle(process.hProcess), thread(process.hThread);
    std::thread drain([&] {
        char buffer[4096];
        DWORD n = 0;
        while (ReadFile(readEnd, buffer, sizeof(buffer), &n, nullptr) && n) outcome.out.append(buffer, n);
    });
    // A hang is a failure, not a wait.
    if (WaitForSingleObject(process.hProcess, 120000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "mmcat did not finish: " << ToUtf8(arguments);
        TerminateProcess(process.hProcess, 99);
    }
    drain.join();
    GetExitCodeProcess(process.hProcess, &outcome.exitCode);
    outcome.err = cvtest::ReadBytes(errFile);
    cvtest::RemoveTree(errFolder);
    return outcome;
}

std::set<std::string> Keys(const json& array, const char* field) {
    std::set<std::string> keys;
    for (const json& item : array) keys.insert(item[field].get<std::string>());
    return keys;
}

class Tool : public cvtest::ComTest {
protected:
    // A folder of its own per test: ctest runs the tests of this program side by side.
    void SetUp() override {
        cvtest::ComTest::SetUp();
        std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        folder_ = cvtest::FreshScratchDir((L"cli-" + FromNarrow(test)).c_str());
        for (const wchar_t* name : {L"full.msm", L"multi-1031.msm", L"multi-1033.msm", L"deps-top.msm", L"deps-mid.msm",
                                    L"deps-base.msm", L"deps-broken.msm", L"deps-cycle-a.msm", L"deps-cycle-b.msm"})
            ASSERT_TRUE(cvtest::CopyInto(cvtest::FixturePath(name), folder_));
    }
    // A subcommand over the folder of modules.
    Outcome Run(const _stringx& arguments) { return Mmcat(arguments + L" --path \"" + folder_ + L"\""); }
    _stringx Module(const wchar_t* name) { return JoinPath(folder_, name); }
    _stringx folder_;
};

TEST_F(Tool, ListsEveryModuleOfTheFolder) {
    Outcome json_ = Run(L"list --json");
    ASSERT_EQ(0u, json_.exitCode) << json_.err;
    json modules = json_.Json()["modules"];
    EXPECT_EQ((std::set<std::string>{kFull + ":1033", kMulti + ":1031", kMulti + ":1033", kTop, kMid, kBase, kBroken,
                                     kCycleA, kCycleB}),
              Keys(modules, "entry_key"));
    auto full = std::find_if(modules.begin(), modules.end(), [](const json& m) { return m["module_id"] == kFull; });
    ASSERT_NE(modules.end(), full);
    EXPECT_EQ("Full Test Module", (*full)["display_name"]);
    EXPECT_EQ("1.2.3.4", (*full)["version"]);
    EXPECT_EQ(1033, (*full)["language"]);
    EXPECT_EQ(ToUtf8(folder_), (*full)["source"]);
    EXPECT_EQ(ToUtf8(Module(L"full.msm")), (*full)["path"]);
    EXPECT_EQ(true, (*full)["present"]);
    EXPECT_EQ(false, (*full)["newer_version"]);

    Outcome text = Run(L"list");
    EXPECT_EQ(0u, text.exitCode);
    EXPECT_NE(std::string::npos, text.out.find(kFull + ":1033  1.2.3.4  Full Test Module  (" + ToUtf8(folder_) + ")\n"));
    EXPECT_NE(std::string::npos, text.out.find("\n9 modules\n"));

    // Names beyond ASCII go through the command line, the configuration and the JSON unchanged.
    _stringx accented = cvtest::FreshScratchDir(L"cli-m\u00f3dulos \u00e4");
    ASSERT_TRUE(CopyFileW(Module(L"full.msm").c_str(), JoinPath(accented, L"\u00dcn\u00ef.msm").c_str(), FALSE));
    Outcome unusual = Mmcat(L"list --json --path \"" + accented + L"\"");
    ASSERT_EQ(0u, unusual.exitCode) << unusual.err;
    EXPECT_EQ(ToUtf8(JoinPath(accented, L"\u00dcn\u00ef.msm")), unusual.Json()["modules"][0]["path"]);

    _stringx empty = cvtest::FreshScratchDir(L"cli-empty-folder");
    Outcome none = Mmcat(L"list --json --path \"" + empty + L"\"");
    EXPECT_EQ(1u, none.exitCode) << "nothing found";
    EXPECT_EQ(json::array(), none.Json()["modules"]);
}

TEST_F(Tool, ShowsAModuleByFileOrSignatureWithItsTargetFolders) {
    for (const _stringx& argument :
         {L"\"" + Module(L"full.msm") + L"\"", _stringx(FromNarrow(kFull + ":1033")), _stringx(FromNarrow(kFull))}) {
        Outcome shown = Run(L"show --json " + argument);
        ASSERT_EQ(0u, shown.exitCode) << ToUtf8(argument) << shown.err;
        json m = shown.Json();
        EXPECT_EQ(kFull + ":1033", m["entry_key"]);
        EXPECT_EQ("Full Test Module", m["subject"]);
        EXPECT_EQ("Test Author", m["author"]);
        EXPECT_EQ("Every table of a merge module, filled", m["comments"]);
        EXPECT_EQ("{5D0C6A1E-7B2F-4C3D-9E8A-1F2B3C4D5E6F}", m["revision_number"]);
        EXPECT_EQ(true, m["present"]);
        ASSERT_EQ(2u, m["dependencies"].size()) << "the module's dependency on itself is not listed";
        EXPECT_EQ("HelperModule.AAAAAAAA_BBBB_CCCC_DDDD_EEEEEEEEEEEE", m["dependencies"][0]["module_id"]);
        EXPECT_EQ(1031, m["dependencies"][0]["language"]);
        EXPECT_EQ("", m["dependencies"][0]["version"]);
        EXPECT_EQ(0, m["dependencies"][1]["language"]);
        EXPECT_EQ("2.0.0.0", m["dependencies"][1]["version"]);
        ASSERT_EQ(2u, m["exclusions"].size());
        EXPECT_EQ("1.0.0.0", m["exclusions"][0]["min_version"]);
        EXPECT_EQ("1.9.9.9", m["exclusions"][0]["max_version"]);
        EXPECT_EQ(1033, m["exclusions"][0]["language"]);
        EXPECT_EQ(2u, m["dialogs"].size());
        EXPECT_EQ(2u, m["custom_actions"].size());
        EXPECT_TRUE(m["download_files"].empty());
        std::map<std::string, json> files;
        for (const json& file : m["files"]) files[file["file_name"].get<std::string>()] = file;
        ASSERT_EQ(6u, files.size());
        EXPECT_EQ("[SystemFolder]MyDir\\zeta.dll", files["zeta.dll"]["target_path"]);
        EXPECT_EQ("[SystemFolder]MyDir", files["zeta.dll"]["target_folder"]);
        EXPECT_EQ("1.2.3.4", files["zeta.dll"]["version"]);
        EXPECT_EQ("[SystemFolder]MyDir\\Sub\\Alpha Readme.txt", files["Alpha Readme.txt"]["target_path"]);
        EXPECT_TRUE(files["orphan.ini"]["target_path"].is_null()) << "its component is missing";
    }
    // A module file outside the catalog's folders answers for itself, though the catalog holds its key.
    Outcome outside = Run(L"show --json \"" + cvtest::FixturePath(L"deps-top-new.msm") + L"\"");
    ASSERT_EQ(0u, outside.exitCode) << outside.err;
    json top = outside.Json();
    EXPECT_EQ(kTop, top["entry_key"]);
    EXPECT_EQ("2.0.0.0", top["version"]);
    EXPECT_EQ(ToUtf8(cvtest::FixturePath(L"deps-top-new.msm")), top["path"]);
    ASSERT_EQ(3u, top["exclusions"].size());
    std::set<long> languages;
    for (const json& exclusion : top["exclusions"]) languages.insert(exclusion["language"].get<long>());
    EXPECT_EQ((std::set<long>{-1033, 0, 7}), languages);

    Outcome text = Run(L"show \"" + Module(L"full.msm") + L"\"");
    EXPECT_NE(std::string::npos, text.out.find("  Author:         Test Author\n"));
    EXPECT_NE(std::string::npos, text.out.find("Files (6):\n"));
    EXPECT_NE(std::string::npos, text.out.find("  [SystemFolder]MyDir\\zeta.dll  version 1.2.3.4, 40960 bytes"));
}

TEST_F(Tool, WhichFindsTheDeliveringModuleOrSaysWhyNot) {
    struct Case {
        const wchar_t* arguments;
        DWORD exitCode;
        std::string moduleId;
        size_t candidates;
        std::string candidatePath = "";  // the first candidate's, as its module has it
    } cases[] = {
        {L"\"[SystemFolder]shared.dll\" --version 3.0.0.0", 0, kMulti, 0},
        {L"\"[SystemFolder]MyDir\\zeta.dll\" --version 1.2.3.4 --key MyDir", 0, kFull, 0},
        // A file that has a version needs it; a wrong directory key or folder does not match.
        {L"\"[SystemFolder]shared.dll\"", 1, "", 2},
        {L"\"[SystemFolder]MyDir\\zeta.dll\" --version 1.2.3.4 --key Sub", 1, "", 1},
        {L"\"[WindowsFolder]zeta.dll\" --version 1.2.3.4", 1, "", 1},
        {L"\"[SystemFolder]nothing.dll\"", 1, "", 0},
        // Names and folders in another case: found, or listed as the candidates they are.
        {L"\"[systemfolder]MYDIR\\Zeta.DLL\" --version 1.2.3.4", 0, kFull, 0},
        {L"\"[SYSTEMFOLDER]MyDir\\ZETA.DLL\" --version 1.2.3.5", 1, "", 1, "[SystemFolder]MyDir\\zeta.dll"},
    };
    for (const Case& c : cases) {
        Outcome found = Run(_stringx(L"which --json ") + c.arguments);
        SCOPED_TRACE(ToUtf8(c.arguments));
        ASSERT_EQ(c.exitCode, found.exitCode) << found.err;
        json result = found.Json();
        EXPECT_EQ(c.exitCode == 0, result["found"].get<bool>());
        if (c.exitCode == 0) {
            EXPECT_EQ(c.moduleId, result["module"]["module_id"]);
            EXPECT_EQ("files", result["matched_by"]);
        } else {
            EXPECT_TRUE(result["module"].is_null());
        }
        EXPECT_EQ(c.candidates, result["candidates"].size());
        if (!c.candidatePath.empty()) {
            EXPECT_EQ(c.candidatePath, result["candidates"][0]["target_path"]);
        }
    }
    Outcome shared = Run(L"which --json \"[SystemFolder]shared.dll\"");
    json candidate = shared.Json()["candidates"][0];
    EXPECT_EQ("0", shared.Json()["version"]);
    EXPECT_EQ("3.0.0.0", candidate["version"]);
    EXPECT_EQ("[SystemFolder]", candidate["target_folder"]);
    EXPECT_EQ("SystemFolder", candidate["directory"]);

    Outcome text = Run(L"which \"[SystemFolder]shared.dll\"");
    EXPECT_NE(std::string::npos, text.out.find("No module delivers [SystemFolder]shared.dll in version 0.\n"));
    EXPECT_NE(std::string::npos, text.out.find(" has [SystemFolder]shared.dll  version 3.0.0.0, 1024 bytes"));
}

TEST_F(Tool, FindPicksALanguageAsTheCatalogDoes) {
    struct Case {
        std::string signature;
        DWORD exitCode;
        std::string entryKey;
    } cases[] = {
        {kMulti, 0, kMulti + ":1031"},
        {kMulti + ":0", 0, kMulti + ":1031"},
        {kMulti + ":1033", 0, kMulti + ":1033"},
        {kMulti + ":2057", 1, ""},
        {"Nothing.X", 1, ""},
    };
    for (const Case& c : cases) {
        Outcome found = Run(L"find --json " + FromNarrow(c.signature));
        ASSERT_EQ(c.exitCode, found.exitCode) << c.signature << found.err;
        json module = found.Json()["module"];
        EXPECT_EQ(c.entryKey, module.is_null() ? "" : module["entry_key"].get<std::string>()) << c.signature;
    }
    EXPECT_EQ("No module Nothing.X:0 in the catalog.\n", Run(L"find Nothing.X").out);
    EXPECT_EQ(0u, Run(L"find " + FromNarrow(kMulti)).out.find(kMulti + ":1031\n    Multi Language Module 1031; "));
}

// Every module comes after all that it requires, except along a reported cycle.
void ExpectMergeOrder(const json& closure) {
    std::map<std::string, size_t> position;
    for (const json& key : closure["merge_order"]) position.emplace(key.get<std::string>(), position.size());
    std::set<std::pair<std::string, std::string>> cyclic;
    for (const json& cycle : closure["cycles"])
        for (size_t i = 0; i < cycle.size(); ++i) cyclic.emplace(cycle[i].get<std::string>(), cycle[(i + 1) % cycle.size()].get<std::string>());
    EXPECT_EQ(closure["modules"].size(), position.size());
    for (const json& module : closure["modules"])
        for (const json& required : module["requires"]) {
            if (required["resolved"].is_null()) continue;
            std::string from = module["entry_key"], to = required["resolved"];
            if (from != to && !cyclic.count({from, to})) {
                EXPECT_LT(position.at(to), position.at(from)) << to << " before " << from;
            }
        }
}

TEST_F(Tool, DependencyClosures) {
    Outcome chain = Run(L"deps --json " + FromNarrow(kTop));
    ASSERT_EQ(0u, chain.exitCode) << chain.err;
    json clean = chain.Json();
    EXPECT_EQ(true, clean["complete"]);
    EXPECT_EQ(json::array({kBase, kMid, kTop}), clean["merge_order"]);
    EXPECT_EQ(kMid, clean["modules"][0]["requires"][1]["resolved"]) << "language 0 takes the one there is";
    for (const char* list : {"missing", "too_old", "excluded", "cycles"}) EXPECT_TRUE(clean[list].empty()) << list;

    Outcome broken = Run(L"deps --json \"" + Module(L"deps-broken.msm") + L"\"");
    ASSERT_EQ(1u, broken.exitCode) << broken.err;
    json closure = broken.Json();
    EXPECT_EQ(kBroken, closure["root"]);
    EXPECT_EQ(false, closure["complete"]);
    EXPECT_EQ((std::set<std::string>{kBroken, kTop, kMid, kBase, kCycleA, kCycleB}), Keys(closure["modules"], "entry_key"));
    ASSERT_EQ(1u, closure["missing"].size());
    EXPECT_EQ(Deps("Missing", 9), closure["missing"][0]["module_id"]);
    EXPECT_EQ(1033, closure["missing"][0]["language"]);
    EXPECT_EQ(kBroken, closure["missing"][0]["required_by"]);
    ASSERT_EQ(1u, closure["too_old"].size());
    EXPECT_EQ(kBase, closure["too_old"][0]["entry_key"]);
    EXPECT_EQ("2.0.0.1", closure["too_old"][0]["version"]);
    EXPECT_EQ("3.0", closure["too_old"][0]["required_version"]);
    ASSERT_EQ(1u, closure["excluded"].size()) << "the base is below the excluded range";
    EXPECT_EQ(kMid, closure["excluded"][0]["entry_key"]);
    EXPECT_EQ(kBroken, closure["excluded"][0]["excluded_by"]);
    EXPECT_EQ("1.5", closure["excluded"][0]["max_version"]);
    EXPECT_EQ(json::array({json::array({kCycleA, kCycleB})}), closure["cycles"]);
    EXPECT_EQ(kBroken, closure["merge_order"].back());
    ExpectMergeOrder(closure);
    ExpectMergeOrder(clean);

    Outcome text = Run(L"deps " + FromNarrow(kBroken));
    EXPECT_EQ(1u, text.exitCode);
    for (const std::string& expected :
         {"Missing (1):\n  " + Deps("Missing", 9) + ":1033, any version, required by " + kBroken + "\n",
          "Too old (1):\n  " + kBase + " is 2.0.0.1; " + kBroken + " requires 3.0 or later\n",
          "Exclusions violated (1):\n  " + kBroken + " excludes " + kMid + " 1.1.0.0 (1031, versions up to 1.5)\n",
          "Cycles (1):\n  " + kCycleA + " -> " + kCycleB + " -> " + kCycleA + "\n", std::string("Incomplete.\n")})
        EXPECT_NE(std::string::npos, text.out.find(expected)) << expected << "\nin:\n" << text.out;

    Outcome dot = Run(L"deps --dot " + FromNarrow(kTop));
    EXPECT_EQ(0u, dot.exitCode);
    EXPECT_EQ(0u, dot.out.find("digraph closure {\n"));
    EXPECT_NE(std::string::npos, dot.out.find("\"" + kTop + "\" -> \"" + kMid + "\" [label=\">= 1.0\"];\n"));
}

// Each problem alone: a module named by its file answers for itself, in the catalog's folder or not,
// but not for a requirement of another language.
TEST_F(Tool, EachVerdictAloneMakesAClosureIncomplete) {
    struct Case {
        std::vector<const wchar_t*> folder;
        _stringx argument;
        const char* verdict;
        size_t count;
    } cases[] = {
        {{L"deps-cycle-b.msm", L"deps-cycle-a-1031.msm"}, FromNarrow(kCycleB), "missing", 1},
        {{L"deps-cycle-b.msm"}, L"\"" + cvtest::FixturePath(L"deps-cycle-a-1031.msm") + L"\"", "missing", 1},
        {{L"deps-mid.msm", L"deps-base-old.msm"}, FromNarrow(kMid), "too_old", 1},
        {{L"deps-top.msm", L"deps-mid.msm", L"deps-base.msm"}, L"\"" + cvtest::FixturePath(L"deps-top-new.msm") + L"\"",
         "excluded", 2},
        {{L"deps-cycle-b.msm"}, L"\"" + cvtest::FixturePath(L"deps-cycle-a.msm") + L"\"", "cycles", 1},
    };
    std::vector<json> closures;
    for (const Case& c : cases) {
        _stringx folder = cvtest::MakeFolders(JoinPath(folder_, _stringx::Formatted(L"case-%zu", closures.size())));
        for (const wchar_t* name : c.folder) ASSERT_TRUE(cvtest::CopyInto(cvtest::FixturePath(name), folder));
        Outcome outcome = Mmcat(L"deps --json " + c.argument + L" --path \"" + folder + L"\"");
        SCOPED_TRACE(ToUtf8(c.argument));
        EXPECT_EQ(1u, outcome.exitCode) << outcome.err;
        closures.push_back(outcome.Json());
        const json& closure = closures.back();
        EXPECT_EQ(false, closure["complete"]);
        for (const char* list : {"missing", "too_old", "excluded", "cycles"})
            EXPECT_EQ(list == std::string(c.verdict) ? c.count : 0u, closure[list].size()) << list;
        ExpectMergeOrder(closure);
    }
    for (size_t i : {0, 1}) {
        EXPECT_EQ(Deps("CycleA", 5), closures[i]["missing"][0]["module_id"]);
        EXPECT_EQ(1033, closures[i]["missing"][0]["language"]);
        EXPECT_EQ(kCycleB, closures[i]["missing"][0]["required_by"]);
    }
    EXPECT_EQ(kBase, closures[2]["too_old"][0]["entry_key"]);
    EXPECT_EQ("1.9.9.9", closures[2]["too_old"][0]["version"]);
    // The file's top, not the catalog's 1.0: excluded by the base, excluding the German middle at its edge.
    json excluded = closures[3]["excluded"];
    EXPECT_EQ(3u, closures[3]["modules"].size());
    EXPECT_EQ("2.0.0.0", closures[3]["modules"][0]["version"]);
    EXPECT_EQ(kMid, excluded[0]["entry_key"]);
    EXPECT_EQ(7, excluded[0]["language"]);
    EXPECT_EQ(kTop, excluded[1]["entry_key"]);
    EXPECT_EQ(kBase, excluded[1]["excluded_by"]);
    EXPECT_EQ(json::array({json::array({kCycleA, kCycleB})}), closures[4]["cycles"]);
    EXPECT_EQ(json::array({kCycleB, kCycleA}), closures[4]["merge_order"]);
}

TEST_F(Tool, BadInputGetsAClearErrorAndTouchesNothing) {
    _stringx missingFolder = JoinPath(folder_, L"no-such-folder");
    struct Case {
        _stringx arguments;
        DWORD exitCode;
        const char* stderrHolds;
    } cases[] = {
        {L"", 2, "subcommand"},
        {L"frobnicate", 2, "subcommand"},
        {L"list --path \"" + missingFolder + L"\"", 2, "no-such-folder: no such folder"},
        {L"which --path \"" + folder_ + L"\"", 2, "path is required"},
        {L"list", 2, "CVAPPSERVICES_INI"},
        {L"show Nothing.X:1033 --path \"" + folder_ + L"\"", 1, "no module Nothing.X:1033 in the catalog"},
        // A slash starts no option; a path that names no file is not looked up as a ModuleID.
        {L"show /no/such.msm --path \"" + folder_ + L"\"", 2, "no such file"},
        {L"LIST", 2, "CVAPPSERVICES_INI"},
        {L"help frob", 2, "unknown subcommand \"frob\"; the subcommands are list, show, which, find, deps"},
        {L"find x:abc --path \"" + folder_ + L"\"", 2, "must be a number, e.g. x:1033"},
        {L"find \"\" --path \"" + folder_ + L"\"", 2, "no ModuleID given"},
        {L"list --path \"" + Module(L"full.msm") + L"\"", 2, "is a file, not a folder"},
        {L"show \"" + folder_ + L"\" --path \"" + folder_ + L"\"", 2, "is a folder"},
        {L"list --path \"" + folder_ + L"\" other", 2, "take one folder each"},
        {L"show \"" + cvtest::FixturePath(L"corrupt.msm") + L"\" --path \"" + folder_ + L"\"", 2, "not a merge module"},
        {L"deps \"" + cvtest::FixturePath(L"empty-signature.msm") + L"\" --path \"" + folder_ + L"\"", 2,
         "not a merge module"},
        {L"report --path \"" + folder_ + L"\"", 2, "--output is required"},
        {L"report -o \"" + Module(L"deps-broken.msm") + L"\" --path \"" + folder_ + L"\"", 2, "not written over a merge module"},
        {L"report -o \"" + JoinPath(missingFolder, L"r.html") + L"\" --path \"" + folder_ + L"\"", 2, "cannot write"},
        {L"conflicts \"" + cvtest::FixturePath(L"corrupt.msm") + L"\" --path \"" + folder_ + L"\"", 2, "not a merge module"},
    };
    SetEnvironmentVariableW(L"CVAPPSERVICES_INI", nullptr);
    std::string corrupt = cvtest::ReadBytes(cvtest::FixturePath(L"corrupt.msm"));
    std::string broken = cvtest::ReadBytes(Module(L"deps-broken.msm"));
    for (const Case& c : cases) {
        Outcome outcome = Mmcat(c.arguments);
        EXPECT_EQ(c.exitCode, outcome.exitCode) << ToUtf8(c.arguments) << "\n" << outcome.err;
        EXPECT_NE(std::string::npos, outcome.err.find(c.stderrHolds)) << ToUtf8(c.arguments) << "\n" << outcome.err;
        EXPECT_TRUE(outcome.out.empty()) << outcome.out;
    }
    EXPECT_TRUE(corrupt == cvtest::ReadBytes(cvtest::FixturePath(L"corrupt.msm"))) << "a damaged module is only read";
    EXPECT_TRUE(broken == cvtest::ReadBytes(Module(L"deps-broken.msm"))) << "a module is only read";

    for (const wchar_t* asked : {L"which --help", L"help which", L"HELP Which"}) {
        Outcome help = Mmcat(asked);
        EXPECT_EQ(0u, help.exitCode) << ToUtf8(asked);
        EXPECT_NE(std::string::npos, help.out.find("An empty version means \"0\"")) << ToUtf8(asked);
    }

    // With --json an error is still the one JSON document on stdout, and the exit code stays.
    struct JsonCase {
        _stringx arguments;
        int code;
    } jsonCases[] = {
        {L"show Nothing.X --json --path \"" + folder_ + L"\"", 1},
        {L"deps Nothing.X --json --path \"" + folder_ + L"\"", 1},
        {L"find x:abc --json --path \"" + folder_ + L"\"", 2},
        {L"frobnicate --json", 2},
        {L"deps --dot --json x --path \"" + folder_ + L"\"", 2},
        {L"list --format json --path \"" + missingFolder + L"\"", 2},
        {L"list --json", 2},
    };
    for (const JsonCase& c : jsonCases) {
        Outcome outcome = Mmcat(c.arguments);
        SCOPED_TRACE(ToUtf8(c.arguments));
        EXPECT_EQ(static_cast<DWORD>(c.code), outcome.exitCode);
        json error = outcome.Json()["error"];
        EXPECT_EQ(c.code, error["code"]);
        EXPECT_FALSE(error["message"].get<std::string>().empty());
    }

    // The environment's configuration file must exist.
    _stringx missingIni = JoinPath(folder_, L"nowhere\\AppServices.ini");
    SetEnvironmentVariableW(L"CVAPPSERVICES_INI", missingIni.c_str());
    Outcome noIni = Mmcat(L"list");
    EXPECT_EQ(2u, noIni.exitCode);
    EXPECT_NE(std::string::npos, noIni.err.find("CVAPPSERVICES_INI names " + ToUtf8(missingIni) + ", which does not exist"));
}

// Lookups as users type them: any case, no language, the beginning of a ModuleID, wildcards; file
// names without a folder, and forward slashes.
TEST_F(Tool, LooksUpModulesAsUsersTypeThem) {
    struct Case {
        std::string arguments;
        DWORD exitCode;
        std::set<std::string> keys;
    } cases[] = {
        {"find fullmodule.0a1b2c3d_4e5f_6071_8293_a4b5c6d7e8f9:1033", 0, {kFull + ":1033"}},
        {"find FULLMODULE", 0, {kFull + ":1033"}},
        {"find multi", 0, {kMulti + ":1031"}},
        {"find multi:1033", 0, {kMulti + ":1033"}},
        {"find chain*", 0, {kTop, kMid, kBase}},
        {"find \"C?cle*:1033\"", 0, {kCycleA, kCycleB}},
        {"find c", 1, {kTop, kMid, kBase, kCycleA, kCycleB}},
        {"find nothing*", 1, {}},
        {"show chaintop", 0, {kTop}},
        {"show cycle", 1, {}},
    };
    for (const Case& c : cases) {
        Outcome found = Run(FromNarrow(c.arguments) + L" --json");
        SCOPED_TRACE(c.arguments);
        EXPECT_EQ(c.exitCode, found.exitCode) << found.err;
        json result = found.Json();
        std::set<std::string> keys;
        if (result.contains("modules")) keys = Keys(result["modules"], "entry_key");
        if (result.contains("entry_key")) keys.insert(result["entry_key"].get<std::string>());
        if (c.keys.size() > 1 || c.exitCode == 0) {
            EXPECT_EQ(c.keys, keys);
        }
    }
    Outcome several = Run(L"deps cycle");
    EXPECT_EQ(1u, several.exitCode);
    EXPECT_NE(std::string::npos, several.err.find("cycle fits 2 modules; give more of the ModuleID")) << several.err;

    struct Which {
        const wchar_t* arguments;
        DWORD exitCode;
        std::set<std::string> keys;
        bool indexed;
    } names[] = {
        {L"zeta.dll", 0, {kFull + ":1033"}, false},
        {L"ZETA.DLL --key MyDir", 0, {kFull + ":1033"}, false},
        {L"zeta.dll --key Sub", 1, {}, false},
        {L"shared.dll --version 3.0.0.0", 0, {kMulti + ":1031", kMulti + ":1033"}, false},
        {L"nothing.dll", 1, {}, false},
        {L"\"[SystemFolder]MyDir/zeta.dll\" --version 1.2.3.4", 0, {}, false},
    };
    for (const Which& c : names) {
        Outcome which = Run(_stringx(L"which --json ") + c.arguments);
        SCOPED_TRACE(ToUtf8(c.arguments));
        ASSERT_EQ(c.exitCode, which.exitCode) << which.err;
        EXPECT_EQ(c.keys, Keys(which.Json()["candidates"], "entry_key"));
    }
    json zeta = Run(L"which --json zeta.dll").Json()["candidates"][0];
    EXPECT_EQ("[SystemFolder]MyDir", zeta["target_folder"]);
    EXPECT_EQ("MyDir", zeta["directory"]);
    EXPECT_EQ("1.2.3.4", zeta["version"]);
    EXPECT_EQ("files", Run(L"which --json \"[SystemFolder]MyDir/zeta.dll\" --version 1.2.3.4").Json()["matched_by"]);

    // A module file alone, with no configuration: its folder is the catalog.
    SetEnvironmentVariableW(L"CVAPPSERVICES_INI", nullptr);
    Outcome alone = Mmcat(L"deps --json \"" + Module(L"deps-top.msm") + L"\"");
    ASSERT_EQ(0u, alone.exitCode) << alone.err;
    EXPECT_EQ(json::array({kBase, kMid, kTop}), alone.Json()["merge_order"]);
}

// What the catalog passes over in silence is named on stderr once and in the JSON's warnings: a
// damaged, an empty and a text file named .msm, a second copy of a key, search folders that do not
// exist or are quoted.
TEST_F(Tool, SetUpMistakesAreNamed) {
    std::string full = cvtest::ReadBytes(Module(L"full.msm"));
    cvtest::WriteText(Module(L"cut.msm"), full.substr(0, full.size() / 3));
    cvtest::WriteText(Module(L"empty.msm"), "");
    cvtest::WriteText(Module(L"notes.msm"), "not a module\r\n");
    cvtest::WriteText(Module(L"CycleA.msm"), std::string(4096, '\xFF'));
    ASSERT_TRUE(DeleteFileW(Module(L"deps-cycle-a.msm").c_str()));
    ASSERT_TRUE(CopyFileW(Module(L"full.msm").c_str(), Module(L"full-copy.msm").c_str(), FALSE));

    Outcome listed = Run(L"list --json");
    ASSERT_EQ(0u, listed.exitCode) << listed.err;
    json result = listed.Json();
    EXPECT_EQ(8u, result["modules"].size()) << "no module \":0\" for the files that do not read";
    std::vector<std::string> warnings = result["warnings"];
    ASSERT_EQ(5u, warnings.size()) << listed.out;
    for (const wchar_t* name : {L"cut.msm", L"empty.msm", L"notes.msm", L"CycleA.msm"}) {
        std::string expected = ToUtf8(Module(name)) + " does not read as a merge module";
        EXPECT_EQ(1, std::count_if(warnings.begin(), warnings.end(),
                                   [&](const std::string& w) { return w.find(expected) == 0; }))
            << expected;
        EXPECT_NE(std::string::npos, listed.err.find("mmcat: warning: " + expected));
    }
    EXPECT_EQ(1, std::count_if(warnings.begin(), warnings.end(), [&](const std::string& w) {
                  return w.find(" is hidden by ") != std::string::npos && w.find(kFull + ":1033") != std::string::npos;
              }));

    std::string line = "list --path \"" + ToUtf8(folder_) + "\"\n";
    Outcome twice = Mmcat(L"-", line + line);
    EXPECT_EQ(0u, twice.exitCode);
    size_t told = twice.err.find("cut.msm does not read");
    EXPECT_NE(std::string::npos, told);
    EXPECT_EQ(told, twice.err.rfind("cut.msm does not read")) << "once per run";
    Outcome missing = Run(L"deps " + FromNarrow(kCycleB));
    EXPECT_EQ(1u, missing.exitCode);
    EXPECT_NE(std::string::npos, missing.out.find("required by " + kCycleB + " (a damaged copy is at " +
                                                  ToUtf8(Module(L"CycleA.msm")) + ")"))
        << missing.out;

    cvtest::TestEnvironment environment(L"cli-setup");
    environment.SetSearchPathText(L"\"" + folder_ + L"\"," + folder_ + L"\\gone");
    Outcome quoted = Mmcat(L"list");
    EXPECT_EQ(1u, quoted.exitCode);
    EXPECT_NE(std::string::npos, quoted.err.find("(quotes are taken as part of the name")) << quoted.err;
    EXPECT_NE(std::string::npos, quoted.err.find(ToUtf8(folder_) + "\\gone does not exist")) << quoted.err;
}

// The environment's own configuration, and a private one over its application and index folders:
// sources are the repository's name, the folder, or the gallery; the private files go afterwards.
TEST_F(Tool, ConfigurationFromTheEnvironmentOrPrivate) {
    cvtest::TestEnvironment environment(L"cli-environment");
    _stringx team = environment.AddSearchFolder(L"Team");
    environment.CopyFixture(L"multi-1033.msm", team);
    _stringx modules = environment.AddSearchFolder(L"Modules");
    environment.CopyFixture(L"full.msm", modules);
    environment.SetSearchPath({modules});
    environment.WriteRepositories({{team, L"Team modules"}});
    environment.WriteModulesIndex({{FromNarrow(kFull + ":1033"), L"Friendly Full"}});
    environment.WriteGalleryFile(L"Described.ini",
                                 "[MergeModule]\r\nFileName=Described.msm\r\nModuleID=Described.X\r\nLanguage=1033\r\n"
                                 "Version=2.0\r\nSubject=Only described\r\n[Described.msm]\r\nLocation=elsewhere\r\n");
    _stringx temp = cvtest::FreshScratchDir(L"cli-temp");
    SetEnvironmentVariableW(L"TMP", temp.c_str());
    SetEnvironmentVariableW(L"TEMP", temp.c_str());

    auto sources = [](const Outcome& outcome) {
        std::map<std::string, std::string> result;
        json listed = outcome.Json();
        for (const json& m : listed["modules"])
            result[m["entry_key"].get<std::string>()] = m["source"].get<std::string>() + (m["present"].get<bool>() ? "" : " (absent)") +
                                     " " + m["display_name"].get<std::string>();
        return result;
    };
    std::map<std::string, std::string> expected{
        {kFull + ":1033", ToUtf8(modules) + " Friendly Full"},
        {kMulti + ":1033", "Team modules Multi Language Module 1033"},
        {"Described.X:1033", "gallery (absent) Only described"}};
    Outcome own = Mmcat(L"list --json");
    ASSERT_EQ(0u, own.exitCode) << own.err;
    EXPECT_EQ(expected, sources(own));

    SetEnvironmentVariableW(L"CVAPPSERVICES_INI", nullptr);
    Outcome privately = Mmcat(L"list --json --path \"" + modules + L"\" --app \"" + environment.ApplicationFolder() +
                              L"\" --index \"" + environment.IndexFolder() + L"\"");
    ASSERT_EQ(0u, privately.exitCode) << privately.err;
    EXPECT_EQ(expected, sources(privately));
    WIN32_FIND_DATAW data;
    unique_find left(FindFirstFileW(JoinPath(temp, L"mmcat-*").c_str(), &data));
    EXPECT_FALSE(left) << "the private configuration is removed";
}
// The conflicts corpus plants each class of answer; its manifest names the modules of each.
TEST(Conflicts, EachPlantedClassOverTheCatalogAndOverClosures) {
    CorpusManifest manifest;
    std::wstring error;
    ASSERT_TRUE(manifest.Read(CV_TEST_CONFLICTS_CORPUS L"\\manifest.txt", &error)) << ToUtf8(error);
    const _stringx paths = L" --path \"" CV_TEST_CONFLICTS_CORPUS L"\\Modules\\Core\" --path \"" CV_TEST_CONFLICTS_CORPUS
                           L"\\Modules\\Extra\"";
    auto lower = [](std::string text) {
        std::transform(text.begin(), text.end(), text.begin(), ::tolower);
        return text;
    };
    // Target path (lower case) to the signatures of the modules listed for it.
    auto groups = [&](const json& list) {
        std::map<std::string, std::set<std::string>> result;
        for (const json& group : list)
            for (const json& m : group["modules"])
                result[lower(group["target_path"])].insert(m["module_id"].get<std::string>() + ":" + m["language"].dump());
        return result;
    };
    auto signature = [&](const char* name) {
        for (const CorpusModule& m : manifest.modules)
            if (m.moduleId.rfind((FromNarrow(name) + L".").str(), 0) == 0 && m.language == L"1033") return ToUtf8(m.moduleId + L":1033");
        return std::string("none");
    };

    Outcome all = Mmcat(L"conflicts --json" + paths);
    ASSERT_EQ(1u, all.exitCode) << all.err;
    json answer = all.Json();
    auto conflicts = groups(answer["conflicts"]), duplicates = groups(answer["duplicates"]);
    std::set<std::string> unresolved;
    for (const json& d : answer["unresolved"])
        unresolved.insert(d["file_name"].get<std::string>() + " " + d["module_id"].get<std::string>() + ":" + d["language"].dump());
    std::map<std::string, size_t> planted;
    for (const PlantedAnswer& p : manifest.planted) {
        ++planted[ToUtf8(p.kind)];
        std::set<std::string> modules;
        for (const std::wstring& s : p.signatures) modules.insert(ToUtf8(s));
        std::string target = lower(ToUtf8(p.target));
        if (p.kind == L"conflict")
            EXPECT_EQ(modules, conflicts[target]) << target;
        else if (p.kind == L"duplicate")
            EXPECT_EQ(modules, duplicates[target]) << target;
        else if (p.kind == L"unresolved")
            EXPECT_EQ(1u, unresolved.count(ToUtf8(p.target) + " " + *modules.begin())) << target;
        else
            EXPECT_EQ(0u, conflicts.count(target) + duplicates.count(target)) << ToUtf8(p.kind) << " " << target;
    }
    EXPECT_EQ(planted["conflict"], answer["conflicts"].size());
    EXPECT_EQ(planted["duplicate"], answer["duplicates"].size());
    EXPECT_EQ(planted["unresolved"], answer["unresolved"].size());
    EXPECT_EQ(manifest.modules.size(), answer["modules"].get<size_t>());
    EXPECT_EQ(manifest.files.size(), answer["files"].get<size_t>());
    // Each module's own version of the file, as the manifest has it.
    for (const json& m : answer["conflicts"][0]["modules"]) {
        auto file = std::find_if(manifest.files.begin(), manifest.files.end(), [&](const CorpusFile& f) {
            return ToUtf8(f.moduleId) == m["module_id"] && _wcsicmp(f.name.c_str(), FromUtf8(m["file_name"]).c_str()) == 0;
        });
        ASSERT_NE(manifest.files.end(), file);
        EXPECT_EQ(ToUtf8(file->version), m["version"]) << m.dump();
    }

    // Over closures only the modules named are merged, and then only what they deliver counts.
    struct Case {
        std::vector<const char*> modules;
        DWORD exitCode;
        size_t conflicts, duplicates;
    };
    const Case cases[] = {{{"Alpha", "Bravo"}, 1, 1, 1}, {{"Alpha", "Charlie"}, 1, 1, 0}, {{"Alpha"}, 0, 0, 0},
                          {{"Delta", "Echo"}, 0, 0, 0},  {{"Foxtrot"}, 0, 0, 0}};
    for (const Case& c : cases) {
        _stringx arguments = L"conflicts --json";
        for (const char* name : c.modules) arguments += L" " + FromNarrow(signature(name));
        Outcome some = Mmcat(arguments + paths);
        EXPECT_EQ(c.exitCode, some.exitCode) << ToUtf8(arguments) << some.err;
        json found = some.Json();
        EXPECT_EQ(c.conflicts, found["conflicts"].size()) << ToUtf8(arguments);
        EXPECT_EQ(c.duplicates, found["duplicates"].size()) << ToUtf8(arguments);
        EXPECT_EQ(c.modules.size(), found["modules"].get<size_t>()) << ToUtf8(arguments);
    }
    Outcome text = Mmcat(L"conflicts" + paths);
    EXPECT_EQ(1u, text.exitCode);
    EXPECT_NE(std::string::npos, text.out.find("Conflicts: different versions or sizes (1):\n  [ProgramFilesFolder]")) << text.out;
    Outcome unknown = Mmcat(L"conflicts NoSuch.Module" + paths);
    EXPECT_EQ(1u, unknown.exitCode);
    EXPECT_NE(std::string::npos, unknown.err.find("no module NoSuch.Module:0")) << unknown.err;
}

// Each module's records as one line, every field; or the error that ended the read.
using SetAnswer = std::vector<std::vector<std::string>>;
SetAnswer AnswerOf(const std::function<std::vector<ModuleFiles>()>& read) {
    SetAnswer answer;
    try {
        for (const ModuleFiles& module : read()) {
            answer.emplace_back(1, ToUtf8(module.Module->EntryKey));
            for (const FileRecord& f : module.Files)
                answer.back().push_back(ToUtf8(f.FileKey + L"|" + f.StoredName + L"|" + f.FileName + L"|" + f.Directory + L"|" +
                                               (f.Resolved ? f.TargetFolder : L"(unresolved)") + L"|" + f.Version + L"|" +
                                               f.Language + _stringx::Formatted(L"|%ld|%ld", f.Size, f.Sequence)));
        }
    } catch (const ToolError& e) {
        answer = {{"error " + ToUtf8(e.Message())}};
    } catch (const CComException& e) {
        answer = {{"error " + ToUtf8(e.Error().Description())}};
    }
    return answer;
}

// The set's lists read together, from the readers and then from the module cache, equal the lists
// read module by module through their objects: unresolved folders, gallery modules (one whose
// description names a file on the search path that holds another module), a module damaged after
// the catalog read it.
TEST_F(Tool, SetFilesReadTogetherAsOneByOne) {
    _stringx profile = cvtest::FreshScratchDir(L"cli-set-files-profile");
    SetEnvironmentVariableW(L"LOCALAPPDATA", profile.c_str());
    SetEnvironmentVariableW(L"CVMMUPDATER_CACHE", nullptr);
    cvtest::TestEnvironment environment(L"cli-set-files");
    environment.SetSearchPath({folder_, CV_TEST_CONFLICTS_CORPUS L"\\Modules\\Core", CV_TEST_CONFLICTS_CORPUS L"\\Modules\\Extra"});
    const std::string described = "Language=1033\r\nVersion=1.0\r\n[Files]\r\nKey1=a.dll\r\n[a.dll]\r\nFileName=A.DLL|a.dll\r\n"
                                  "Version=1.0\r\nFileSize=10\r\nLanguage=1033\r\n";
    environment.WriteGalleryFile(L"Away.ini", "[MergeModule]\r\nFileName=Away.msm\r\nModuleID=Away.X\r\n" + described +
                                                  "[Away.msm]\r\nLocation=elsewhere\r\n");
    environment.WriteGalleryFile(L"Borrowed.ini", "[MergeModule]\r\nFileName=deps-cycle-b.msm\r\nModuleID=Borrowed.X\r\n" +
                                                      described + "[deps-cycle-b.msm]\r\nLocation=here\r\n");
    Configuration scope{ConfigurationOptions()};
    auto compare = [&](const ModuleSet& set) {
        SetAnswer together = AnswerOf([&] { return ReadSetFiles(set); });
        SetAnswer alone = AnswerOf([&] {
            std::vector<ModuleFiles> modules;
            for (size_t i = 0; i < set.Modules.size(); ++i)
                modules.push_back(ReadModuleFiles(set.Modules[i].Get(), set.Graph.Modules[i]));
            return modules;
        });
        EXPECT_EQ(alone.size(), together.size());
        for (size_t i = 0; i < std::min(alone.size(), together.size()); ++i) EXPECT_EQ(alone[i], together[i]);
        return together;
    };
    auto cacheBytes = [&] {
        ULONGLONG bytes = 0;
        WIN32_FIND_DATAW data;
        unique_find found(FindFirstFileW(JoinPath(profile, L"CvMMUpdater2\\Cache\\*.cache").c_str(), &data));
        for (bool more = bool(found); more; more = FindNextFileW(found.get(), &data)) bytes += data.nFileSizeLow;
        return bytes;
    };
    // Only files settled for a while go into a cache.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    WIN32_FIND_DATAW data;
    unique_find copies(FindFirstFileW(JoinPath(folder_, L"*.msm").c_str(), &data));
    for (bool more = bool(copies); more; more = FindNextFileW(copies.get(), &data))
        cvtest::SetWriteTime(JoinPath(folder_, data.cFileName), now, -3600);
    std::unique_ptr<ModuleSet> all = GatherModuleSet({});
    const ULONGLONG headersOnly = cacheBytes();
    EXPECT_LT(0u, headersOnly) << "the catalog's scan wrote the folders' caches";
    for (const char* round : {"read", "cached"}) {
        SCOPED_TRACE(round);
        SetAnswer answer = compare(*all);
        EXPECT_LT(headersOnly, cacheBytes()) << "the lists read went into the caches";
        std::string text;
        for (const auto& module : answer) text += module[0] + "\n" + (module.size() > 1 ? module[1] : "") + "\n";
        EXPECT_NE(std::string::npos, text.find("(unresolved)")) << text;
        EXPECT_NE(std::string::npos, text.find("Away.X:1033\na.dll|A.DLL|a.dll|a.dll||(unresolved)")) << text;
        EXPECT_NE(std::string::npos, text.find("Borrowed.X:1033\na.dll|A.DLL|a.dll|a.dll||(unresolved)")) << text;
        EXPECT_NE(std::string::npos, text.find("[ProgramFilesFolder]")) << text;
    }
    auto borrowed = std::find_if(all->Graph.Modules.begin(), all->Graph.Modules.end(),
                                 [](const ModuleNode* m) { return m->EntryKey == L"Borrowed.X:1033"; });
    ASSERT_NE(all->Graph.Modules.end(), borrowed);
    EXPECT_EQ(Module(L"deps-cycle-b.msm"), ModulePath(all->Modules[borrowed - all->Graph.Modules.begin()].Get()));

    // A module whose list was read before keeps it, its folders unresolved; a module file named
    // alone, read for the first time, lists nothing.
    // (A set's nodes last until the next set is gathered.)
    const char damage[] = "damaged since the catalog read it";
    std::unique_ptr<ModuleSet> known = GatherModuleSet({FromNarrow(kFull)});
    cvtest::WriteText(Module(L"full.msm"), damage);
    SetAnswer kept = compare(*known);
    ASSERT_EQ(1u, kept.size());
    EXPECT_LT(5u, kept[0].size());
    for (size_t i = 1; i < kept[0].size(); ++i) EXPECT_NE(std::string::npos, kept[0][i].find("|(unresolved)|")) << kept[0][i];
    std::unique_ptr<ModuleSet> named = GatherModuleSet({Module(L"deps-cycle-a.msm")});
    cvtest::WriteText(Module(L"deps-cycle-a.msm"), damage);
    for (const auto& module : compare(*named)) EXPECT_EQ(1u, module.size()) << module[0];
    ForgetCatalog();
}
}  // namespace

namespace {
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}
}  // namespace

// Tables for scripts, the closures turned around and over the whole catalog, and the graph's labels.
TEST_F(Tool, ScriptableOutputs) {
    std::vector<std::string> tsv = Lines(Run(L"list --format tsv").out);
    ASSERT_EQ(10u, tsv.size());
    EXPECT_EQ("key\tversion\tlanguage\tpath\tsource", tsv[0]);
    EXPECT_NE(tsv.end(), std::find(tsv.begin(), tsv.end(),
                                   kFull + ":1033\t1.2.3.4\t1033\t" + ToUtf8(Module(L"full.msm")) + "\t" + ToUtf8(folder_)));
    EXPECT_EQ((std::vector<std::string>{kBase, kMid, kTop}), Lines(Run(L"deps --format keys " + FromNarrow(kTop)).out));
    EXPECT_EQ((std::vector<std::string>{kFull + ":1033"}), Lines(Run(L"which --format keys zeta.dll").out));

    Outcome rdeps = Run(L"rdeps --json chainbase");
    ASSERT_EQ(0u, rdeps.exitCode) << rdeps.err;
    EXPECT_EQ((std::set<std::string>{kMid, kTop, kBroken}), Keys(rdeps.Json()["needed_by"], "entry_key"));
    EXPECT_EQ(1u, Run(L"rdeps " + FromNarrow(kBroken)).exitCode) << "nothing needs it";

    Outcome check = Run(L"check --json");
    EXPECT_EQ(1u, check.exitCode) << check.err;
    json all = check.Json();
    EXPECT_EQ(9, all["modules_checked"]);
    EXPECT_EQ(3u, all["missing"].size()) << "two of the full module's, one of the broken one's";
    EXPECT_EQ(1u, all["too_old"].size());
    EXPECT_EQ(1u, all["cycles"].size()) << "one cycle, found from each of its modules";
    EXPECT_EQ(1u, Lines(Run(L"check --format tsv").out).size() - 1 - all["missing"].size() - all["too_old"].size() -
                      all["excluded"].size())
        << "a line per finding";

    // Each key once per line, a requirement named by what answers it.
    for (const std::string& line : Lines(Run(L"deps " + FromNarrow(kBroken)).out)) {
        size_t first = line.find(".1A2B3C4D_");
        if (line.find("    requires ") == 0) {
            EXPECT_EQ(std::string::npos, line.find(".1A2B3C4D_", first + 1)) << line;
        }
    }
    std::string dot = Run(L"deps --dot --short " + FromNarrow(kBroken)).out;
    EXPECT_NE(std::string::npos, dot.find("\"" + kTop + "\" [label=\"ChainTop\\n1.0.0.0\"];"));
    EXPECT_NE(std::string::npos, dot.find("\"" + kCycleA + "\" -> \"" + kCycleB + "\" [color=blue, style=bold];"))
        << dot;
}

// Commands from stdin in one process: a JSON document per line, the highest exit code.
TEST_F(Tool, BatchRunsEachLine) {
    std::string path = " --path \"" + ToUtf8(folder_) + "\"";
    Outcome batch = Mmcat(L"-", "# a comment\n\nshow --json full" + path + "\nfind --json nothing" + path +
                                    "\nfind --json x:abc" + path + "\nlist --format keys" + path + "\ndeps --json \"" +
                                    ToUtf8(cvtest::FixturePath(L"deps-top-new.msm")) + "\"" + path + "\ndeps --json " +
                                    kTop + path + "\n");
    EXPECT_EQ(2u, batch.exitCode);
    std::vector<std::string> lines = Lines(batch.out);
    ASSERT_EQ(14u, lines.size()) << batch.out;
    EXPECT_EQ("2.0.0.0", json::parse(lines[12])["modules"][0]["version"]);
    EXPECT_EQ("1.0.0.0", json::parse(lines[13])["modules"][0]["version"]) << "the file answered only for its own run";
    EXPECT_EQ(kFull + ":1033", json::parse(lines[0])["entry_key"]);
    EXPECT_TRUE(json::parse(lines[1])["module"].is_null());
    EXPECT_EQ(2, json::parse(lines[2])["error"]["code"]);
    EXPECT_EQ(9u, std::set<std::string>(lines.begin() + 3, lines.begin() + 12).size()) << "a key per line";
}

// --no-cache reads every module itself and leaves the profile as it was; without it, the same answer
// and a cache file for the folder.
TEST_F(Tool, NoCacheNeitherWritesNorUsesTheCache) {
    _stringx profile = cvtest::FreshScratchDir(L"cli-no-cache-profile");
    SetEnvironmentVariableW(L"LOCALAPPDATA", profile.c_str());
    SetEnvironmentVariableW(L"CVMMUPDATER_CACHE", nullptr);
    auto cacheFiles = [&] {
        size_t count = 0;
        WIN32_FIND_DATAW data;
        unique_find found(FindFirstFileW(JoinPath(profile, L"CvMMUpdater2\\Cache\\*").c_str(), &data));
        for (bool more = bool(found); more; more = FindNextFileW(found.get(), &data))
            count += !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
        return count;
    };
    Outcome off = Run(L"list --format keys --no-cache");
    EXPECT_EQ(0u, off.exitCode) << off.err;
    EXPECT_EQ(0u, cacheFiles()) << "the switch keeps the cache from being written";
    Outcome on = Run(L"list --format keys");
    SetEnvironmentVariableW(L"CVMMUPDATER_CACHE", L"0");
    EXPECT_EQ(off.out, on.out);
    EXPECT_EQ(1u, cacheFiles()) << "the run without the switch writes the folder's cache";
}

// A host killed outright: its readers end with it, and its private configuration goes with the next run.
TEST_F(Tool, KilledRunLeavesNothingBehind) {
    _stringx temp = cvtest::FreshScratchDir(L"cli-killed-temp");
    SetEnvironmentVariableW(L"TMP", temp.c_str());
    SetEnvironmentVariableW(L"TEMP", temp.c_str());
    _stringx corpus = JoinPath(cvtest::OutDir(), L"..\\corpus\\small\\Modules\\Core");
    std::wstring line = (L"\"" + JoinPath(cvtest::OutDir(), L"mmcat.exe") + L"\" check --path \"" + corpus + L"\"").str();
    STARTUPINFOW startup{sizeof(startup)};
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(cvtest::StartProcess(line, FALSE, CREATE_NO_WINDOW, nullptr, startup, process));
    unique_handle host(process.hProcess), thread(process.hThread);
    // Killed once it reads through a reader: nine files are enough for the scan to start one, and
    // the readers stay until their server goes.
    bool reading = false;
    while (!reading && WaitForSingleObject(host.get(), 10) == WAIT_TIMEOUT)
        reading = !cvtest::ChildrenNamed(process.dwProcessId, L"CvModuleReader.exe").empty();
    EXPECT_TRUE(reading) << "the run ended before a reader was seen";
    TerminateProcess(host.get(), 9);
    WaitForSingleObject(host.get(), INFINITE);
    Sleep(2000);
    EXPECT_EQ(0u, cvtest::ChildrenNamed(process.dwProcessId, L"CvModuleReader.exe").size());

    Outcome next = Mmcat(L"list --format keys --path \"" + folder_ + L"\"");
    EXPECT_EQ(0u, next.exitCode) << next.err;
    WIN32_FIND_DATAW data;
    unique_find left(FindFirstFileW(JoinPath(temp, L"mmcat-*").c_str(), &data));
    EXPECT_FALSE(left) << ToUtf8(data.cFileName);

    // A reader of the output that went away: a batch of many commands stops at the first failed write
    // and cleans up as it ends.
    _stringx commands = JoinPath(temp, L"commands.txt");
    std::string list;
    for (int i = 0; i < 500; ++i) list += "list --path \"" + ToUtf8(folder_) + "\"\n";
    cvtest::WriteText(commands, list);
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inherit, 0));
    CloseHandle(readEnd);
    unique_handle output(writeEnd);
    unique_file input(CreateFileW(commands.c_str(), GENERIC_READ, FILE_SHARE_READ, &inherit, OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW piped{sizeof(piped)};
    piped.dwFlags = STARTF_USESTDHANDLES;
    piped.hStdInput = input.get();
    piped.hStdOutput = piped.hStdError = output.get();
    std::wstring batch = (L"\"" + JoinPath(cvtest::OutDir(), L"mmcat.exe") + L"\" -").str();
    ASSERT_TRUE(cvtest::StartProcess(batch, TRUE, CREATE_NO_WINDOW, nullptr, piped, process));
    unique_handle closed(process.hProcess), closedThread(process.hThread);
    output.reset();
    input.reset();
    // A hang is a failure, not a wait.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(closed.get(), 120000));
    TerminateProcess(closed.get(), 99);
    unique_find after(FindFirstFileW(JoinPath(temp, L"mmcat-*").c_str(), &data));
    EXPECT_FALSE(after) << ToUtf8(data.cFileName);
}
