// mmcat: the merge-module catalog from a shell. A plain client of the server: it creates the
// server's classes like any caller and prints what they answer.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <algorithm>
#include <cctype>
#include <CLI/CLI.hpp>
#include "cli/Client.h"
#include "cli/Commands.h"
#include "cli/Configuration.h"
#include "cli/Conflicts.h"
#include "cli/Report.h"
#include "server/ComException.h"

namespace {
struct Options {
    std::vector<std::string> paths, modules;
    std::string output;
    std::string application, index, argument, directoryKey, version, format;
    bool json = false, dot = false, shortLabels = false, noCache = false;
};

void AddConfigurationOptions(CLI::App* command, Options& options, const std::string& rules) {
    command->add_option("--path", options.paths,
                        "A folder of merge modules to catalog; one folder each time, repeat it for more. Only the "
                        "folder's own *.msm files count, not its subfolders; of module files with the same key "
                        "only one is catalogued, and a warning names the hidden ones. With --path, --app or "
                        "--index the catalog's configuration is written for this run only")
        ->allow_extra_args(false)
        ->type_name("DIR")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    command->add_option("--app", options.application,
                        "An application folder holding ObjectGallery\\ (gallery descriptions) and "
                        "Repositories\\Repositories.xml");
    command->add_option("--index", options.index, "The folder of modules.ini and FilesToModules.ini");
    command->add_flag("--no-cache", options.noCache,
                      "Read every module file, neither using nor writing the module cache (as CVMMUPDATER_CACHE=0 "
                      "does); in a batch run, for the rest of the run");
    command->add_flag("--json", options.json, "Print JSON instead of text (the same as --format json)");
    command->add_option("--format", options.format,
                        "text, json, tsv (a header line, then a line per record) or keys (a key per line)")
        ->check(CLI::IsMember({"text", "json", "tsv", "keys"}));
    command->footer(
        rules + "Without --path, --app and --index the configuration is the environment's own: the AppServices.ini that "
        "CVAPPSERVICES_INI names.\nExit codes: 0 found or done, 1 nothing found or an incomplete closure, 2 bad "
        "usage or an error.");
}

void ModuleArgument(CLI::App* command, Options& options) {
    command->add_option("module", options.argument, "A module file, or a signature ModuleID[:language] in the catalog")
        ->required();
}

void WhichArguments(CLI::App* command, Options& options) {
    command->add_option("path", options.argument, "The file's target path, e.g. \"[SystemFolder]MyDir\\file.dll\"")
        ->required();
    command->add_option("--key", options.directoryKey, "The file's directory key");
    command->add_option("--version", options.version, "The file's version (empty: \"0\")");
}

void FindArguments(CLI::App* command, Options& options) {
    command->add_option("signature", options.argument, "ModuleID[:language]")->required();
}

void DepsArguments(CLI::App* command, Options& options) {
    ModuleArgument(command, options);
    command->add_flag("--dot", options.dot,
                      "Print the closure as a DOT graph: red for missing (dashed), too old and excluded (dotted), "
                      "bold blue for the edges of a cycle");
    command->add_flag("--short", options.shortLabels, "With --dot, label the modules with their name and version");
}

void ConflictsArguments(CLI::App* command, Options& options) {
    command->add_option("modules", options.modules,
                        "Module files or signatures: the set is their closures (what would be merged together); "
                        "none: the whole catalog");
}

const char kConflictsRules[] =
    "A target file is its resolved folder and long name, compared without regard to case. Pairs of modules where "
    "either excludes the other, and language variants of one ModuleID, are never merged together and not compared. "
    "Files whose folder does not resolve are listed apart. Exit 1 when there is a conflict.\n\n";

void ReportArguments(CLI::App* command, Options& options) {
    ConflictsArguments(command, options);
    command->add_option("-o,--output", options.output, "The HTML file to write (replaced when it exists)")->required();
}

const char kWhichRules[] =
    "The path is written in the active project type's folder syntax: \"[SystemFolder]MyDir\\file.dll\" for "
    "installer projects (the syntax of a private configuration), \"<WINSYSDIR>\\...\" for the other kind. "
    "An empty version means \"0\", so a file that has a version matches only when --version gives it. With --key "
    "the file's directory key must match too. When nothing matches, the modules that have a file of that name are "
    "listed with its target folders and versions. A bare file name (no folder part) lists every module that has a "
    "file of that name, and what the file-to-module index says. Forward slashes are read as backslashes.\n\n";

const char kLookupRules[] =
    "A module is named by its file, or by ModuleID[:language] without regard to case: the beginning of a ModuleID "
    "is enough when only one fits, and \"*\" and \"?\" match any text and any character. Without a catalog "
    "configuration, a module file's own folder is the catalog.\n\n";

// One row per subcommand: its name and help, what runs it, its own arguments (set up before the
// configuration's options, which every subcommand has) and the rules that open its help's footer.
struct Subcommand {
    const char* name;
    const char* help;
    int (*run)(const Request& request);
    void (*arguments)(CLI::App* command, Options& options);
    const char* rules;
};

const Subcommand kSubcommands[] = {
    {"list",
     "The catalog's modules: EntryKey, display name, version, language, where each comes from, present or not, newer "
     "version described",
     ListCommand, nullptr, ""},
    {"show",
     "A module's identity, summary texts, availability, dependencies, exclusions, dialogs, custom actions, download "
     "files and files with their target folders",
     ShowCommand, ModuleArgument, kLookupRules},
    {"which", "The module that delivers a file, found by the catalog's file search (FindModuleForFileEx)",
     WhichCommand, WhichArguments, kWhichRules},
    {"find",
     "Modules by signature ModuleID[:language]; no language (or 0) means any, picked as the catalog picks; a wildcard "
     "lists every match",
     FindCommand, FindArguments, kLookupRules},
    {"deps",
     "The transitive dependency closure over the catalog: missing and too old modules, exclusions violated inside "
     "the closure, cycles, and an order in which to merge (every module after all it requires)",
     DepsCommand, DepsArguments, kLookupRules},
    {"rdeps", "The modules of the catalog whose dependency closures need the module, directly or through others",
     RdepsCommand, ModuleArgument, kLookupRules},
    {"check",
     "Every module's dependency closure over the catalog: missing and too old modules, exclusions violated, cycles",
     CheckCommand, nullptr, ""},
    {"conflicts",
     "Target files that two or more modules deliver: the same version and size (duplicates) or not (conflicts)",
     ConflictsCommand, ConflictsArguments, kConflictsRules},
    {"report",
     "One self-contained HTML page: a summary, the modules, a page per module, the file conflicts and the dependency "
     "graph; it opens from disk with no network",
     ReportCommand, ReportArguments, ""},
};

void AddSubcommands(CLI::App& app, Options& options) {
    for (const Subcommand& row : kSubcommands) {
        CLI::App* command = app.add_subcommand(row.name, row.help);
        if (row.arguments) row.arguments(command, options);
        AddConfigurationOptions(command, options, row.rules);
        // A DOT graph and JSON are two ways to print the one answer.
        if (CLI::Option* dot = command->get_option_no_throw("--dot")) dot->excludes(command->get_option("--json"));
    }
}

OutputFormat FormatOf(const Options& options) {
    if (options.dot) return OutputFormat::Dot;
    if (options.json || options.format == "json") return OutputFormat::Json;
    if (options.format == "tsv") return OutputFormat::Tsv;
    if (options.format == "keys") return OutputFormat::Keys;
    return OutputFormat::Text;
}

// The configuration of the commands run so far: a batch run keeps it (and the catalog) while the
// commands give the same options.
struct RunState {
    std::unique_ptr<Configuration> configuration;
    std::string key;
    bool compact = false;  // batch: one JSON document per line
};

int Fail(bool json, int exitCode, const std::string& message) {
    if (json) PrintJsonError(exitCode, message);
    PrintError("mmcat: " + message + "\n");
    return exitCode;
}

// Runs the chosen subcommand over its configuration; failures are printed here and give the exit code.
int Run(const Subcommand& subcommand, const Options& options, RunState& state) {
    // The server reads the switch from the environment when it scans a folder.
    if (options.noCache) SetEnvironmentVariableW(L"CVMMUPDATER_CACHE", L"0");
    Request request;
    request.Format = FormatOf(options);
    request.Argument = FromUtf8(options.argument);
    request.DirectoryKey = FromUtf8(options.directoryKey);
    request.Version = FromUtf8(options.version);
    request.ShortLabels = options.shortLabels;
    bool json = request.Format == OutputFormat::Json;
    for (const std::string& module : options.modules) request.Arguments.push_back(FromUtf8(module));
    request.OutputPath = FromUtf8(options.output);

    ConfigurationOptions configuration;
    for (const std::string& path : options.paths) configuration.SearchFolders.push_back(FromUtf8(path));
    configuration.ApplicationFolder = FromUtf8(options.application);
    configuration.IndexFolder = FromUtf8(options.index);
    // A module file with no configuration at all: its own folder is the catalog.
    _stringx file = HostPath(request.Argument);
    DWORD attributes = GetFileAttributesW(file.c_str());
    if (!configuration.Private() && !EnvironmentConfigured() && attributes != INVALID_FILE_ATTRIBUTES &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        wchar_t full[MAX_PATH * 4];
        wchar_t* name = nullptr;
        if (GetFullPathNameW(file.c_str(), ARRAYSIZE(full), full, &name) && name > full) {
            name[-1] = L'\0';
            configuration.SearchFolders.push_back(full);
        }
    }
    std::string key;
    for (const _stringx& folder : configuration.SearchFolders) key += ToUtf8(folder) + "\n";
    key += ToUtf8(configuration.ApplicationFolder) + "\n" + ToUtf8(configuration.IndexFolder);
    try {
        if (!state.configuration || key != state.key) {
            ForgetCatalog();
            state.configuration.reset();
            state.configuration = std::make_unique<Configuration>(configuration);
            state.key = key;
        }
        int exitCode = subcommand.run(request);
        TellWarnings();
        return exitCode;
    } catch (const ToolError& e) {
        TellWarnings();
        return Fail(json, e.ExitCode(), ToUtf8(e.Message()));
    } catch (const CComException& e) {
        return Fail(json, 2, ToUtf8(e.Error().Description()));
    } catch (const std::bad_alloc&) {
        return Fail(json, 2, "out of memory");
    } catch (const std::exception& e) {
        return Fail(json, 2, e.what());
    }
}

std::string VersionText() {
    std::string text = "mmcat " CV_VERSION "\nCvMMUpdater2.dll ";
    HRESULT initialised = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    try {
        text += ToUtf8(LoadedServerVersion());
    } catch (const ToolError& e) {
        text += "not loaded: " + ToUtf8(e.Message());
    } catch (const CComException& e) {
        text += "not loaded: " + ToUtf8(e.Error().Description());
    }
    if (SUCCEEDED(initialised)) CoUninitialize();
    return text;
}

const char kBatchHelp[] =
    "mmcat - (or mmcat batch) reads commands from stdin, one a line, as they would follow \"mmcat\" on a command line "
    "(quotes group words; blank lines and lines starting with # are skipped), and runs them in this one process. "
    "JSON is printed one document a line. The exit code is the highest of the commands'.\n";

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool WantsJson(const std::vector<std::string>& arguments) {
    for (size_t i = 0; i < arguments.size(); ++i)
        if (arguments[i] == "--json" || arguments[i] == "--format=json" ||
            (arguments[i] == "--format" && i + 1 < arguments.size() && arguments[i + 1] == "json"))
            return true;
    return false;
}

std::string SubcommandNames() {
    std::string names;
    for (const Subcommand& row : kSubcommands) names += (names.empty() ? "" : ", ") + std::string(row.name);
    return names;
}

// The subcommand's name in any case; "help SUB" for "SUB --help". False, with the message printed, for a
// name that is no subcommand.
bool NormaliseSubcommand(std::vector<std::string>& arguments, bool json) {
    if (arguments.empty() || arguments[0].empty() || arguments[0][0] == '-') return true;
    std::string name = Lower(arguments[0]);
    if (name == "help") {
        arguments.erase(arguments.begin());
        if (!arguments.empty()) arguments[0] = Lower(arguments[0]);
        arguments.push_back("--help");
        name = arguments.size() > 1 ? arguments[0] : "list";
        if (arguments.size() == 1) return true;
    }
    for (const Subcommand& row : kSubcommands)
        if (name == row.name) {
            arguments[0] = name;
            return true;
        }
    Fail(json, 2, "unknown subcommand \"" + arguments[0] + "\"; the subcommands are " + SubcommandNames() +
                      " (\"mmcat help SUBCOMMAND\" tells more, \"mmcat -\" reads commands from stdin)");
    return false;
}

// One command line (without the program's name): parsed, then run.
int Command(std::vector<std::string> arguments, RunState& state) {
    bool json = WantsJson(arguments);
    if (!NormaliseSubcommand(arguments, json)) return 2;
    Options options;
    CLI::App app("The merge-module catalog from the command line: which modules there are, what a module holds, "
                 "which module delivers a file, and what a module pulls in.",
                 "mmcat");
    app.require_subcommand(1);
    app.set_version_flag("--version", VersionText, "The tool's version and that of the server it loads");
    // A signature or a Unix-style path may start with a slash: only dashes start options.
    app.allow_windows_style_options(false);
    app.footer(kBatchHelp);
    AddSubcommands(app, options);
    std::reverse(arguments.begin(), arguments.end());
    try {
        app.parse(arguments);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string message = e.what();
        if (dynamic_cast<const CLI::ExtrasError*>(&e))
            message += "; --path, --app and --index take one folder each (repeat --path for more), and a name with "
                       "spaces needs quotes";
        if (dynamic_cast<const CLI::RequiredError*>(&e) && message.find("subcommand") != std::string::npos)
            message = "a subcommand is required: " + SubcommandNames() + " (\"mmcat help SUBCOMMAND\" tells more)";
        return Fail(json, 2, message + "; see " + "\"mmcat help" +
                                 (app.get_subcommands().empty() ? "" : " " + app.get_subcommands().front()->get_name()) +
                                 "\"");
    }
    for (const Subcommand& row : kSubcommands)
        if (app.got_subcommand(row.name)) return Run(row, options, state);
    return 2;
}

// Commands from stdin, each line one command.
int Batch(RunState& state) {
    SetCompactJson(true);
    int worst = 0;
    std::string line;
    char buffer[4096];
    while (OutputOpen() && fgets(buffer, sizeof buffer, stdin)) {
        line += buffer;
        if (!line.empty() && line.back() != '\n' && !feof(stdin)) continue;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        std::string text = line;
        line.clear();
        size_t start = text.find_first_not_of(" \t");
        if (start == std::string::npos || text[start] == '#') continue;
        worst = std::max(worst, Command(CLI::detail::split_up(text.substr(start)), state));
    }
    return worst;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
    // UTF-8 on a console for this run only: the console keeps its code page after we exit.
    UINT consoleCodePage = GetConsoleOutputCP();
    SetConsoleOutputCP(CP_UTF8);
    struct RestoreCodePage {
        UINT codePage;
        ~RestoreCodePage() {
            if (codePage) SetConsoleOutputCP(codePage);
        }
    } restore{consoleCodePage};

    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) arguments.push_back(ToUtf8(argv[i]));

    HRESULT initialised = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    // The wrapper skips its registry check when its stamp says the server is registered, and asks for
    // this exit code should the class turn out unregistered after all, to register and run again.
    wchar_t unregisteredExit[16];
    CLSID clsid;
    if (GetEnvironmentVariableW(L"MMCAT_UNREGISTERED_EXIT", unregisteredExit, ARRAYSIZE(unregisteredExit)) &&
        FAILED(CLSIDFromProgID(L"CvMMUpdater.MMCatalog", &clsid)))
        return _wtoi(unregisteredExit);

    RunState state;
    int exitCode = arguments.size() == 1 && (arguments[0] == "-" || Lower(arguments[0]) == "batch")
                       ? Batch(state)
                       : Command(arguments, state);
    ForgetCatalog();
    state.configuration.reset();
    if (SUCCEEDED(initialised)) CoUninitialize();
    return exitCode;
}
