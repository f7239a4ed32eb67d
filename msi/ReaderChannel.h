// One reader process and the pipe to it: starts it on first need, sends requests, takes replies,
// and tells how far the process got, so that a process that died or stalled can be replaced and
// the file it was reading told apart.
#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "base/Handles.h"
#include "base/stringx.h"

class ReaderChannel {
public:
    enum class Outcome { Answered, Died, TimedOut, NotStarted };

    ReaderChannel(const _stringx& executable, DWORD timeoutMilliseconds)
        : executable_(executable), timeout_(timeoutMilliseconds) {}
    // Leaves a running reader to end by itself, which it does when its pipe closes.
    ~ReaderChannel() = default;
    ReaderChannel(const ReaderChannel&) = delete;
    ReaderChannel& operator=(const ReaderChannel&) = delete;

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
