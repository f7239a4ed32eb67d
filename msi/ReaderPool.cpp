#include "msi/ReaderPool.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include "base/FileStamp.h"
#include "server/ApartmentWait.h"
#include "msi/ReaderChannel.h"
#include "msi/ReaderWire.h"

namespace {
// Requests sent ahead of their replies: the reader works through them without waiting for us.
constexpr size_t kInFlight = 16;

size_t ReadersFor(size_t files);

// The readers of the process, their settings and what they found unreadable. Every apartment's calls
// share them: a call takes the free readers it can use (making one when fewer than the most are
// made), waits only when none is free, and gives them back when done; no lock is held while a
// reader reads or a caller waits.
struct ReaderPool {
    std::atomic<bool> guard{true};
    std::atomic<DWORD> timeout{kReaderTimeoutMilliseconds};
    std::atomic<size_t> mostReaders{0};  // 0: by the number of processors

    std::mutex lock;  // guards what follows up to the unreadable files
    std::vector<std::unique_ptr<ReaderChannel>> idle;
    size_t made = 0;
    size_t heldByBatches = 0;  // batches leave one reader to single reads, so an open never waits for a scan
    std::vector<HANDLE> waiters;  // set, each, when readers come back
    _stringx executable;
    bool located = false;
    // Reads in this process (no reader beside the binary) one at a time.
    std::mutex inProcess;

    std::mutex unreadableLock;
    std::map<_stringx, FileStamp> unreadable;

    // Readers for a call that could use `wanted` of them: at least one, waiting for it when every
    // reader is busy. None when there is no reader beside this binary: reads are then done here.
    std::vector<std::unique_ptr<ReaderChannel>> Take(size_t wanted, bool batch) {
        std::vector<std::unique_ptr<ReaderChannel>> taken;
        unique_handle freed;
        for (;;) {
            {
                std::lock_guard<std::mutex> hold(lock);
                if (!Located()) return taken;
                size_t most = std::max<size_t>(ReadersFor(SIZE_MAX), wanted);
                size_t allowed = wanted;
                if (batch) {
                    size_t quota = std::max<size_t>(1, most - 1);
                    allowed = std::min(wanted, quota > heldByBatches ? quota - heldByBatches : 0);
                }
                while (taken.size() < allowed && !idle.empty()) {
                    taken.push_back(std::move(idle.back()));
                    idle.pop_back();
                }
                for (; taken.size() < allowed && made < most; ++made)
                    taken.push_back(std::make_unique<ReaderChannel>(executable, timeout));
                if (batch) heldByBatches += taken.size();
                if (taken.empty()) {
                    if (!freed) freed.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
                    if (!freed) throw std::bad_alloc();
                    waiters.push_back(freed.get());
                }
            }
            if (!taken.empty()) break;
            WaitInServer(freed.get());
        }
        for (auto& reader : taken) reader->SetTimeout(timeout);
        return taken;
    }

    void Give(std::vector<std::unique_ptr<ReaderChannel>>& readers, bool batch) {
        if (readers.empty()) return;
        std::lock_guard<std::mutex> hold(lock);
        if (batch) heldByBatches -= readers.size();
        for (auto& reader : readers) idle.push_back(std::move(reader));
        readers.clear();
        for (HANDLE waiter : waiters) SetEvent(waiter);
        waiters.clear();
    }

    bool Located() {
        if (!located) {
            located = true;
            executable = ReaderExecutablePath();
            if (!executable.empty() && GetFileAttributesW(executable.c_str()) == INVALID_FILE_ATTRIBUTES)
                executable.clear();
        }
        return !executable.empty();
    }

    bool KnownUnreadable(const _stringx& path) {
        std::lock_guard<std::mutex> hold(unreadableLock);
        auto known = unreadable.find(path);
        if (known == unreadable.end()) return false;
        if (FileStamp::Of(path.c_str()).SameAs(known->second)) return true;
        unreadable.erase(known);
        return false;
    }

    // A reply is taken when it decodes whole and answers for the file asked; a read during which
    // the installer failed gives its reader up, so that the next file meets a fresh one.
    static bool TakeReply(ReaderChannel& reader, const std::string& reply, const _stringx& path,
                          ModuleReadResult& result) {
        if (!DecodeResult(reply, result) || result.Path != path) {
            result = ModuleReadResult();
            return false;
        }
        if (result.InstallerFailed && !result.InUse) reader.Stop();
        return true;
    }

    void NoteUnreadable(const _stringx& path, const FileStamp& stamp) {
        std::lock_guard<std::mutex> hold(unreadableLock);
        unreadable[path] = stamp;
    }

