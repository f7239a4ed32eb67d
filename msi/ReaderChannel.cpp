#include "msi/ReaderChannel.h"

#include <algorithm>
#include "msi/ReaderWire.h"

namespace {
constexpr DWORD kStartTimeoutMilliseconds = 30000;  // a cold start of the platform can be slow
constexpr ULONGLONG kProgressLook = 1000;
}  // namespace

bool ReaderChannel::Start() {
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

void ReaderChannel::Stop() {
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

bool ReaderChannel::Progressed() {
    size_t begun = Begun();
    if (begun == seen_) return false;
    seen_ = begun;
    return true;
}

// One overlapped read or write of at most `size` bytes; `done` is at least one when it succeeds.
bool ReaderChannel::Move(bool write, char* data, DWORD size, ULONGLONG& deadline, DWORD& done, Outcome& failure) {
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
bool ReaderChannel::Transfer(bool write, char* data, DWORD size, ULONGLONG& deadline, Outcome& failure) {
    for (DWORD done = 0; size > 0; data += done, size -= done)
        if (!Move(write, data, size, deadline, done, failure)) return false;
    return true;
}

ReaderChannel::Outcome ReaderChannel::Exchange(const std::string& request, std::string& reply) {
    Outcome sent = Send(request);
    return sent == Outcome::Answered ? Receive(reply) : sent;
}

ReaderChannel::Outcome ReaderChannel::Send(const std::string& request) { return SendAll({request}); }

ReaderChannel::Outcome ReaderChannel::SendAll(const std::vector<std::string>& requests) {
    if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0) Stop();
    if (!process_ && !Start()) return Outcome::NotStarted;
    ULONGLONG deadline = GetTickCount64() + timeout_;
    seen_ = Begun();
    Outcome failure = Outcome::Died;
    std::string message;
    for (const std::string& request : requests)
        if (!AppendFrame(message, kLargestRequest, [&](std::string& out) { out += request; })) return Outcome::Died;
    if (!Transfer(true, &message[0], static_cast<DWORD>(message.size()), deadline, failure)) return failure;
    sent_ += requests.size();
    return Outcome::Answered;
}

bool ReaderChannel::Fill(ULONGLONG& deadline, Outcome& failure) {
    char chunk[1 << 16];
    DWORD done = 0;
    if (!Move(false, chunk, sizeof chunk, deadline, done, failure)) return false;
    received_.append(chunk, done);
    return true;
}

ReaderChannel::Outcome ReaderChannel::Receive(std::string& reply) {
    if (!process_) return Outcome::Died;
    ULONGLONG deadline = GetTickCount64() + timeout_;
    seen_ = Begun();
    Outcome failure = Outcome::Died;
    for (uint32_t length = 0;;) {
        switch (PeekFrame(received_, kLargestReply, length)) {
        case FrameState::Complete:
            TakeFrame(received_, length, reply);
            return Outcome::Answered;
        case FrameState::TooLarge:
            return Outcome::Died;
        case FrameState::Incomplete:
            if (!Fill(deadline, failure)) return failure;
            break;
        }
    }
}

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
