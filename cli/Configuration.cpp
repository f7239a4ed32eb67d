#include "cli/Configuration.h"

#include <shlwapi.h>
#include "cli/Client.h"
#include "base/Handles.h"
#include "base/Utf8.h"

namespace {
const wchar_t kIniVariable[] = L"CVAPPSERVICES_INI";

bool IsFolder(const _stringx& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A folder as the configuration holds it: full path, no trailing backslash.
_stringx FolderOption(const wchar_t* option, const _stringx& given) {
    _stringx folder = HostPath(given);
    wchar_t full[MAX_PATH * 4];
    DWORD length = GetFullPathNameW(folder.c_str(), ARRAYSIZE(full), full, nullptr);
    if (length == 0 || length >= ARRAYSIZE(full))
        throw ToolError(_stringx::Formatted(L"%s %s: not a usable path", option, given.c_str()));
    if (GetFileAttributesW(full) != INVALID_FILE_ATTRIBUTES && !IsFolder(full))
        throw ToolError(_stringx::Formatted(L"%s %s is a file, not a folder: give the folder it is in (%s takes one "
                                            L"folder and may be repeated), or name the file itself: mmcat show FILE",
                                            option, given.c_str(), option));
    if (!IsFolder(full))
        throw ToolError(_stringx(option) + L" " + given + L": no such folder" +
                        (_wcsicmp(full, given.c_str()) == 0 ? _stringx() : L" (the full path is " + _stringx(full) + L")"));
    _stringx result(full);
    if (result.length() > 3 && result.ends_with(L'\\')) result.resize(result.length() - 1);
    // The search path is a comma-separated list, and the file is a line per value.
    if (result.find(L',') != _stringx::npos || result.find(L'\n') != _stringx::npos ||
        result.find(L'\r') != _stringx::npos)
        throw ToolError(_stringx::Formatted(L"%s %s: a folder holding a comma or a line break cannot be configured",
                                            option, folder.c_str()));
    return result;
}

void WriteUtf8File(const _stringx& path, const _stringx& text) {
    std::string bytes = "\xEF\xBB\xBF" + ToUtf8(text);
    unique_file file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file || !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size())
        throw ToolError(_stringx::Formatted(L"cannot write %s (error %lu)", path.c_str(), GetLastError()));
}

void RemoveTree(const _stringx& folder) {
    WIN32_FIND_DATAW data;
    unique_find search(FindFirstFileW(JoinPath(folder, L"*").c_str(), &data));
    if (search) {
        do {
            _stringx name(data.cFileName);
            if (name == _stringx(L".") || name == _stringx(L"..")) continue;
            _stringx path = JoinPath(folder, name);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(search.get(), &data));
    }
    search.reset();
    RemoveDirectoryW(folder.c_str());
}

using DosFileName = wchar_t*(CDECL*)(const char*);

// The private folder of the running configuration, for an interrupt to remove: Ctrl-C, Ctrl-Break
// and closing the console end the process without unwinding.
SRWLOCK g_liveLock = SRWLOCK_INIT;
_stringx g_liveFolder;

BOOL WINAPI RemoveOnInterrupt(DWORD) {
    AcquireSRWLockExclusive(&g_liveLock);
    if (!g_liveFolder.empty()) RemoveTree(g_liveFolder);
    g_liveFolder.clear();
    ReleaseSRWLockExclusive(&g_liveLock);
    return FALSE;  // then the default handling ends the process
}

void SetLiveFolder(const _stringx& folder) {
    AcquireSRWLockExclusive(&g_liveLock);
    g_liveFolder = folder;
    ReleaseSRWLockExclusive(&g_liveLock);
}

// Folders of runs that were killed outright (no handler runs then) go with the next run.
void RemoveOrphans(const _stringx& temp) {
    WIN32_FIND_DATAW data;
    unique_find search(FindFirstFileW(JoinPath(temp, L"mmcat-*").c_str(), &data));
    if (!search) return;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        DWORD owner = wcstoul(data.cFileName + 6, nullptr, 10);
        unique_handle process(OpenProcess(SYNCHRONIZE, FALSE, owner));
        if (owner != GetCurrentProcessId() && (!process || WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0))
            RemoveTree(JoinPath(temp, data.cFileName));
    } while (FindNextFileW(search.get(), &data));
}