    // Reads the files at `positions`, up to kInFlight requests ahead of the replies. When the reader
    // dies or stalls, the file it was reading is read again alone under the single-file rules (its
    // first try spent), and the files it had read without sending their replies are asked again.
    void ReadMany(ReaderChannel* reader, ModuleRead what, const std::vector<_stringx>& paths,
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
            ReaderChannel::Outcome sent = reader->SendAll(requests);
            if (sent == ReaderChannel::Outcome::NotStarted) {
                reader = nullptr;
                continue;
            }
            if (sent != ReaderChannel::Outcome::Answered) {
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
                ReaderChannel::Outcome received = reader->Receive(reply);
                if (received == ReaderChannel::Outcome::Answered && TakeReply(*reader, reply, paths[positions[at]], result)) {
                    settled[at] = true;
                    // A reader given up still owes the rest: they are asked again.
                    if (reader->Running()) continue;
                    break;
                }
                // A reader that died or stalled was ended by the request it had begun last; a whole
                // reply that does not answer its request blames that request, whatever the reader
                // has begun since. When it cannot be told, the one whose reply is missing.
                size_t begun = reader->Begun();
                bool told = received != ReaderChannel::Outcome::Answered && begun > first + k &&
                            begun <= first + flight.size();
                size_t culprit = told ? flight[begun - 1 - first] : at;
                reader->Stop();
                results[positions[culprit]] = Read(reader, what, paths[positions[culprit]], {}, 1);
                settled[culprit] = true;
                break;
            }
        }
    }

    ModuleReadResult Read(ReaderChannel* reader, ModuleRead what, const _stringx& path, const _stringx& argument,
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
            std::lock_guard<std::mutex> hold(inProcess);
            PerformModuleRead(what, path, argument, result);
            return result;
        }
        std::string request, reply;
        EncodeRequest(what, path, argument, request);
        // A reader that died may have been damaged by an earlier file, so a fresh one tries again.
        for (int attempt = 0; attempt < attempts; ++attempt) {
            switch (reader->Exchange(request, reply)) {
            case ReaderChannel::Outcome::Answered:
                if (TakeReply(*reader, reply, path, result)) return result;
                reader->Stop();
                break;
            case ReaderChannel::Outcome::NotStarted: {
                std::lock_guard<std::mutex> hold(inProcess);
                PerformModuleRead(what, path, argument, result);
                return result;
            }
            case ReaderChannel::Outcome::Died:
            case ReaderChannel::Outcome::TimedOut:
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

// SIZE_MAX files: the most readers the process keeps.
size_t ReadersFor(size_t files) {
    if (files < kParallelFrom) return 1;
    size_t most = Pool().mostReaders;
    if (most == 0) {
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        most = std::min<size_t>(kMostReaders, kReadersPerProcessor * system.dwNumberOfProcessors);
    }
    return std::max<size_t>(1, std::min(most, files / kParallelFrom));
}

// The readers a call holds, given back however it ends.
struct Lent {
    ReaderPool& pool;
    bool batch;
    std::vector<std::unique_ptr<ReaderChannel>> readers;
    Lent(ReaderPool& from, size_t wanted, bool many) : pool(from), batch(many), readers(from.Take(wanted, many)) {}
    ~Lent() { pool.Give(readers, batch); }
};
}  // namespace

void SetReadGuard(bool on) { Pool().guard = on; }
void SetReaderTimeout(DWORD milliseconds) { Pool().timeout = milliseconds ? milliseconds : kReaderTimeoutMilliseconds; }
DWORD ReaderTimeout() { return Pool().timeout; }
void SetMostReaders(size_t readers) { Pool().mostReaders = readers; }

ModuleReadResult ReadModuleGuarded(ModuleRead what, const _stringx& path, const _stringx& argument) {
    if (!Pool().guard) {
        ModuleReadResult result;
        PerformModuleRead(what, path, argument, result, false);
        return result;
    }
    ReaderPool& pool = Pool();
    Lent lent(pool, 1, false);
    return pool.Read(lent.readers.empty() ? nullptr : lent.readers[0].get(), what, path, argument);
}

std::vector<ModuleReadResult> ReadModulesGuarded(ModuleRead what, const std::vector<_stringx>& paths) {
    std::vector<ModuleReadResult> results(paths.size());
    if (!Pool().guard) {
        for (size_t i = 0; i < paths.size(); ++i) PerformModuleRead(what, paths[i], _stringx(), results[i], false);
        return results;
    }
    ReaderPool& pool = Pool();
    Lent lent(pool, ReadersFor(paths.size()), true);
    bool guarded = !lent.readers.empty();
    size_t workers = guarded ? lent.readers.size() : 1;
    // The readers take the files a few at a time as they get free, so that one large module does
    // not hold up the files queued behind it; the results land in the order of the paths.
    size_t chunk = std::max<size_t>(1, std::min(kInFlight, paths.size() / (workers * 4)));
    std::atomic<size_t> claimed{0};
    auto work = [&](ReaderChannel* reader) {
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
    for (size_t k = 1; k < workers; ++k) helpers.emplace_back(work, lent.readers[k].get());
    work(guarded ? lent.readers[0].get() : nullptr);
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
