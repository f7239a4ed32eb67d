// Catalogs on several apartment threads of one client at once, every answer checked against a record
// of the module set made with msi.dll before the run, while a background thread touches module files
// and moves extra modules in and out of a search folder. An answer is right when it matches the set
// as it stood before or after each change that overlapped the call.
//
//   thread_campaign CORPUS EXTRAS THREADS SECONDS RUNS [--no-changes]
//       RUNS child runs, each watched: a child that ends abnormally is a crash, one that outlives
//       its time by a minute a hang. Prints the counts and CAMPAIGN-OK or CAMPAIGN-FAILED.
//   thread_campaign --throughput CORPUS EXTRAS THREADS SECONDS RUNS
//       RUNS pairs of runs without changes, concurrent and with every call serialised by a lock,
//       interleaved; prints the loops of each and the ratio of the medians.
//   thread_campaign --open-during-scan LARGE_CORPUS MODULE_FILE
//       the time to open a module file alone, and while another apartment scans the large corpus.
//
// CORPUS and EXTRAS are folders that make_corpus wrote (small or real, and wide): the campaign
// changes CORPUS (touches its modules) and moves the modules of EXTRAS; both are put back at the end.
#include <windows.h>
#include <msiquery.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>
#include "CvMMUpdater2.h"
#include "cvmmupdater.h"
#include "base/Handles.h"
#include "tests/support/CorpusManifest.h"

namespace {

struct Recorded {
    std::wstring moduleId, language;
    LONG dependencies = 0, files = 0;
};

// The record, taken through msi.dll alone: a module's dependencies on others (by key, not itself)
// and its File rows.
LONG CountRows(MSIHANDLE database, const wchar_t* query) {
    MSIHANDLE view = 0, record = 0;
    LONG rows = 0;
    if (MsiDatabaseOpenViewW(database, query, &view) != ERROR_SUCCESS) return 0;
    if (MsiViewExecute(view, 0) == ERROR_SUCCESS)
        while (MsiViewFetch(view, &record) == ERROR_SUCCESS) {
            ++rows;
            MsiCloseHandle(record);
        }
    MsiCloseHandle(view);
    return rows;
}

Recorded Record(const CorpusModule& module) {
    Recorded r{module.moduleId, module.language};
    MSIHANDLE database = 0;
    if (MsiOpenDatabaseW(module.path.c_str(), MSIDBOPEN_READONLY, &database) != ERROR_SUCCESS) return r;
    std::wstring self = L"SELECT `RequiredID` FROM `ModuleDependency` WHERE `RequiredID` <> '" + module.moduleId + L"'";
    r.dependencies = CountRows(database, self.c_str());
    r.files = CountRows(database, L"SELECT `File` FROM `File`");
    MsiCloseHandle(database);
    return r;
}

std::wstring Text(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }

LONG CountOf(IDispatch* collection) {
    // Every collection's Count is DISPID 1.
    DISPPARAMS none{};
    unique_variant count;
    if (!collection || FAILED(collection->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &count.Get(), nullptr,
                                                 nullptr)))
        return -1;
    return count.Get().vt == VT_I4 ? count.Get().lVal : -1;
}

// The module set's changes: a count made odd while a change is under way, and the number of
// modules after each change.
struct Changes {
    std::atomic<ULONG> sequence{0};
    std::mutex lock;
    std::vector<LONG> totals;          // by change number
    std::vector<std::atomic<bool>> present;  // extras in the search folder
    explicit Changes(size_t extras) : present(extras) {}

    // True when `answer` is the total of a state between the two sequence values.
    bool TotalSeen(ULONG begin, ULONG end, LONG answer) {
        std::lock_guard<std::mutex> hold(lock);
        for (ULONG k = begin / 2; k <= (end + 1) / 2 && k < totals.size(); ++k)
            if (totals[k] == answer) return true;
        return false;
    }
};

struct Run {
    CorpusManifest corpus, extras;
    std::vector<Recorded> records;       // of corpus.modules
    std::map<std::wstring, std::wstring> idOfPath;
    std::wstring extraFolder;            // where present extras go
    std::vector<std::wstring> parked;    // the extras' own paths
    std::unique_ptr<Changes> changes;
    bool serial = false;
    std::mutex callLock;                 // the serialised client's
    ULONGLONG end = 0;
    std::atomic<size_t> loops{0}, wrong{0}, errors{0};