_stringx MakePrivateFolder() {
    wchar_t temp[MAX_PATH + 1];
    DWORD length = GetTempPathW(ARRAYSIZE(temp), temp);
    if (length == 0 || length > MAX_PATH) throw ToolError(L"no temporary folder");
    RemoveOrphans(temp);
    static const bool handler = SetConsoleCtrlHandler(RemoveOnInterrupt, TRUE) != FALSE;
    (void)handler;
    for (int attempt = 0; attempt < 100; ++attempt) {
        _stringx folder = JoinPath(temp, _stringx::Formatted(L"mmcat-%lu-%lu-%d", GetCurrentProcessId(),
                                                             GetTickCount(), attempt));
        if (CreateDirectoryW(folder.c_str(), nullptr)) return folder;
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    throw ToolError(_stringx::Formatted(L"cannot create a folder in %s (error %lu)", temp, GetLastError()));
}
}  // namespace

_stringx HostPath(const _stringx& path) {
    if (!path.starts_with(L"/") || path.starts_with(L"//")) return path;
    // wine's own conversion; on Windows there is none and the path stays as it is.
    static const auto toDos = reinterpret_cast<DosFileName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    if (!toDos) return path;
    std::string unixPath = ToUtf8(path);
    wchar_t* dos = toDos(unixPath.c_str());
    if (!dos) return path;
    _stringx result(dos);
    HeapFree(GetProcessHeap(), 0, dos);
    return result;
}

bool EnvironmentConfigured() { return GetEnvironmentVariableW(kIniVariable, nullptr, 0) > 0; }

Configuration::Configuration(const ConfigurationOptions& options) {
    wchar_t saved[32768];
    DWORD n = GetEnvironmentVariableW(kIniVariable, saved, ARRAYSIZE(saved));
    hadVariable_ = n > 0 && n < ARRAYSIZE(saved);
    if (hadVariable_) savedVariable_.assign(saved, n);

    if (!options.Private()) {
        if (!hadVariable_)
            throw ToolError(L"no catalog configuration: give module folders with --path <dir> (and --app <dir>, "
                            L"--index <dir>), or set CVAPPSERVICES_INI to an AppServices.ini");
        if (GetFileAttributesW(savedVariable_.c_str()) == INVALID_FILE_ATTRIBUTES)
            throw ToolError(_stringx::Formatted(L"CVAPPSERVICES_INI names %s, which does not exist: point it at an "
                                                L"AppServices.ini, or give module folders with --path <dir>",
                                                savedVariable_.c_str()));
        return;
    }
    // Every folder checked before anything is written.
    std::vector<_stringx> searchFolders;
    for (const _stringx& folder : options.SearchFolders) searchFolders.push_back(FolderOption(L"--path", folder));
    _stringx application = options.ApplicationFolder.empty() ? _stringx()
                                                             : FolderOption(L"--app", options.ApplicationFolder);
    _stringx index = options.IndexFolder.empty() ? _stringx() : FolderOption(L"--index", options.IndexFolder);

    privateFolder_ = MakePrivateFolder();
    try {
        // Without --app an empty application folder: no gallery, no repositories.
        if (application.empty()) {
            application = JoinPath(privateFolder_, L"App");
            if (!CreateDirectoryW(application.c_str(), nullptr))
                throw ToolError(_stringx::Formatted(L"cannot create %s (error %lu)", application.c_str(), GetLastError()));
        }
        if (index.empty()) index = privateFolder_;
        _stringx searchPath;
        for (const _stringx& folder : searchFolders) searchPath += (searchPath.empty() ? L"" : L",") + folder;
        // The file search reads its exclusions from a settings document: an empty one excludes nothing.
        _stringx settings = JoinPath(privateFolder_, L"Settings.xml");
        WriteUtf8File(settings, L"<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
                                L"<Workbench><IDE><Workspaces/></IDE></Workbench>\r\n");
        _stringx ini = JoinPath(privateFolder_, L"AppServices.ini");
        WriteUtf8File(ini, L"; written by mmcat for one run\r\n[Folders]\r\nApplication=" + application +
                               L"\r\nFilesToModulesIndex=" + index + L"\r\nModulesIndex=" + index +
                               L"\r\nSearchPath2=\r\nExcludedFiles=\r\nSettingsDocument=" + settings +
                               L"\r\n[MergeModules]\r\nSearchPath=" + searchPath +
                               L"\r\nMatchResolvedFolder=0\r\nMatchDirectoryKey=0\r\n[Project]\r\nActiveType=0\r\n");
        SetEnvironmentVariableW(kIniVariable, ini.c_str());
        SetLiveFolder(privateFolder_);
    } catch (...) {
        RemoveTree(privateFolder_);
        throw;
    }
}

Configuration::~Configuration() {
    if (privateFolder_.empty()) return;
    SetEnvironmentVariableW(kIniVariable, hadVariable_ ? savedVariable_.c_str() : nullptr);
    SetLiveFolder(_stringx());
    RemoveTree(privateFolder_);
}
