// Writes a set of merge modules shaped like real ones, with everything a catalog needs around them,
// so that a catalog can be created over it at once:
//
//   make_corpus real|wide|small|conflicts OUT_FOLDER [MODULES, for wide] [SEED]
//
// OUT_FOLDER gets Modules\Core and Modules\Extra (the search path), App\ObjectGallery\*.ini,
// App\Repositories\Repositories.xml, Index\modules.ini, Index\FilesToModules.ini, Settings.xml
// (exclusions), AppServices.ini (point CVAPPSERVICES_INI at it) and manifest.txt: one line per
// module, file, gallery file, exclusion and index entry, tab-separated, so that a reader knows
// every answer without opening a module. The same arguments give the same bytes.
//
// Shapes: "real" about 80 modules and 8,000 files: an icon theme (one name in every size folder),
// translation catalogs (one name in every locale folder), a deep help tree, SDK headers, and many
// small modules with a bin folder, dependency chains and language variants. "small" the same at
// about 20 modules and 1,000 files. "wide" MODULES small modules of 4 files each. "conflicts" a few
// modules that deliver the same target files, with each expected answer of a conflict analysis in
// the manifest ("planted" lines).
#include <windows.h>
#include <msiquery.h>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>
#include "tests/fixtures/FixtureBuilder.h"
#include "base/Utf8.h"

namespace {

class Random {
public:
    explicit Random(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull) {}
    uint32_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return static_cast<uint32_t>(state_ >> 16);
    }
    int Below(int n) { return static_cast<int>(Next() % static_cast<uint32_t>(n)); }
    // 8-4-4-4-12 upper-case hex digits joined by `separator`.
    std::wstring Guid(wchar_t separator) {
        static const int groups[] = {8, 4, 4, 4, 12};
        std::wstring text;
        for (int g = 0; g < 5; ++g) {
            if (g) text += separator;
            for (int i = 0; i < groups[g]; ++i) text += L"0123456789ABCDEF"[Next() % 16];
        }
        return text;
    }

private:
    uint64_t state_;
};

std::wstring Number(long long n) { return std::to_wstring(n); }

struct Folder {
    std::wstring key, parentKey, defaultDir;
    std::wstring target;  // "[ProgramFilesFolder]Vendor\Icons": what the catalog resolves the key to
    bool predefined;
    bool dangling = false;  // named by a component but missing from the Directory table
};

struct File {
    std::wstring key, storedName, longName, version;
    size_t folder;
    int size;
};

struct Dependency {
    std::wstring moduleId;
    int language;
    std::wstring version;
};

struct ExclusionRule {
    std::wstring moduleId;
    int language;
};

struct Module {
    std::wstring location;  // "Core" or "Extra"
    std::wstring fileName, moduleId, suffix, version, packageCode, subject;
    int language = 1033;
    std::vector<Folder> folders;
    std::vector<File> files;
    std::vector<Dependency> dependencies;
    std::vector<ExclusionRule> exclusions;
    std::wstring path;  // filled when written

    size_t Root(const wchar_t* predefinedKey) {
        for (size_t i = 0; i < folders.size(); ++i)
            if (folders[i].key == predefinedKey) return i;
        folders.push_back({predefinedKey, L"TARGETDIR", L".", L"[" + std::wstring(predefinedKey) + L"]", true});
        return folders.size() - 1;
    }
    // Keys carry the module's suffix, as merge-module tools write them.
    size_t Sub(size_t parent, const std::wstring& name) {
        const Folder& up = folders[parent];
        std::wstring target = up.target + (up.predefined ? L"" : L"\\") + name;
        std::wstring key = L"D" + Number(folders.size()) + L"_" + name.substr(0, 16) + L"." + suffix;
        for (auto& c : key)
            if (!iswalnum(c) && c != L'.' && c != L'_') c = L'_';
        folders.push_back({key, up.key, name, target, false});
        return folders.size() - 1;
    }
    // Nested folders below `root`; returns the deepest.
    size_t Nested(size_t root, const std::vector<std::wstring>& names) {
        for (const auto& name : names) root = Sub(root, name);
        return root;
    }
    void Add(size_t folder, const std::wstring& longName, const std::wstring& version, Random& random) {
        File file{L"F" + Number(files.size() + 1) + L"." + suffix, longName, longName, version, folder,
                  100 + random.Below(500000)};
        // Some names are stored in their short|long form; the catalog matches the long one.
        if (random.Below(8) == 0) {
            std::wstring base = longName.substr(0, longName.find(L'.')).substr(0, 6);
            size_t dot = longName.rfind(L'.');
            std::wstring shortName = base + L"~1" + (dot == std::wstring::npos ? L"" : longName.substr(dot, 4));
            for (auto& c : shortName) c = towupper(c);
            file.storedName = shortName + L"|" + longName;
        }
        files.push_back(file);
    }
};