    std::wstring Present(size_t i) const { return extraFolder + L"\\zz-extra-" + std::to_wstring(i) + L".msm"; }

    void Wrong(const char* what, const std::wstring& detail) {
        if (++wrong <= 20) printf("wrong: %s %ls\n", what, detail.c_str());
    }
    template <typename Call>
    auto Do(Call&& call) -> decltype(call()) {
        if (!serial) return call();
        std::lock_guard<std::mutex> hold(callLock);
        return call();
    }
};

ComPtr<IMMCatalog2> NewCatalog(Run& run) {
    ComPtr<IMMCatalog2> catalog;
    HRESULT hr = run.Do([&] {
        return CoCreateInstance(CLSID_MMCatalog, nullptr, CLSCTX_INPROC_SERVER, IID_IMMCatalog2, catalog.PutVoid());
    });
    if (FAILED(hr)) {
        ++run.errors;
        printf("error: catalog not created 0x%08lx\n", hr);
    }
    return catalog;
}

// The module's identity and lists as the record has them.
void CheckModule(Run& run, IMergeModule2* module, const Recorded& record, const char* how) {
    unique_bstr id;
    LONG language = -1;
    ComPtr<IDependencyCollection> dependencies;
    ComPtr<IFileCollection> files;
    run.Do([&] {
        module->get_ModuleId(id.put());
        module->get_Language(&language);
        module->get_Dependencies(dependencies.Put());
        return module->get_Files(files.Put());
    });
    LONG dependencyCount = run.Do([&] { return CountOf(dependencies.Get()); });
    LONG fileCount = run.Do([&] { return CountOf(files.Get()); });
    if (Text(id.get()) != record.moduleId || std::to_wstring(language) != record.language ||
        dependencyCount != record.dependencies || fileCount != record.files)
        run.Wrong(how, record.moduleId + L" deps " + std::to_wstring(dependencyCount) + L"/" +
                           std::to_wstring(record.dependencies) + L" files " + std::to_wstring(fileCount) + L"/" +
                           std::to_wstring(record.files));
}

void FindBySignature(Run& run, IMMCatalog2* catalog, const Recorded& record, bool anyLanguage) {
    ComPtr<IDispatch> found;
    unique_bstr signature(SysAllocString((record.moduleId + L":" + (anyLanguage ? L"0" : record.language)).c_str()));
    run.Do([&] { return catalog->FindModule(signature.get(), 0, found.Put()); });
    ComPtr<IMergeModule2> module;
    if (!found || FAILED(found.As(IID_IMergeModule2, module))) return run.Wrong("FindModule missed", signature.get());
    if (!anyLanguage) return CheckModule(run, module.Get(), record, "FindModule");
    unique_bstr id;
    run.Do([&] { return module->get_ModuleId(id.put()); });
    if (Text(id.get()) != record.moduleId) run.Wrong("FindModule any language", signature.get());
}

void FindByFile(Run& run, IMMCatalog2* catalog, const CorpusFile& file) {
    std::wstring expected = run.corpus.ExpectedModule(file, true);
    unique_bstr path(SysAllocString(file.TargetPath().c_str())), key(SysAllocString(file.directoryKey.c_str())),
        version(SysAllocString(file.version.c_str()));
    ComPtr<IMergeModule2> module;
    VARIANT_BOOL found = VARIANT_FALSE;
    run.Do([&] { return catalog->FindModuleForFileEx(path.get(), key.get(), version.get(), module.Put(), &found); });
    unique_bstr id;
    if (module) run.Do([&] { return module->get_ModuleId(id.put()); });
    if (expected.empty() ? found != VARIANT_FALSE : Text(id.get()) != run.idOfPath[expected])
        run.Wrong("FindModuleForFileEx", file.TargetPath());
}

