// Where the catalog's configuration comes from for one run: the environment's own AppServices.ini,
// or a private one written into a temporary folder from --path, --app and --index and removed
// when the run ends.
#pragma once
#include <windows.h>
#include <vector>
#include "base/stringx.h"

struct ConfigurationOptions {
    std::vector<_stringx> SearchFolders;  // --path, in order
    _stringx ApplicationFolder;           // --app: holds ObjectGallery\ and Repositories\ .
    _stringx IndexFolder;                 // --index: modules.ini and FilesToModules.ini
    bool Private() const { return !SearchFolders.empty() || !ApplicationFolder.empty() || !IndexFolder.empty(); }
};

// A path as this process opens it: under wine a Unix path ("/home/...") becomes its DOS form; any
// other path, Windows ("Z:\\...", "C:\\...", UNC) or relative, is taken as it is.
_stringx HostPath(const _stringx& path);

// True when the environment names a configuration (CVAPPSERVICES_INI).
bool EnvironmentConfigured();

class Configuration {
public:
    // Throws ToolError (exit code 2) when a given folder does not exist or is a file, when the
    // environment's configuration file does not exist, or when there is no configuration at all.
    explicit Configuration(const ConfigurationOptions& options);
    ~Configuration();
    Configuration(const Configuration&) = delete;
    Configuration& operator=(const Configuration&) = delete;

private:
    _stringx privateFolder_;  // empty: the environment's own configuration
    std::wstring savedVariable_;
    bool hadVariable_ = false;
};