struct GalleryModule {
    std::wstring iniName, moduleId, version;
    int language;
    std::vector<std::pair<std::wstring, std::wstring>> files;  // name, version
};

struct Corpus {
    std::vector<Module> modules;
    std::vector<GalleryModule> gallery;
    std::vector<std::pair<size_t, std::wstring>> exclusions;      // module, file name
    std::vector<std::pair<std::wstring, std::wstring>> indexed;   // file name, signature
    std::vector<std::wstring> planted;                            // manifest lines of expected answers
    Random random;
    explicit Corpus(uint64_t seed) : random(seed) {}

    Module& NewModule(const std::wstring& name, const std::wstring& location, int language = 1033) {
        Module module;
        module.location = location;
        module.suffix = random.Guid(L'_');
        module.moduleId = name + L"." + module.suffix;
        module.fileName = name + (language == 1033 ? L"" : L"_" + Number(language)) + L".msm";
        module.language = language;
        module.version = Number(1 + random.Below(9)) + L"." + Number(random.Below(20)) + L"." + Number(random.Below(999)) + L".0";
        module.packageCode = L"{" + random.Guid(L'-') + L"}";
        module.subject = name + L" module";
        module.folders.push_back({L"TARGETDIR", L"", L"SourceDir", L"", false});
        modules.push_back(module);
        return modules.back();
    }
    // A variant of an existing module in another language: same ModuleID and suffix.
    Module& NewVariant(size_t of, int language) {
        Module module = modules[of];
        module.language = language;
        module.fileName = module.fileName.substr(0, module.fileName.size() - 4) + L"_" + Number(language) + L".msm";
        module.packageCode = L"{" + random.Guid(L'-') + L"}";
        module.folders.resize(1);
        module.files.clear();
        modules.push_back(module);
        return modules.back();
    }
};

const wchar_t* const kIconSizes[] = {L"16x16", L"22x22", L"24x24", L"32x32", L"48x48", L"64x64",
                                     L"96x96", L"128x128", L"192x192", L"256x256", L"scalable"};
const wchar_t* const kIconCategories[] = {L"actions", L"apps", L"devices", L"emblems", L"mimetypes", L"places", L"status"};
const wchar_t* const kIconWords[] = {L"go", L"edit", L"view", L"media", L"document", L"folder", L"user", L"network",
                                     L"printer", L"drive", L"audio", L"video", L"mail", L"dialog", L"list", L"zoom"};
const wchar_t* const kLocales[] = {
    L"af", L"ar", L"ast", L"be", L"bg", L"bn", L"br", L"bs", L"ca", L"cs", L"cy", L"da", L"de", L"el", L"en_AU",
    L"en_CA", L"en_GB", L"eo", L"es", L"et", L"eu", L"fa", L"fi", L"fr", L"ga", L"gl", L"gu", L"he", L"hi", L"hr",
    L"hu", L"id", L"is", L"it", L"ja", L"ka", L"kk", L"km", L"kn", L"ko", L"lt", L"lv", L"mk", L"ml", L"mr",
    L"ms", L"nb", L"nl", L"nn", L"oc", L"pa", L"pl", L"pt", L"pt_BR", L"ro", L"ru", L"sk", L"sl", L"sr", L"sv"};
const wchar_t* const kProducts[] = {L"Atlas", L"Beacon", L"Cobalt", L"Delta", L"Ember", L"Falcon", L"Garnet",
                                    L"Harbor", L"Iris", L"Juniper", L"Kestrel", L"Lumen"};

std::wstring Version(Random& random) {
    return Number(1 + random.Below(12)) + L"." + Number(random.Below(10)) + L"." + Number(random.Below(3000)) + L"." +
           Number(random.Below(100));
}