void ListModules(Run& run, IMMCatalog2* catalog) {
    ULONG begin = run.changes->sequence.load();
    ComPtr<IDispatch> modules;
    run.Do([&] { return catalog->GetModules(modules.Put()); });
    ULONG end = run.changes->sequence.load();
    LONG count = run.Do([&] { return CountOf(modules.Get()); });
    if (!run.changes->TotalSeen(begin, end, count)) run.Wrong("GetModules count", std::to_wstring(count));
    // A walk of the collection: every item a module with a key.
    for (LONG i = 1; i <= count; i += 7) {
        VARIANT index;
        index.vt = VT_I4;
        index.lVal = i;
        DISPPARAMS parameters{&index, nullptr, 1, 0};
        unique_variant item;
        run.Do([&] {
            return modules->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET, &parameters, &item.Get(), nullptr,
                                   nullptr);
        });
        if (item.Get().vt != VT_DISPATCH || !item.Get().pdispVal) run.Wrong("GetModules item", std::to_wstring(i));
    }
}

// FindModule answers from the catalog's last read: the window begins with the Refresh before it.
void FindExtra(Run& run, IMMCatalog2* catalog, size_t i) {
    ULONG begin = run.changes->sequence.load();
    bool present = run.changes->present[i].load();
    LONG unused = 0;
    run.Do([&] { return catalog->Refresh(&unused); });
    const CorpusModule& extra = run.extras.modules[i];
    unique_bstr signature(SysAllocString((extra.moduleId + L":" + extra.language).c_str()));
    ComPtr<IDispatch> found;
    run.Do([&] { return catalog->FindModule(signature.get(), 0, found.Put()); });
    ULONG end = run.changes->sequence.load();
    bool settled = begin == end && begin % 2 == 0;
    if (settled && static_cast<bool>(found.Get()) != present)
        run.Wrong(present ? "FindModule missed a present extra" : "FindModule found an absent extra", signature.get());
}

void OpenModuleFile(Run& run, size_t m) {
    ComPtr<IMergeModule2> module;
    unique_bstr path(SysAllocString(run.corpus.modules[m].path.c_str()));
    HRESULT hr = run.Do([&] {
        HRESULT made =
            CoCreateInstance(CLSID_MergeModule2, nullptr, CLSCTX_INPROC_SERVER, IID_IMergeModule2, module.PutVoid());
        return SUCCEEDED(made) ? module->Open(path.get()) : made;
    });
    if (FAILED(hr)) {
        unique_bstr description;
        ComPtr<IErrorInfo> info;
        if (GetErrorInfo(0, info.Put()) == S_OK) info->GetDescription(description.put());
        wchar_t code[16];
        swprintf(code, 16, L"0x%08lx ", static_cast<unsigned long>(hr));
        return run.Wrong("Open", code + run.corpus.modules[m].path + L" " + Text(description.get()));
    }
    CheckModule(run, module.Get(), run.records[m], "Open");
}

// A fault's stack as module+offset, for addr2line or nm, before the process goes down.
LONG CALLBACK ReportFault(EXCEPTION_POINTERS* fault) {
    if (fault->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION) return EXCEPTION_CONTINUE_SEARCH;
    CONTEXT context = *fault->ContextRecord;
    printf("fault 0x%08lx in thread %lu:\n", fault->ExceptionRecord->ExceptionCode, GetCurrentThreadId());
    for (int frame = 0; frame < 24 && context.Rip; ++frame) {
        DWORD64 base = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &base, nullptr);
        wchar_t name[MAX_PATH] = L"?";
        HMODULE module = nullptr;
        if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                               reinterpret_cast<LPCWSTR>(context.Rip), &module))
            GetModuleFileNameW(module, name, MAX_PATH);
        printf("  %ls+0x%llx\n", wcsrchr(name, L'\\') ? wcsrchr(name, L'\\') + 1 : name,
               static_cast<unsigned long long>(context.Rip - reinterpret_cast<DWORD64>(module)));
        if (!function) break;
        void* handlerData = nullptr;
        DWORD64 establisher = 0;
        RtlVirtualUnwind(UNW_FLAG_NHANDLER, base, context.Rip, function, &context, &handlerData, &establisher, nullptr);
    }
    fflush(stdout);
    return EXCEPTION_CONTINUE_SEARCH;
}

