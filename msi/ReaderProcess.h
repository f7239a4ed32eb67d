// Module files are read in a separate reader process: a damaged file can make the installer
// library fault or loop forever, and in that process it takes only the reader down. The caller
// waits a limited time, starts a fresh reader when one dies, and treats a file that kills or
// stalls two readers in a row as one that cannot be read.
#pragma once
#include <windows.h>
#include <functional>
#include <string>
#include <vector>
#include "msi/ModuleData.h"
#include "base/Handles.h"

class ReaderProcess {
public:
    enum class Outcome { Answered, Died, TimedOut, NotStarted };

    ReaderProcess(const _stringx& executable, DWORD timeoutMilliseconds)
        : executable_(executable), timeout_(timeoutMilliseconds) {}
    // Leaves a running reader to end by itself, which it does when its pipe closes.
    ~ReaderProcess() = default;
    ReaderProcess(const ReaderProcess&) = delete;
    ReaderProcess& operator=(const ReaderProcess&) = delete;

    // Sends one request and waits for its reply, starting the process first when none runs.
    Outcome Exchange(const std::string& request, std::string& reply);
    // The two halves, for several requests in flight: the reader answers them in order.
    Outcome Send(const std::string& request);
    Outcome Receive(std::string& reply);
    // Several requests in one write: each is framed as Send frames it.
    Outcome SendAll(const std::vector<std::string>& requests);
    // Takes effect from the next wait.
    void SetTimeout(DWORD milliseconds) { timeout_ = milliseconds; }
    // Ends the process (if any); the next exchange starts a new one.
    void Stop();
    bool Running() const { return static_cast<bool>(process_); }
    // Requests sent to the running process, and how many of them it has begun to read: after it
    // died or stalled, request number Begun() - 1 is the one it was reading.
    size_t Sent() const { return sent_; }
    size_t Begun() const { return progress_ ? static_cast<size_t>(*static_cast<volatile LONG*>(progress_.get())) : 0; }

private:
    bool Start();
    bool Move(bool write, char* data, DWORD size, ULONGLONG& deadline, DWORD& done, Outcome& failure);
    bool Transfer(bool write, char* data, DWORD size, ULONGLONG& deadline, Outcome& failure);
    // Appends whatever the reader has written (at least one byte) to received_.
    bool Fill(ULONGLONG& deadline, Outcome& failure);
    // True when the reader has begun another request since the last look: it is not stalled.
    bool Progressed();

    _stringx executable_;
    DWORD timeout_;
    unique_handle process_;
    unique_file pipe_;
    unique_handle event_;
    unique_handle section_;
    unique_view progress_;
    size_t sent_ = 0;
    size_t seen_ = 0;
    std::string received_;  // replies read ahead of their turn
};

// The reader process's executable: beside the binary that holds this code.
_stringx ReaderExecutablePath();

// One read of a module file, through the reader process when there is one, else in this process.
// A file that cannot be read safely comes back marked unsafe and is remembered as such until its
// size or time changes.
ModuleReadResult ReadModuleGuarded(ModuleRead what, const _stringx& path, const _stringx& argument = _stringx());

// The same read of many files, several at once; the results in the order of the paths.
std::vector<ModuleReadResult> ReadModulesGuarded(ModuleRead what, const std::vector<_stringx>& paths);
// The same, a batch at a time, each result handed to `take` with its path's position, in order:
// only one batch of results is held at once.
void ReadModulesGuarded(ModuleRead what, const std::vector<_stringx>& paths,
                        const std::function<void(size_t, ModuleReadResult&)>& take);

// How long the reader may go without beginning another request (or answering) before it is
// stopped and the file it was reading is tried once more.
constexpr DWORD kReaderTimeoutMilliseconds = 10000;

// Settings of the readers, for tests and tuning; each takes effect from the next read.
// The time allowed without progress, kReaderTimeoutMilliseconds unless set (0 restores it).
void SetReaderTimeout(DWORD milliseconds);
DWORD ReaderTimeout();
// The most readers a batch may use; 0 (the default) chooses by the number of processors.
void SetMostReaders(size_t readers);