// The same icon name in every size folder of its category.
void AddIconTheme(Corpus& corpus, const std::wstring& location, int sizes, int categories, int names) {
    Module& module = corpus.NewModule(L"IconTheme", location);
    size_t theme = module.Nested(module.Root(L"ProgramFilesFolder"), {L"Vendor", L"Shared", L"Icons", L"Default"});
    std::vector<size_t> sizeFolders;
    for (int s = 0; s < sizes; ++s) sizeFolders.push_back(module.Sub(theme, kIconSizes[s]));
    for (int c = 0; c < categories; ++c)
        for (int s = 0; s < sizes; ++s) {
            size_t folder = module.Sub(sizeFolders[s], kIconCategories[c]);
            for (int n = 0; n < names; ++n)
                module.Add(folder, std::wstring(kIconCategories[c]) + L"-" + kIconWords[n % 16] + L"-" + Number(n) +
                                       (s + 1 == sizes && sizes > 4 ? L".svg" : L".png"),
                           L"", corpus.random);
        }
}

// One catalog name in every locale folder.
void AddTranslations(Corpus& corpus, const std::wstring& location, int locales, int catalogs) {
    Module& module = corpus.NewModule(L"Translations", location);
    size_t root = module.Nested(module.Root(L"ProgramFilesFolder"), {L"Vendor", L"Shared", L"Locale"});
    for (int l = 0; l < locales; ++l) {
        size_t folder = module.Nested(root, {kLocales[l], L"LC_MESSAGES"});
        for (int c = 0; c < catalogs; ++c)
            module.Add(folder, std::wstring(kProducts[c % 12]) + Number(c / 12) + L".mo", L"", corpus.random);
    }
}

// A deep tree: index.htm at every second level, toc.xml at every third, unique topics elsewhere.
void AddHelpTree(Corpus& corpus, const std::wstring& location, int depth, int fanout, int topics) {
    Module& module = corpus.NewModule(L"HelpContent", location);
    size_t root = module.Nested(module.Root(L"CommonFilesFolder"), {L"Vendor", L"Help", L"en"});
    std::vector<size_t> level{root};
    int topic = 0;
    for (int d = 1; d <= depth; ++d) {
        std::vector<size_t> next;
        for (size_t parent : level)
            for (int f = 0; f < fanout; ++f) {
                size_t folder = module.Sub(parent, L"chapter" + Number(f + 1));
                next.push_back(folder);
                if (d == 2) module.Add(folder, L"index.htm", L"", corpus.random);
                if (d == 3) module.Add(folder, L"toc.xml", L"", corpus.random);
                for (int t = 0; t < topics; ++t) module.Add(folder, L"topic" + Number(++topic) + L".htm", L"", corpus.random);
            }
        level = next;
    }
}

// Headers: config.h in every area, unique names elsewhere.
void AddSdk(Corpus& corpus, const std::wstring& location, int areas, int parts, int headers) {
    Module& module = corpus.NewModule(L"SdkHeaders", location);
    size_t include = module.Nested(module.Root(L"ProgramFilesFolder"), {L"Vendor", L"SDK", L"include"});
    for (int a = 0; a < areas; ++a) {
        size_t area = module.Sub(include, L"area" + Number(a));
        module.Add(area, L"config.h", L"", corpus.random);
        for (int p = 0; p < parts; ++p) {
            size_t part = module.Sub(area, L"part" + Number(p));
            for (int h = 0; h < headers; ++h)
                module.Add(part, L"a" + Number(a) + L"p" + Number(p) + L"_h" + Number(h) + L".h", L"", corpus.random);
        }
    }
}

// A product's runtime: DLLs with versions in bin, plugins, a debug file, a licence in doc, a
// runtime DLL in the system folder. Names start with the product's so that none is shared.
void FillProduct(Module& module, const std::wstring& product, int fileCount, Random& random) {
    size_t home = module.Nested(module.Root(L"ProgramFilesFolder"), {L"Vendor", product});
    size_t bin = module.Sub(home, L"bin");
    size_t plugins = module.Sub(bin, L"plugins");
    size_t doc = module.Sub(home, L"doc");
    std::wstring p = product;
    for (auto& c : p) c = towlower(c);
    module.Add(bin, p + L".dll", Version(random), random);
    module.Add(bin, p + L"core.dll", Version(random), random);
    module.Add(bin, p + L".pdb", L"", random);
    module.Add(doc, L"license.rtf", L"", random);
    module.Add(doc, p + L"-readme.txt", L"", random);
    module.Add(module.Root(L"SystemFolder"), p + L"rt.dll", Version(random), random);
    for (int i = 6; i < fileCount; ++i)
        module.Add(i % 3 ? plugins : bin, p + L"_plugin" + Number(i) + L".dll", i % 2 ? Version(random) : L"", random);
}