void Client(Run& run, unsigned seed) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
        std::mt19937 random(seed);
        ComPtr<IMMCatalog2> catalog;
        for (size_t loop = 0; GetTickCount64() < run.end; ++loop) {
            if (loop % 25 == 0) catalog = NewCatalog(run);
            if (!catalog) break;
            size_t m = random() % run.records.size();
            FindBySignature(run, catalog.Get(), run.records[m], false);
            FindBySignature(run, catalog.Get(), run.records[random() % run.records.size()], true);
            FindByFile(run, catalog.Get(), run.corpus.files[random() % run.corpus.files.size()]);
            LONG unused = 0;
            run.Do([&] { return catalog->Refresh(&unused); });
            ListModules(run, catalog.Get());
            if (!run.extras.modules.empty()) FindExtra(run, catalog.Get(), random() % run.extras.modules.size());
            OpenModuleFile(run, random() % run.corpus.modules.size());
            ++run.loops;
        }
    }
    CoUninitialize();
}

// One change at a time: a corpus module touched newer, or an extra moved in or out.
void Changer(Run& run, LONG baseTotal) {
    std::mt19937 random(7);
    Changes& changes = *run.changes;
    LONG total = baseTotal;
    while (GetTickCount64() + 300 < run.end) {
        Sleep(100);
        changes.sequence.fetch_add(1);
        size_t pick = random() % (run.corpus.modules.size() + 2 * run.extras.modules.size());
        if (pick < run.corpus.modules.size()) {
            unique_file file(CreateFileW(run.corpus.modules[pick].path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
            FILETIME now;
            GetSystemTimeAsFileTime(&now);
            if (file) SetFileTime(file.get(), nullptr, nullptr, &now);
        } else {
            size_t i = (pick - run.corpus.modules.size()) / 2;
            bool in = changes.present[i];
            BOOL moved = in ? MoveFileW(run.Present(i).c_str(), run.parked[i].c_str())
                            : MoveFileW(run.parked[i].c_str(), run.Present(i).c_str());
            if (moved) {
                changes.present[i] = !in;
                total += in ? -1 : 1;
            }
        }
        {
            std::lock_guard<std::mutex> hold(changes.lock);
            changes.totals.push_back(total);
        }
        changes.sequence.fetch_add(1);
    }
}

void PutExtrasBack(Run& run) {
    for (size_t i = 0; i < run.parked.size(); ++i)
        if (run.changes->present[i]) MoveFileW(run.Present(i).c_str(), run.parked[i].c_str());
}

int RunOnce(const std::wstring& corpus, const std::wstring& extras, int threads, int seconds, bool changes, bool serial) {
    AddVectoredExceptionHandler(1, ReportFault);
    setvbuf(stdout, nullptr, _IONBF, 0);  // whatever was printed survives a crash
    Run run;
    std::wstring error;
    if (!run.corpus.Read(corpus + L"\\manifest.txt", &error) || !run.extras.Read(extras + L"\\manifest.txt", &error)) {
        printf("error: %ls\n", error.c_str());
        return 2;
    }
    for (const auto& module : run.corpus.modules) {
        run.records.push_back(Record(module));
        run.idOfPath[module.path] = module.moduleId;
    }
    run.extraFolder = corpus + L"\\Modules\\Extra";
    for (const auto& module : run.extras.modules) run.parked.push_back(module.path);
    if (!changes) run.extras.modules.clear(), run.parked.clear();
    run.changes = std::make_unique<Changes>(run.extras.modules.size());
    run.serial = serial;
    // A run that was ended early left its extras in the search folder: they go back first.
    for (size_t i = 0; i < run.parked.size(); ++i)
        if (GetFileAttributesW(run.parked[i].c_str()) == INVALID_FILE_ATTRIBUTES)
            MoveFileW(run.Present(i).c_str(), run.parked[i].c_str());
    SetEnvironmentVariableW(L"CVAPPSERVICES_INI", (corpus + L"\\AppServices.ini").c_str());

    // The total before any change, from one catalog on its own.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    LONG baseTotal = -1;
    {
        ComPtr<IMMCatalog2> catalog = NewCatalog(run);
        ComPtr<IDispatch> modules;
        if (catalog && SUCCEEDED(catalog->GetModules(modules.Put()))) baseTotal = CountOf(modules.Get());
    }
    if (baseTotal < static_cast<LONG>(run.corpus.modules.size())) {
        printf("error: the catalog lists %ld modules\n", baseTotal);
        return 2;
    }
    run.changes->totals.push_back(baseTotal);
    run.end = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
    std::vector<std::thread> clients;
    for (int t = 0; t < threads; ++t) clients.emplace_back(Client, std::ref(run), 1000u + t);
    if (changes) Changer(run, baseTotal);
    for (auto& client : clients) client.join();
    PutExtrasBack(run);
    CoUninitialize();
    printf("loops %zu wrong %zu errors %zu changes %zu\n", run.loops.load(), run.wrong.load(), run.errors.load(),
           run.changes->totals.size() - 1);
    return run.wrong || run.errors ? 1 : 0;
}

// A child run of this program, watched: its exit code, or -1 when it outlived its time.
int Watch(const std::wstring& arguments, DWORD limitMs, std::string& output) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    CreatePipe(&readEnd, &writeEnd, &inherit, 0);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    unique_handle reader(readEnd), writer(writeEnd);
    STARTUPINFOW startup{sizeof(startup)};
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = writer.get();
    std::wstring line = L"\"" + std::wstring(self) + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) return -2;
    unique_handle child(process.hProcess), thread(process.hThread);
    writer.reset();
    std::thread drain([&] {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(reader.get(), buffer, sizeof(buffer), &got, nullptr) && got) output.append(buffer, got);
    });
    bool ended = WaitForSingleObject(child.get(), limitMs) == WAIT_OBJECT_0;
    if (!ended) TerminateProcess(child.get(), 99);
    WaitForSingleObject(child.get(), INFINITE);
    drain.join();
    DWORD code = 0;
    GetExitCodeProcess(child.get(), &code);
    return ended ? static_cast<int>(code) : -1;
}

