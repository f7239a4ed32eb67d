// mmcat: the merge-module catalog from a shell. A plain client of the server: it creates the
// server's classes like any caller and prints what they answer.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <CLI/CLI.hpp>
#include "cli/Client.h"
#include "cli/Commands.h"
#include "cli/Configuration.h"
#include "server/ComException.h"

namespace {
struct Options {
    std::vector<std::string> paths;
    std::string application, index, argument, directoryKey, version;
    bool json = false, dot = false;
};

void AddConfigurationOptions(CLI::App* command, Options& options, const std::string& rules) {
    command->add_option("--path", options.paths,
                        "A folder of merge modules to catalog (repeatable); with --path, --app or --index the "
                        "catalog's configuration is written for this run only")
        ->allow_extra_args(false);
    command->add_option("--app", options.application,
                        "An application folder holding ObjectGallery\\ (gallery descriptions) and "
                        "Repositories\\Repositories.xml");
    command->add_option("--index", options.index, "The folder of modules.ini and FilesToModules.ini");
    command->add_flag("--json", options.json, "Print JSON instead of text");
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
    command->add_flag("--dot", options.dot, "Print the closure as a DOT graph");
}

const char kWhichRules[] =
    "The path is written in the active project type's folder syntax: \"[SystemFolder]MyDir\\file.dll\" for "
    "installer projects (the syntax of a private configuration), \"<WINSYSDIR>\\...\" for the other kind. "
    "An empty version means \"0\", so a file that has a version matches only when --version gives it. With --key "
    "the file's directory key must match too. When nothing matches, the modules that have a file of that name are "
    "listed with its target folders and versions.\n\n";

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
     ShowCommand, ModuleArgument, ""},
    {"which", "The module that delivers a file, found by the catalog's file search (FindModuleForFileEx)",
     WhichCommand, WhichArguments, kWhichRules},
    {"find", "A module by signature ModuleID[:language]; no language (or 0) means any, picked as the catalog picks",
     FindCommand, FindArguments, ""},
    {"deps",
     "The transitive dependency closure over the catalog: missing and too old modules, exclusions violated inside "
     "the closure, cycles, and an order in which to merge (every module after all it requires)",
     DepsCommand, DepsArguments, ""},
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

// Runs the chosen subcommand over its configuration; failures are printed here and give the exit code.
int Run(const Subcommand& subcommand, const Options& options) {
    Request request;
    request.Format = options.dot ? OutputFormat::Dot : options.json ? OutputFormat::Json : OutputFormat::Text;
    request.Argument = FromUtf8(options.argument);
    request.DirectoryKey = FromUtf8(options.directoryKey);
    request.Version = FromUtf8(options.version);

    ConfigurationOptions configuration;
    for (const std::string& path : options.paths) configuration.SearchFolders.push_back(FromUtf8(path));
    configuration.ApplicationFolder = FromUtf8(options.application);
    configuration.IndexFolder = FromUtf8(options.index);
    try {
        Configuration scope(configuration);
        return subcommand.run(request);
    } catch (const ToolError& e) {
        PrintError("mmcat: " + ToUtf8(e.Message()) + "\n");
        return e.ExitCode();
    } catch (const CComException& e) {
        PrintError("mmcat: " + ToUtf8(e.Error().Description()) + "\n");
    } catch (const std::bad_alloc&) {
        PrintError("mmcat: out of memory\n");
    } catch (const std::exception& e) {
        PrintError(std::string("mmcat: ") + e.what() + "\n");
    }
    return 2;
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
}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
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
    for (int i = 0; i < argc; ++i) arguments.push_back(ToUtf8(argv[i]));
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments) pointers.push_back(argument.c_str());

    Options options;
    CLI::App app("The merge-module catalog from the command line: which modules there are, what a module holds, "
                 "which module delivers a file, and what a module pulls in.",
                 "mmcat");
    app.require_subcommand(1);
    app.set_version_flag("--version", VersionText, "The tool's version and that of the server it loads");
    // A signature or a Unix-style path may start with a slash: only dashes start options.
    app.allow_windows_style_options(false);
    AddSubcommands(app, options);
    bool noCache = false;
    app.add_flag("--no-cache", noCache,
                 "Read every module file, neither using nor writing the module cache (as CVMMUPDATER_CACHE=0 does)");

    try {
        app.parse(static_cast<int>(pointers.size()), pointers.data());
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    const Subcommand* chosen = nullptr;
    for (const Subcommand& row : kSubcommands)
        if (app.got_subcommand(row.name)) chosen = &row;

    // The server reads the switch from the environment when it scans a folder.
    if (noCache) SetEnvironmentVariableW(L"CVMMUPDATER_CACHE", L"0");
    HRESULT initialised = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int exitCode = Run(*chosen, options);
    if (SUCCEEDED(initialised)) CoUninitialize();
    return exitCode;
}