// Small modules in chains of dependencies, some language neutral, some with a German variant.
void AddProducts(Corpus& corpus, int count, int minFiles, int moreFiles) {
    for (int i = 0; i < count; ++i) {
        std::wstring product = std::wstring(kProducts[i % 12]) + Number(i);
        int language = i % 10 == 3 ? 0 : 1033;
        Module& module = corpus.NewModule(product, i % 2 ? L"Extra" : L"Core", language);
        FillProduct(module, product, minFiles + corpus.random.Below(moreFiles + 1), corpus.random);
        if (i % 6) {
            const Module& previous = corpus.modules[corpus.modules.size() - 2];
            corpus.modules.back().dependencies.push_back({previous.moduleId, previous.language, previous.version});
        }
        if (i % 10 == 7) {
            size_t of = corpus.modules.size() - 1;
            Module& variant = corpus.NewVariant(of, 1031);
            size_t german = variant.Nested(variant.Root(L"ProgramFilesFolder"), {L"Vendor", product, L"bin", L"1031"});
            variant.Add(german, product + L"res.dll", Version(corpus.random), corpus.random);
            variant.Add(german, product + L"-hilfe.chm", L"", corpus.random);
        }
    }
}

void AddWide(Corpus& corpus, int count) {
    for (int i = 0; i < count; ++i) {
        std::wstring name = L"Wide" + Number(i);
        Module& module = corpus.NewModule(name, L"Core");
        size_t home = module.Nested(module.Root(L"ProgramFilesFolder"), {L"Wide", name});
        size_t bin = module.Sub(home, L"bin");
        std::wstring p = L"wide" + Number(i);
        module.Add(bin, p + L".dll", Version(corpus.random), corpus.random);
        module.Add(bin, p + L"ui.dll", Version(corpus.random), corpus.random);
        module.Add(module.Sub(home, L"doc"), p + L".chm", L"", corpus.random);
        module.Add(home, L"license.rtf", L"", corpus.random);
    }
}

// One file with a given version and size in a new folder below a predefined one.
void Put(Corpus& corpus, size_t m, const wchar_t* root, const std::vector<std::wstring>& path,
         const std::wstring& name, const std::wstring& version, int size) {
    Module& module = corpus.modules[m];
    module.Add(module.Nested(module.Root(root), path), name, version, corpus.random);
    module.files.back().size = size;
}

// An expected answer: "planted", its class, the target path, the signatures of the modules.
void Plant(Corpus& corpus, const wchar_t* kind, const std::wstring& target, std::initializer_list<size_t> modules) {
    std::wstring line = L"planted\t" + std::wstring(kind) + L"\t" + target + L"\t";
    for (size_t m : modules)
        line += (m == *modules.begin() ? L"" : L" ") + corpus.modules[m].moduleId + L":" + Number(corpus.modules[m].language);
    corpus.planted.push_back(line);
}