size_t Field(const std::string& output, const char* name) {
    size_t at = output.rfind(std::string(name) + " ");
    return at == std::string::npos ? 0 : strtoull(output.c_str() + at + strlen(name) + 1, nullptr, 10);
}

std::wstring RunArguments(const std::wstring& corpus, const std::wstring& extras, int threads, int seconds,
                          const wchar_t* mode) {
    return L"--run \"" + corpus + L"\" \"" + extras + L"\" " + std::to_wstring(threads) + L" " +
           std::to_wstring(seconds) + L" " + mode;
}

int Supervise(const std::wstring& corpus, const std::wstring& extras, int threads, int seconds, int runs,
              bool changes) {
    size_t crashes = 0, hangs = 0, wrong = 0, loops = 0;
    DWORD limit = static_cast<DWORD>(seconds) * 1000 + 60000;
    for (int r = 1; r <= runs; ++r) {
        std::string output;
        int code = Watch(RunArguments(corpus, extras, threads, seconds, changes ? L"changes" : L"still"), limit, output);
        hangs += code == -1;
        crashes += code != -1 && code != 0 && code != 1;
        wrong += Field(output, "wrong") + Field(output, "errors");
        loops += Field(output, "loops");
        printf("run %d: exit %d, %s", r, code, output.c_str());
        fflush(stdout);
    }
    printf("threads %d, %d runs of %d s: loops %zu crashes %zu hangs %zu wrong %zu\n", threads, runs, seconds, loops,
           crashes, hangs, wrong);
    bool passed = !crashes && !hangs && !wrong && loops > 0;
    printf("%s\n", passed ? "CAMPAIGN-OK" : "CAMPAIGN-FAILED");
    return passed ? 0 : 1;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Milliseconds of each open of the module file while `busy` is set (or `count` opens when null).
std::vector<double> TimeOpens(const std::wstring& file, std::atomic<bool>* busy, size_t count) {
    std::vector<double> times;
    unique_bstr path(SysAllocString(file.c_str()));
    LARGE_INTEGER frequency, begin, end;
    QueryPerformanceFrequency(&frequency);
    while (busy ? busy->load() : times.size() < count) {
        ComPtr<IMergeModule2> module;
        QueryPerformanceCounter(&begin);
        if (FAILED(CoCreateInstance(CLSID_MergeModule2, nullptr, CLSCTX_INPROC_SERVER, IID_IMergeModule2,
                                    module.PutVoid())) ||
            FAILED(module->Open(path.get())))
            return {};
        QueryPerformanceCounter(&end);
        times.push_back(1000.0 * static_cast<double>(end.QuadPart - begin.QuadPart) / frequency.QuadPart);
    }
    return times;
}

// One apartment opens a module file while another builds the first catalog over a large corpus.
int OpenDuringScan(const std::wstring& corpus, const std::wstring& file) {
    SetEnvironmentVariableW(L"CVAPPSERVICES_INI", (corpus + L"\\AppServices.ini").c_str());
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    std::vector<double> alone = TimeOpens(file, nullptr, 20);
    std::atomic<bool> scanning{true};
    double scanMs = 0;
    std::thread scanner([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ULONGLONG begin = GetTickCount64();
        {
            ComPtr<IMMCatalog2> catalog;
            CoCreateInstance(CLSID_MMCatalog, nullptr, CLSCTX_INPROC_SERVER, IID_IMMCatalog2, catalog.PutVoid());
        }
        scanMs = static_cast<double>(GetTickCount64() - begin);
        scanning = false;
        CoUninitialize();
    });
    std::vector<double> during = TimeOpens(file, &scanning, 0);
    scanner.join();
    CoUninitialize();
    double a = Median(alone), b = Median(during);
    printf("open alone: median %.2f ms of %zu; during a %.0f ms first scan: median %.2f ms of %zu = %.2fx\n", a,
           alone.size(), scanMs, b, during.size(), a ? b / a : 0.0);
    return alone.empty() || during.empty() ? 1 : 0;
}

int Throughput(const std::wstring& corpus, const std::wstring& extras, int threads, int seconds, int runs) {
    std::vector<double> concurrent, serialised;
    DWORD limit = static_cast<DWORD>(seconds) * 1000 + 60000;
    for (int r = 0; r < runs; ++r)
        for (bool serial : {false, true}) {
            std::string output;
            int code = Watch(RunArguments(corpus, extras, threads, seconds, serial ? L"serial" : L"still"), limit, output);
            if (code != 0) {
                printf("run failed (exit %d): %s", code, output.c_str());
                return 1;
            }
            (serial ? serialised : concurrent).push_back(static_cast<double>(Field(output, "loops")));
            printf("%s loops %zu\n", serial ? "serialised" : "concurrent", Field(output, "loops"));
            fflush(stdout);
        }
    double a = Median(concurrent), b = Median(serialised);
    printf("median loops: concurrent %.0f, serialised %.0f, ratio %.2fx\n", a, b, b ? a / b : 0.0);
    return 0;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 7 && wcscmp(argv[1], L"--run") == 0) {
        std::wstring mode = argv[6];
        return RunOnce(argv[2], argv[3], _wtoi(argv[4]), _wtoi(argv[5]), mode == L"changes", mode == L"serial");
    }
    if (argc == 4 && wcscmp(argv[1], L"--open-during-scan") == 0) return OpenDuringScan(argv[2], argv[3]);
    if (argc == 7 && wcscmp(argv[1], L"--throughput") == 0)
        return Throughput(argv[2], argv[3], _wtoi(argv[4]), _wtoi(argv[5]), _wtoi(argv[6]));
    if (argc < 6) {
        fwprintf(stderr, L"usage: thread_campaign CORPUS EXTRAS THREADS SECONDS RUNS [--no-changes]\n"
                         L"       thread_campaign --throughput CORPUS EXTRAS THREADS SECONDS RUNS\n");
        return 2;
    }
    bool changes = !(argc > 6 && wcscmp(argv[6], L"--no-changes") == 0);
    return Supervise(argv[1], argv[2], _wtoi(argv[3]), _wtoi(argv[4]), _wtoi(argv[5]), changes);
}
