#include "msi/ReaderProcess.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include "base/FileStamp.h"

// Off only in the benchmark build, which compares the guarded reads with plain ones.
bool g_moduleReadGuard = true;

namespace {
constexpr DWORD kStartTimeoutMilliseconds = 30000;  // a cold start of the platform can be slow
constexpr uint32_t kLargestReply = 256u << 20;
constexpr ULONGLONG kProgressLook = 1000;

std::atomic<DWORD> g_readerTimeout{kReaderTimeoutMilliseconds};
std::atomic<size_t> g_mostReaders{0};
}  // namespace

bool ReaderProcess::Start() {
    Stop();
    static LONG counter = 0;
    _stringx name = _stringx::Formatted(L"\\\\.\\pipe\\CvModuleReader-%lu-%llu-%ld", GetCurrentProcessId(),
                                        GetTickCount64(), InterlockedIncrement(&counter));
    // One instance only, made by us: nobody else can stand in for the reader.
    pipe_.reset(CreateNamedPipeW(name.c_str(),
                                 PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                 1 << 16, 1 << 16, 0, nullptr));
    event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    _stringx sectionName = _stringx::Formatted(L"CvModuleReaderProgress-%lu-%llu-%ld", GetCurrentProcessId(),
                                               GetTickCount64(), InterlockedIncrement(&counter));
    section_.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(LONG), sectionName.c_str()));
    if (section_ && GetLastError() == ERROR_ALREADY_EXISTS) section_.reset();
    if (section_) progress_.reset(MapViewOfFile(section_.get(), FILE_MAP_READ, 0, 0, sizeof(LONG)));
    if (!pipe_ || !event_ || !progress_) {
        Stop();
        return false;
    }

    _stringx commandLine = L"\"" + executable_ + L"\" " + name + L" " + sectionName;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::wstring mutableLine = commandLine.str();
    if (!CreateProcessW(executable_.c_str(), &mutableLine[0], nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW | CREATE_DEFAULT_ERROR_MODE, nullptr, nullptr, &startup, &info)) {
        Stop();
        return false;
    }
    CloseHandle(info.hThread);
    process_.reset(info.hProcess);

    OVERLAPPED overlapped{};
    overlapped.hEvent = event_.get();
    ResetEvent(event_.get());
    if (!ConnectNamedPipe(pipe_.get(), &overlapped)) {
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            HANDLE waits[2] = {event_.get(), process_.get()};
            DWORD woken = WaitForMultipleObjects(2, waits, FALSE, kStartTimeoutMilliseconds);
            DWORD unused = 0;
            if (woken != WAIT_OBJECT_0 || !GetOverlappedResult(pipe_.get(), &overlapped, &unused, FALSE)) {
                CancelIo(pipe_.get());
                GetOverlappedResult(pipe_.get(), &overlapped, &unused, TRUE);
                Stop();
                return false;
            }
        } else if (error != ERROR_PIPE_CONNECTED) {
            Stop();
            return false;
        }
    }
    return true;
}

void ReaderProcess::Stop() {
    if (process_) {
        TerminateProcess(process_.get(), 1);
        WaitForSingleObject(process_.get(), 5000);
    }
    process_.reset();
    pipe_.reset();
    event_.reset();
    progress_.reset();
    section_.reset();
    sent_ = seen_ = 0;
    received_.clear();
}

bool ReaderProcess::Progressed() {
    size_t begun = Begun();
    if (begun == seen_) return false;
    seen_ = begun;
    return true;
}

// One overlapped read or write of at most `size` bytes; `done` is at least one when it succeeds.
bool ReaderProcess::Move(bool write, char* data, DWORD size, ULONGLONG& deadline, DWORD& done, Outcome& failure) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event_.get();
    ResetEvent(event_.get());
    done = 0;
    BOOL started = write ? WriteFile(pipe_.get(), data, size, nullptr, &overlapped)
                         : ReadFile(pipe_.get(), data, size, nullptr, &overlapped);
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        failure = Outcome::Died;
        return false;
    }
    HANDLE waits[2] = {event_.get(), process_.get()};
    DWORD woken;
    for (;;) {
        // A reader working through a long batch has time for each file it begins: its progress is
        // looked at every second, so a stall is seen within a second of the time allowed.
        ULONGLONG now = GetTickCount64();
        if (Progressed()) deadline = now + timeout_;
        if (now >= deadline) {
            woken = WAIT_TIMEOUT;
            break;
        }
        woken = WaitForMultipleObjects(2, waits, FALSE, static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, kProgressLook)));
        if (woken != WAIT_TIMEOUT) break;
    }
    if (woken == WAIT_TIMEOUT || woken == WAIT_FAILED) {
        CancelIo(pipe_.get());
        GetOverlappedResult(pipe_.get(), &overlapped, &done, TRUE);
        failure = Outcome::TimedOut;
        return false;
    }
    // A reader that ended has closed its end: what it wrote is still delivered, then the pipe
    // reports that it broke, so the wait below cannot block.
    if (!GetOverlappedResult(pipe_.get(), &overlapped, &done, TRUE) || done == 0) {
        failure = Outcome::Died;
        return false;
    }
    return true;
}