// Modules that deliver the same target files, and what a conflict analysis must leave out: the same
// name in other folders, modules that exclude one another, language variants of one module, a folder
// that does not resolve. A summary with markup in it shows how module texts are escaped.
void AddConflicts(Corpus& corpus) {
    const wchar_t* const programs = L"ProgramFilesFolder";
    size_t alpha = corpus.modules.size();
    for (const wchar_t* name : {L"Alpha", L"Bravo", L"Charlie", L"Delta", L"Echo", L"Foxtrot", L"Golf"})
        corpus.NewModule(name, corpus.modules.size() % 2 ? L"Extra" : L"Core");
    const size_t bravo = alpha + 1, charlie = alpha + 2, delta = alpha + 3, echo = alpha + 4, foxtrot = alpha + 5,
                 golf = alpha + 6;
    // Folders and names are compared without regard to case, and size counts as much as version.
    Put(corpus, alpha, programs, {L"Vendor", L"Common"}, L"shared.dll", L"1.0.0.0", 40960);
    Put(corpus, bravo, programs, {L"vendor", L"common"}, L"SHARED.DLL", L"1.2.0.0", 40960);
    Put(corpus, charlie, programs, {L"Vendor", L"Common"}, L"shared.dll", L"1.0.0.0", 50000);
    Plant(corpus, L"conflict", L"[ProgramFilesFolder]Vendor\\Common\\shared.dll", {alpha, bravo, charlie});
    Put(corpus, alpha, L"SystemFolder", {}, L"runtime.dll", L"2.5.0.0", 81920);
    Put(corpus, bravo, L"SystemFolder", {}, L"runtime.dll", L"2.5.0.0", 81920);
    Plant(corpus, L"duplicate", L"[SystemFolder]runtime.dll", {alpha, bravo});
    Put(corpus, alpha, programs, {L"Vendor", L"Alpha"}, L"readme.txt", L"", 1200);
    Put(corpus, bravo, programs, {L"Vendor", L"Bravo"}, L"readme.txt", L"", 1300);
    Plant(corpus, L"apart", L"[ProgramFilesFolder]Vendor\\Alpha\\readme.txt", {alpha});
    Plant(corpus, L"apart", L"[ProgramFilesFolder]Vendor\\Bravo\\readme.txt", {bravo});
    corpus.modules[delta].exclusions.push_back({corpus.modules[echo].moduleId, 0});
    Put(corpus, delta, programs, {L"Vendor", L"Plugins"}, L"filter.dll", L"3.0.0.0", 2048);
    Put(corpus, echo, programs, {L"Vendor", L"Plugins"}, L"filter.dll", L"3.1.0.0", 4096);
    Plant(corpus, L"excluded", L"[ProgramFilesFolder]Vendor\\Plugins\\filter.dll", {delta, echo});
    Put(corpus, foxtrot, programs, {L"Vendor", L"Foxtrot"}, L"strings.dll", L"1.0.0.0", 1000);
    size_t german = corpus.modules.size();
    corpus.NewVariant(foxtrot, 1031);
    Put(corpus, german, programs, {L"Vendor", L"Foxtrot"}, L"strings.dll", L"1.0.0.0", 2000);
    Plant(corpus, L"variants", L"[ProgramFilesFolder]Vendor\\Foxtrot\\strings.dll", {foxtrot, german});
    Module& orphan = corpus.modules[golf];
    orphan.folders.push_back({L"Gone." + orphan.suffix, L"TARGETDIR", L"Gone", L"", false, true});
    orphan.Add(orphan.folders.size() - 1, L"orphan.dll", L"1.0.0.0", corpus.random);
    Plant(corpus, L"unresolved", L"orphan.dll", {golf});
    orphan.subject = L"Golf <script>window.injected = true;</script> \"quoted\" & 'single' </td>";
}

// Gallery-only modules, one gallery file shadowing a module on disk, exclusions and index entries.
void AddSurroundings(Corpus& corpus, int galleryModules) {
    for (int g = 0; g < galleryModules; ++g) {
        GalleryModule entry{L"Offered" + Number(g), L"Offered" + Number(g) + L"." + corpus.random.Guid(L'_'),
                            Version(corpus.random), 1033, {}};
        for (int f = 0; f < 3; ++f)
            entry.files.push_back({L"offered" + Number(g) + L"_" + Number(f) + L".dll", f ? Version(corpus.random) : L""});
        corpus.gallery.push_back(entry);
    }
    const Module& last = corpus.modules.back();
    corpus.gallery.push_back({L"Shadow", last.moduleId, last.version, last.language,
                              {{L"shadow-only.dll", L""}}});
    for (size_t m = 4; m < corpus.modules.size() && corpus.exclusions.size() < 3; m += 5) {
        const Module& module = corpus.modules[m];
        if (module.files.size() > 1) corpus.exclusions.push_back({m, module.files[1].longName});
    }
    for (size_t m = 0; m < corpus.modules.size() && corpus.indexed.size() < 4; m += 7)
        corpus.indexed.push_back({L"legacy" + Number(m) + L".dll",
                                  corpus.modules[m].moduleId + L":" + Number(corpus.modules[m].language)});
}

// ---------------------------------------------------------------- writing

void WriteText(const std::wstring& path, const std::wstring& text) {
    std::string bytes = ToUtf8(text);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    bool ok = file != INVALID_HANDLE_VALUE &&
              WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size();
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (!ok) throw FixtureError{L"cannot write " + path};
}

// Creates the folder and any missing parents.
void MakeFolder(const std::wstring& path) {
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1))
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        throw FixtureError{L"cannot create " + path};
}

