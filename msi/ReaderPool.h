// Module files are read in a separate reader process: a damaged file can make the installer
// library fault or loop forever, and in that process it takes only the reader down. The caller
// waits a limited time, starts a fresh reader when one dies, and treats a file that kills or
// stalls two readers in a row as one that cannot be read.
#pragma once
#include <windows.h>
#include <functional>
#include <vector>
#include "msi/ModuleData.h"

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
// Off: every read is done here without the container check (only the benchmark compares so).
void SetReadGuard(bool on);
// The time allowed without progress, kReaderTimeoutMilliseconds unless set (0 restores it).
void SetReaderTimeout(DWORD milliseconds);
DWORD ReaderTimeout();
// The most readers a batch may use; 0 (the default) chooses by the number of processors.
void SetMostReaders(size_t readers);