// Moves exactly `size` bytes, or reports why not.
bool ReaderProcess::Transfer(bool write, char* data, DWORD size, ULONGLONG& deadline, Outcome& failure) {
    for (DWORD done = 0; size > 0; data += done, size -= done)
        if (!Move(write, data, size, deadline, done, failure)) return false;
    return true;
}

ReaderProcess::Outcome ReaderProcess::Exchange(const std::string& request, std::string& reply) {
    Outcome sent = Send(request);
    return sent == Outcome::Answered ? Receive(reply) : sent;
}

ReaderProcess::Outcome ReaderProcess::Send(const std::string& request) { return SendAll({request}); }

ReaderProcess::Outcome ReaderProcess::SendAll(const std::vector<std::string>& requests) {
    if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0) Stop();
    if (!process_ && !Start()) return Outcome::NotStarted;
    ULONGLONG deadline = GetTickCount64() + timeout_;
    seen_ = Begun();
    Outcome failure = Outcome::Died;
    std::string message;
    for (const std::string& request : requests) {
        uint32_t length = static_cast<uint32_t>(request.size());
        message.append(reinterpret_cast<const char*>(&length), sizeof length);
        message += request;
    }
    if (!Transfer(true, &message[0], static_cast<DWORD>(message.size()), deadline, failure)) return failure;
    sent_ += requests.size();
    return Outcome::Answered;
}

bool ReaderProcess::Fill(ULONGLONG& deadline, Outcome& failure) {
    char chunk[1 << 16];
    DWORD done = 0;
    if (!Move(false, chunk, sizeof chunk, deadline, done, failure)) return false;
    received_.append(chunk, done);
    return true;
}

ReaderProcess::Outcome ReaderProcess::Receive(std::string& reply) {
    if (!process_) return Outcome::Died;
    ULONGLONG deadline = GetTickCount64() + timeout_;
    seen_ = Begun();
    Outcome failure = Outcome::Died;
    uint32_t length = 0;
    for (;;) {
        if (received_.size() >= sizeof length) {
            memcpy(&length, received_.data(), sizeof length);
            if (length > kLargestReply) return Outcome::Died;
            if (received_.size() >= sizeof length + length) break;
        }
        if (!Fill(deadline, failure)) return failure;
    }
    reply.assign(received_, sizeof length, length);
    received_.erase(0, sizeof length + length);
    return Outcome::Answered;
}

void SetReaderTimeout(DWORD milliseconds) { g_readerTimeout = milliseconds ? milliseconds : kReaderTimeoutMilliseconds; }
DWORD ReaderTimeout() { return g_readerTimeout; }
void SetMostReaders(size_t readers) { g_mostReaders = readers; }

_stringx ReaderExecutablePath() {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ReaderExecutablePath), &self);
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(self, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) return _stringx();
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    size_t slash = path.rfind(L'\\');
    return _stringx(path.substr(0, slash == std::wstring::npos ? 0 : slash + 1)) + L"CvModuleReader.exe";
}

namespace {
// Requests sent ahead of their replies: the reader works through them without waiting for us.
constexpr size_t kInFlight = 16;

// The readers of the process and what they found unreadable; one call (single or batch) at a time.
struct ReaderPool {
    std::mutex calls;
    std::mutex unreadableLock;
    std::map<_stringx, FileStamp> unreadable;
    std::vector<std::unique_ptr<ReaderProcess>> readers;
    _stringx executable;
    bool located = false;

    // False when there is no reader beside this binary: reads are then done here.
    bool Ensure(size_t count) {
        if (!located) {
            located = true;
            executable = ReaderExecutablePath();
            if (!executable.empty() && GetFileAttributesW(executable.c_str()) == INVALID_FILE_ATTRIBUTES)
                executable.clear();
        }
        if (executable.empty()) return false;
        while (readers.size() < count) readers.push_back(std::make_unique<ReaderProcess>(executable, ReaderTimeout()));
        for (auto& reader : readers) reader->SetTimeout(ReaderTimeout());
        return true;
    }