std::wstring Table(const wchar_t* header, const std::vector<std::vector<std::wstring>>& rows) {
    std::wstring text = header;
    for (const auto& row : rows) {
        for (size_t i = 0; i < row.size(); ++i) text += (i ? L"\t" : L"") + row[i];
        text += L"\r\n";
    }
    return text;
}

ModuleSource SourceOf(const Module& module, const FILETIME& savedTime) {
    ModuleSource source;
    source.savedTime = &savedTime;
    std::wstring language = Number(module.language);
    source.tables.push_back({L"ModuleSignature.idt",
                             Table(L"ModuleID\tLanguage\tVersion\r\ns72\ti2\ts32\r\nModuleSignature\tModuleID\tLanguage\r\n",
                                   {{module.moduleId, language, module.version}})});
    std::vector<std::vector<std::wstring>> directories, components, moduleComponents, files, dependencies;
    for (size_t i = 0; i < module.folders.size(); ++i) {
        const Folder& folder = module.folders[i];
        if (!folder.dangling) directories.push_back({folder.key, folder.parentKey, folder.defaultDir});
        std::wstring component = L"C" + Number(i) + L"." + module.suffix;
        components.push_back({component, L"", folder.key, L"0", L"", L""});
        moduleComponents.push_back({component, module.moduleId, language});
    }
    for (size_t i = 0; i < module.files.size(); ++i) {
        const File& file = module.files[i];
        files.push_back({file.key, L"C" + Number(file.folder) + L"." + module.suffix, file.storedName, Number(file.size),
                         file.version, L"", L"512", Number(i + 1)});
    }
    for (const auto& d : module.dependencies) dependencies.push_back({module.moduleId, language, d.moduleId, Number(d.language), d.version});
    source.tables.push_back({L"Directory.idt", Table(L"Directory\tDirectory_Parent\tDefaultDir\r\ns72\tS72\tl255\r\nDirectory\tDirectory\r\n", directories)});
    source.tables.push_back({L"Component.idt", Table(L"Component\tComponentId\tDirectory_\tAttributes\tCondition\tKeyPath\r\n"
                                                     L"s72\tS38\ts72\ti2\tS255\tS72\r\nComponent\tComponent\r\n", components)});
    source.tables.push_back({L"ModuleComponents.idt", Table(L"Component\tModuleID\tLanguage\r\ns72\ts72\ti2\r\n"
                                                            L"ModuleComponents\tComponent\tModuleID\tLanguage\r\n", moduleComponents)});
    source.tables.push_back({L"File.idt", Table(L"File\tComponent_\tFileName\tFileSize\tVersion\tLanguage\tAttributes\tSequence\r\n"
                                                L"s72\ts72\tl255\ti4\tS72\tS20\tI2\ti4\r\nFile\tFile\r\n", files)});
    source.tables.push_back({L"ModuleDependency.idt", Table(L"ModuleID\tModuleLanguage\tRequiredID\tRequiredLanguage\tRequiredVersion\r\n"
                                                            L"s72\ti2\ts72\ti2\tS32\r\nModuleDependency\tModuleID\tModuleLanguage\tRequiredID\tRequiredLanguage\r\n",
                                                            dependencies)});
    if (!module.exclusions.empty()) {
        std::vector<std::vector<std::wstring>> rows;
        for (const auto& e : module.exclusions) rows.push_back({module.moduleId, language, e.moduleId, Number(e.language), L"", L""});
        source.tables.push_back({L"ModuleExclusion.idt", Table(L"ModuleID\tModuleLanguage\tExcludedID\tExcludedLanguage\tExcludedMinVersion\tExcludedMaxVersion\r\n"
                                                               L"s72\ti2\ts72\ti2\tS32\tS32\r\nModuleExclusion\tModuleID\tModuleLanguage\tExcludedID\tExcludedLanguage\r\n",
                                                               rows)});
    }
    source.summary = {{L"Codepage", L"1252"}, {L"Title", L"Merge Module"}, {L"Subject", module.subject},
                      {L"Author", L"Corpus Maker"}, {L"Comments", L"Generated module " + module.fileName},
                      {L"Template", L"Intel;" + language}, {L"RevisionNumber", module.packageCode},
                      {L"PageCount", L"200"}, {L"WordCount", L"0"}};
    return source;
}

std::wstring FullPath(const std::wstring& path) {
    wchar_t full[MAX_PATH];
    DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    if (!n || n >= MAX_PATH) throw FixtureError{L"bad output folder " + path};
    std::wstring text(full, n);
    while (text.size() > 3 && text.back() == L'\\') text.pop_back();
    return text;
}

// The module files, each with its lines of the manifest; gives the number of files.
size_t WriteModules(Corpus& corpus, const std::wstring& modules, std::wstring& manifest) {
    SYSTEMTIME fixed{2024, 5, 0, 1, 12, 0, 0, 0};
    FILETIME savedTime;
    SystemTimeToFileTime(&fixed, &savedTime);
    std::wstring work = MakeTempFolder();
    size_t fileCount = 0;
    for (size_t m = 0; m < corpus.modules.size(); ++m) {
        Module& module = corpus.modules[m];
        module.path = modules + L"\\" + module.location + L"\\" + module.fileName;
        try {
            BuildModule(module.path, SourceOf(module, savedTime), work);
        } catch (...) {
            RemoveDirectoryW(work.c_str());
            throw;
        }
        manifest += L"module\t" + module.path + L"\t" + module.moduleId + L"\t" + Number(module.language) + L"\t" +
                    module.version + L"\t" + module.packageCode + L"\r\n";
        for (const File& file : module.files) {
            const Folder& folder = module.folders[file.folder];
            manifest += L"file\t" + module.path + L"\t" + folder.target + L"\t" + folder.key + L"\t" + file.longName +
                        L"\t" + file.version + L"\r\n";
        }
        fileCount += module.files.size();
        if ((m + 1) % 500 == 0) fwprintf(stderr, L"make_corpus: %zu modules\n", m + 1);
    }
    RemoveDirectoryW(work.c_str());
    if (UINT open = MsiCloseAllHandles()) throw FixtureError{Number(open) + L" installer handles left open"};
    return fileCount;
}

// modules.ini and FilesToModules.ini.
void WriteIndexes(const Corpus& corpus, const std::wstring& index, std::wstring& manifest) {
    std::wstring friendlyNames = L"[modules]\r\n";
    for (const Module& module : corpus.modules)
        friendlyNames += module.moduleId + L":" + Number(module.language) + L"=" + module.subject + L"\r\n";
    WriteText(index + L"\\modules.ini", friendlyNames);
    std::wstring filesToModules = L"[FilesToModules]\r\n";
    for (const auto& entry : corpus.indexed) {
        filesToModules += entry.first + L"=0:" + entry.second + L"\r\n";
        manifest += L"indexed\t" + entry.first + L"\t" + entry.second + L"\r\n";
    }
    WriteText(index + L"\\FilesToModules.ini", filesToModules);
}

void WriteGallery(const Corpus& corpus, const std::wstring& app, std::wstring& manifest) {
    for (size_t g = 0; g < corpus.gallery.size(); ++g) {
        const GalleryModule& entry = corpus.gallery[g];
        // The last gallery file describes a module on disk: the catalog keeps the disk's.
        const bool shadowed = g + 1 == corpus.gallery.size();
        std::wstring text = L"[MergeModule]\r\nModuleID=" + entry.moduleId + L"\r\nLanguage=" + Number(entry.language) +
                            L"\r\nVersion=" + entry.version + L"\r\nAuthor=Corpus Maker\r\nSubject=" + entry.iniName +
                            L"\r\n[Files]\r\n";
        for (size_t f = 0; f < entry.files.size(); ++f) text += L"Key" + Number(f + 1) + L"=File" + Number(f + 1) + L"\r\n";
        for (size_t f = 0; f < entry.files.size(); ++f) {
            text += L"[File" + Number(f + 1) + L"]\r\nFileName=" + entry.files[f].first + L"\r\nVersion=" +
                    entry.files[f].second + L"\r\nFileSize=1024\r\nLanguage=1033\r\n";
            manifest += std::wstring(shadowed ? L"shadowed\t" : L"gallery\t") + app + L"\\ObjectGallery\\" + entry.iniName + L".ini\t" + entry.moduleId + L"\t" +
                        Number(entry.language) + L"\t" + entry.files[f].first + L"\t" + entry.files[f].second + L"\r\n";
        }
        WriteText(app + L"\\ObjectGallery\\" + entry.iniName + L".ini", text);
    }
    WriteText(app + L"\\Repositories\\Repositories.xml", L"<?xml version=\"1.0\"?>\r\n<Repositories/>\r\n");
}