    bool KnownUnreadable(const _stringx& path) {
        std::lock_guard<std::mutex> hold(unreadableLock);
        auto known = unreadable.find(path);
        if (known == unreadable.end()) return false;
        if (FileStamp::Of(path.c_str()).SameAs(known->second)) return true;
        unreadable.erase(known);
        return false;
    }

    void NoteUnreadable(const _stringx& path, const FileStamp& stamp) {
        std::lock_guard<std::mutex> hold(unreadableLock);
        unreadable[path] = stamp;
    }

    // Reads the files at `positions`, up to kInFlight requests ahead of the replies. When the reader
    // dies or stalls, the file it was reading is read again alone under the single-file rules (its
    // first try spent), and the files it had read without sending their replies are asked again.
    void ReadMany(ReaderProcess* reader, ModuleRead what, const std::vector<_stringx>& paths,
                  const std::vector<size_t>& positions, std::vector<ModuleReadResult>& results) {
        std::vector<bool> settled(positions.size());
        size_t next = 0;
        while (next < positions.size()) {
            if (settled[next]) {
                ++next;
                continue;
            }
            if (!reader) {
                for (; next < positions.size(); ++next)
                    if (!settled[next]) results[positions[next]] = Read(nullptr, what, paths[positions[next]], {});
                return;
            }
            std::vector<size_t> flight;
            std::vector<std::string> requests;
            for (size_t at = next; at < positions.size() && flight.size() < kInFlight; ++at) {
                if (settled[at]) continue;
                const _stringx& path = paths[positions[at]];
                if (KnownUnreadable(path)) {
                    results[positions[at]].Unsafe = true;
                    settled[at] = true;
                    continue;
                }
                requests.emplace_back();
                EncodeRequest(what, path, _stringx(), requests.back());
                flight.push_back(at);
            }
            if (flight.empty()) continue;
            ReaderProcess::Outcome sent = reader->SendAll(requests);
            if (sent == ReaderProcess::Outcome::NotStarted) {
                reader = nullptr;
                continue;
            }
            if (sent != ReaderProcess::Outcome::Answered) {
                // A request may be half written: nothing more can be trusted from this reader, and
                // the single-file rules take the next file.
                reader->Stop();
                results[positions[flight[0]]] = Read(reader, what, paths[positions[flight[0]]], {});
                settled[flight[0]] = true;
                continue;
            }
            size_t first = reader->Sent() - flight.size();
            for (size_t k = 0; k < flight.size(); ++k) {
                size_t at = flight[k];
                ModuleReadResult& result = results[positions[at]];
                std::string reply;
                ReaderProcess::Outcome received = reader->Receive(reply);
                if (received == ReaderProcess::Outcome::Answered && DecodeResult(reply, result) &&
                    result.Path == paths[positions[at]]) {
                    settled[at] = true;
                    if (!result.InstallerFailed) continue;
                    // The reader is given up; what it still owes is asked again.
                    reader->Stop();
                    break;
                }
                result = ModuleReadResult();
                // A reader that died or stalled was ended by the request it had begun last; a whole
                // reply that does not answer its request blames that request, whatever the reader
                // has begun since. When it cannot be told, the one whose reply is missing.
                size_t begun = reader->Begun();
                bool told = received != ReaderProcess::Outcome::Answered && begun > first + k &&
                            begun <= first + flight.size();
                size_t culprit = told ? flight[begun - 1 - first] : at;
                reader->Stop();
                results[positions[culprit]] = Read(reader, what, paths[positions[culprit]], {}, 1);
                settled[culprit] = true;
                break;
            }
        }
    }