// The settings document with the file exclusions, and AppServices.ini pointing at everything.
void WriteSettings(const Corpus& corpus, const std::wstring& out, std::wstring& manifest) {
    const std::wstring modules = out + L"\\Modules", app = out + L"\\App", index = out + L"\\Index";
    std::wstring settings = L"<?xml version=\"1.0\"?>\r\n<Workbench><IDE><Workspaces><MM_FilesExlusion>\r\n";
    for (const auto& exclusion : corpus.exclusions) {
        const Module& module = corpus.modules[exclusion.first];
        settings += L"<FilesExlusion MM_GUID=\"" + module.packageCode + L"\" InclusionFileNames=\"" + exclusion.second +
                    L"\"/>\r\n";
        manifest += L"exclusion\t" + module.path + L"\t" + exclusion.second + L"\r\n";
    }
    WriteText(out + L"\\Settings.xml", settings + L"</MM_FilesExlusion></Workspaces></IDE></Workbench>\r\n");
    const wchar_t patterns[] = L"*.pdb,*.map";
    manifest += L"patterns\t" + std::wstring(patterns) + L"\r\n";

    WriteText(out + L"\\AppServices.ini",
              L"[Folders]\r\nApplication=" + app + L"\r\nFilesToModulesIndex=" + index + L"\r\nModulesIndex=" + index +
                  L"\r\nSearchPath2=\r\nExcludedFiles=" + patterns + L"\r\nSettingsDocument=" + out +
                  L"\\Settings.xml\r\n[MergeModules]\r\nSearchPath=" + modules + L"\\Core," + modules +
                  L"\\Extra\r\nMatchResolvedFolder=1\r\nMatchDirectoryKey=0\r\n[Project]\r\nActiveType=0\r\n");
}

void Write(Corpus& corpus, const std::wstring& out, const std::wstring& description) {
    const std::wstring modules = out + L"\\Modules", app = out + L"\\App", index = out + L"\\Index";
    for (const auto& folder : {out, modules, modules + L"\\Core", modules + L"\\Extra", app, app + L"\\ObjectGallery",
                               app + L"\\Repositories", index})
        MakeFolder(folder);
    std::wstring manifest = L"# " + description + L"\r\n";
    size_t fileCount = WriteModules(corpus, modules, manifest);
    WriteIndexes(corpus, index, manifest);
    WriteGallery(corpus, app, manifest);
    WriteSettings(corpus, out, manifest);
    for (const std::wstring& line : corpus.planted) manifest += line + L"\r\n";
    WriteText(out + L"\\manifest.txt", manifest);
    fwprintf(stderr, L"make_corpus: %zu modules, %zu files in %ls\n", corpus.modules.size(), fileCount, out.c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        fwprintf(stderr, L"usage: make_corpus real|wide|small|conflicts OUT_FOLDER [MODULES] [SEED]\n");
        return 2;
    }
    std::wstring shape = argv[1];
    int count = argc > 3 ? _wtoi(argv[3]) : 1000;
    uint64_t seed = argc > 4 ? _wtoi(argv[4]) : 1;
    try {
        Corpus corpus(seed);
        if (shape == L"real") {
            AddIconTheme(corpus, L"Core", 11, 7, 32);
            AddTranslations(corpus, L"Extra", 55, 28);
            AddHelpTree(corpus, L"Core", 4, 3, 8);
            AddSdk(corpus, L"Extra", 12, 4, 15);
            AddProducts(corpus, 66, 10, 44);
            AddSurroundings(corpus, 4);
        } else if (shape == L"small") {
            AddIconTheme(corpus, L"Core", 5, 5, 20);
            AddTranslations(corpus, L"Extra", 20, 10);
            AddProducts(corpus, 16, 10, 16);
            AddSurroundings(corpus, 2);
        } else if (shape == L"conflicts") {
            AddConflicts(corpus);
        } else if (shape == L"wide" && count > 0) {
            AddWide(corpus, count);
            AddSurroundings(corpus, 2);
        } else {
            fwprintf(stderr, L"make_corpus: unknown shape %ls or bad module count\n", shape.c_str());
            return 2;
        }
        Write(corpus, FullPath(argv[2]),
              L"corpus " + shape + L" " + Number(count) + L" seed " + Number(static_cast<long long>(seed)));
    } catch (const FixtureError& error) {
        fwprintf(stderr, L"make_corpus: %ls\n", error.message.c_str());
        MsiCloseAllHandles();
        return 1;
    }
    return 0;
}