    ModuleReadResult Read(ReaderProcess* reader, ModuleRead what, const _stringx& path, const _stringx& argument,
                          int attempts = 2) {
        ModuleReadResult result;
        if (KnownUnreadable(path)) {
            result.Unsafe = true;
            return result;
        }
        // Stamped before the read: a file changed meanwhile is tried afresh next time.
        const FileStamp stamp = FileStamp::Of(path.c_str());
        if (!reader) {
            // A copy of the server without its reader: read here, after the structural check.
            PerformModuleRead(what, path, argument, result);
            return result;
        }
        std::string request, reply;
        EncodeRequest(what, path, argument, request);
        // A reader that died may have been damaged by an earlier file, so a fresh one tries again.
        for (int attempt = 0; attempt < attempts; ++attempt) {
            switch (reader->Exchange(request, reply)) {
            case ReaderProcess::Outcome::Answered:
                if (DecodeResult(reply, result) && result.Path == path) {
                    if (result.InstallerFailed) reader->Stop();
                    return result;
                }
                result = ModuleReadResult();
                reader->Stop();
                break;
            case ReaderProcess::Outcome::NotStarted:
                PerformModuleRead(what, path, argument, result);
                return result;
            case ReaderProcess::Outcome::Died:
            case ReaderProcess::Outcome::TimedOut:
                reader->Stop();
                break;
            }
        }
        OutputDebugStringW((L"Module file cannot be read safely: " + path + L"\n").c_str());
        if (stamp.present) NoteUnreadable(path, stamp);
        result = ModuleReadResult();
        result.Unsafe = true;
        return result;
    }
};

ReaderPool& Pool() {
    static ReaderPool pool;
    return pool;
}

// Several readers only for batches worth a process start each (once: readers are kept).
constexpr size_t kParallelFrom = 8;
constexpr size_t kMostReaders = 4;
// A reader waits on the file system about as long as it computes: two share a processor well.
constexpr size_t kReadersPerProcessor = 2;

size_t ReadersFor(size_t files) {
    if (files < kParallelFrom) return 1;
    size_t most = g_mostReaders;
    if (most == 0) {
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        most = std::min<size_t>(kMostReaders, kReadersPerProcessor * system.dwNumberOfProcessors);
    }
    return std::max<size_t>(1, std::min(most, files / kParallelFrom));
}
}  // namespace

ModuleReadResult ReadModuleGuarded(ModuleRead what, const _stringx& path, const _stringx& argument) {
    if (!g_moduleReadGuard) {
        ModuleReadResult result;
        PerformModuleRead(what, path, argument, result, false);
        return result;
    }
    ReaderPool& pool = Pool();
    std::lock_guard<std::mutex> hold(pool.calls);
    return pool.Read(pool.Ensure(1) ? pool.readers[0].get() : nullptr, what, path, argument);
}

std::vector<ModuleReadResult> ReadModulesGuarded(ModuleRead what, const std::vector<_stringx>& paths) {
    std::vector<ModuleReadResult> results(paths.size());
    if (!g_moduleReadGuard) {
        for (size_t i = 0; i < paths.size(); ++i) PerformModuleRead(what, paths[i], _stringx(), results[i], false);
        return results;
    }
    ReaderPool& pool = Pool();
    std::lock_guard<std::mutex> hold(pool.calls);
    size_t workers = ReadersFor(paths.size());
    bool guarded = pool.Ensure(workers);
    if (!guarded) workers = 1;
    // The readers take the files a few at a time as they get free, so that one large module does
    // not hold up the files queued behind it; the results land in the order of the paths.
    size_t chunk = std::max<size_t>(1, std::min(kInFlight, paths.size() / (workers * 4)));
    std::atomic<size_t> claimed{0};
    auto work = [&](ReaderProcess* reader) {
        std::vector<size_t> positions;
        for (;;) {
            size_t first = claimed.fetch_add(chunk);
            if (first >= paths.size()) return;
            positions.clear();
            for (size_t i = first; i < std::min(paths.size(), first + chunk); ++i) positions.push_back(i);
            try {
                pool.ReadMany(reader, what, paths, positions, results);
            } catch (const std::bad_alloc&) {
                for (size_t i : positions)
                    if (results[i].Header.ModuleId.empty() && !results[i].Unsafe) results[i].Failure.Error = E_OUTOFMEMORY;
            }
        }
    };
    // Threads only for the length of this call: each waits on a reader process of its own.
    std::vector<std::thread> helpers;
    for (size_t k = 1; k < workers; ++k) helpers.emplace_back(work, pool.readers[k].get());
    work(guarded ? pool.readers[0].get() : nullptr);
    for (std::thread& helper : helpers) helper.join();
    return results;
}

void ReadModulesGuarded(ModuleRead what, const std::vector<_stringx>& paths,
                        const std::function<void(size_t, ModuleReadResult&)>& take) {
    // Large enough to keep every reader busy, small enough that results do not pile up.
    constexpr size_t kBatch = 256;
    for (size_t first = 0; first < paths.size(); first += kBatch) {
        std::vector<_stringx> batch(paths.begin() + first, paths.begin() + std::min(paths.size(), first + kBatch));
        std::vector<ModuleReadResult> results = ReadModulesGuarded(what, batch);
        for (size_t i = 0; i < results.size(); ++i) take(first + i, results[i]);
    }
}
