// Reads of module files go through a reader process that may fault or stall. This program lives in
// a folder of its own beside a reader built to fault on files named "fault-...", to stall once on
// files named "stall-once-...", to take a while over files named "slow-..." and to answer for
// another file on files named "misreply-...", so the whole policy runs for real: the caller
// survives, a file that kills two readers reads as a database that does not open and is not tried
// again until it changes, a stalled reader is stopped and the read tried once more, and good files
// read as ever.
#include <windows.h>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include "msi/CompoundFile.h"
#include "msi/ModuleEntry.h"
#include "msi/ReaderChannel.h"
#include "msi/ReaderPool.h"
#include "msi/SearchLocation.h"
#include "tests/support/Environment.h"
#include "tests/support/TestSupport.h"

namespace {

class ReaderGuard : public cvtest::ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        folder_ = cvtest::FreshScratchDir((L"reader-guard-" + std::wstring(test.begin(), test.end())).c_str());
        starts_ = ReaderExecutablePath() + L".starts";
        DeleteFileW(starts_.c_str());
    }
    void TearDown() override {
        SetReaderTimeout(0);
        SetMostReaders(0);
        ComTest::TearDown();
    }
    _stringx Copy(const wchar_t* fixture, const wchar_t* name) {
        _stringx path = JoinPath(folder_, name);
        EXPECT_TRUE(CopyFileW(cvtest::FixturePath(fixture).c_str(), path.c_str(), FALSE));
        return path;
    }
    size_t Starts() const { return cvtest::ReadBytes(starts_).size(); }
    // One reader for every batch, already running: the starts a batch costs are then its own.
    void OneRunningReader() {
        SetMostReaders(1);
        ASSERT_FALSE(ReadModuleGuarded(ModuleRead::Header, Copy(L"full.msm", L"primer.msm")).Unsafe);
    }
    // Copies of two fixtures in turn, each named from `pattern` and its position.
    std::vector<_stringx> Batch(size_t count, const wchar_t* pattern) {
        std::vector<_stringx> paths;
        for (size_t i = 0; i < count; ++i)
            paths.push_back(Copy(i % 2 ? L"multi-1031.msm" : L"signature-only.msm", _stringx::Formatted(pattern, static_cast<int>(i)).c_str()));
        return paths;
    }
    // Renames one file of a batch so that the test reader treats it as the name says.
    void Rename(std::vector<_stringx>& paths, size_t at, const wchar_t* name) {
        _stringx renamed = JoinPath(folder_, name);
        EXPECT_TRUE(MoveFileW(paths[at].c_str(), renamed.c_str()));
        paths[at] = renamed;
    }
    static _stringx ModuleIdAt(size_t i) {
        return i % 2 ? L"MultiLang.4E5F6071_8293_A4B5_C6D7_E8F90A1B2C3D" : L"SignatureOnly.1B2C3D4E_5F60_7182_93A4_B5C6D7E8F90A";
    }

    _stringx folder_, starts_;
};

TEST_F(ReaderGuard, AFaultingFileReadsAsUnopenedAndIsNotTriedAgainUntilItChanges) {
    _stringx good = Copy(L"full.msm", L"good.msm"), faulting = Copy(L"full.msm", L"fault-1.msm");
    ModuleEntry first;
    first.Load(good, L"");
    EXPECT_EQ(_stringx(L"FullModule.0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9:1033"), first.EntryKey());
    size_t before = Starts();

    ModuleEntry damaged;
    damaged.Load(faulting, L"");
    EXPECT_EQ(_stringx(L":0"), damaged.EntryKey());
    EXPECT_EQ(_stringx(), damaged.Subject()) << "no summary either";
    EXPECT_TRUE(damaged.Files().empty());
    EXPECT_TRUE(damaged.Dependencies().empty());
    _stringx path;
    try {
        damaged.ResolveModuleDirectory(L"MyDir", path);
        ADD_FAILURE() << "a module that does not open cannot resolve a folder";
    } catch (const CComException& error) {
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FUNCTION_FAILED), error.Error().Error());
        EXPECT_NE(_stringx::npos, error.Error().Description().find((L"MsiOpenDatabase(" + faulting + L")").c_str()));
    }
    EXPECT_EQ(before + 1, Starts()) << "one fresh reader tried again, then the file was given up";

    // Remembered: no reader dies for it again; a good file after it reads as ever.
    ModuleEntry again;
    again.Load(faulting, L"");
    EXPECT_EQ(_stringx(L":0"), again.EntryKey());
    ModuleEntry after;
    after.Load(good, L"");
    EXPECT_EQ(first.EntryKey(), after.EntryKey());
    EXPECT_EQ(first.Files().size(), after.Files().size());
    EXPECT_EQ(before + 2, Starts()) << "only the reader that replaced the dead one";

    // A changed file is tried afresh (and faults afresh).
    // A changed file is tried afresh (and faults afresh): a new time, then a new size at that time.
    FILETIME later{0x12345678, 0x01DB0000};
    {
        unique_file file(CreateFileW(faulting.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &later));
    }
    ModuleEntry changed;
    changed.Load(faulting, L"");
    EXPECT_EQ(before + 3, Starts()) << "the live reader faults, one fresh reader tries again";
    {
        unique_file file(CreateFileW(faulting.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        DWORD written = 0;
        ASSERT_NE(INVALID_SET_FILE_POINTER, SetFilePointer(file.get(), 0, nullptr, FILE_END));
        ASSERT_TRUE(WriteFile(file.get(), "", 1, &written, nullptr));
        ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &later));
    }
    ModuleEntry grown;
    grown.Load(faulting, L"");
    EXPECT_EQ(_stringx(L":0"), grown.EntryKey());
    EXPECT_EQ(before + 5, Starts()) << "a fresh reader faults, another tries again";
}

TEST_F(ReaderGuard, AStalledReaderIsStoppedAndTheReadTriedOnceMore) {
    SetReaderTimeout(1500);
    _stringx stalling = Copy(L"multi-1033.msm", L"stall-once-1.msm");
    ULONGLONG started = GetTickCount64();
    ModuleEntry entry;
    entry.Load(stalling, L"");
    ULONGLONG waited = GetTickCount64() - started;
    EXPECT_EQ(_stringx(L"MultiLang.4E5F6071_8293_A4B5_C6D7_E8F90A1B2C3D:1033"), entry.EntryKey());
    EXPECT_GE(waited, ReaderTimeout()) << "the reader had its whole time";
    EXPECT_LT(waited, kReaderTimeoutMilliseconds) << "and no more than the time set";
    EXPECT_EQ(1u, entry.Files().size());
}

// A server that dies while its reader is stuck in a read takes the reader with it: the pipe the
// reader would notice closes only when the read ends. The server is a child of this program.
TEST_F(ReaderGuard, AReaderStuckInAReadEndsWithItsServer) {
    _stringx stalling = Copy(L"multi-1033.msm", L"stall-once-server-dies.msm");
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\" --gtest_filter=ReaderGuardChild.ReadsUntilStopped";
    SetEnvironmentVariableW(L"CV_GUARD_CHILD", stalling.c_str());
    STARTUPINFOW startup{sizeof(startup)};
    PROCESS_INFORMATION started{};
    BOOL made = cvtest::StartProcess(line, FALSE, CREATE_NO_WINDOW, nullptr, startup, started);
    SetEnvironmentVariableW(L"CV_GUARD_CHILD", nullptr);
    ASSERT_TRUE(made);
    unique_handle host(started.hProcess), thread(started.hThread);
    // The reader leaves a mark beside the file as it begins to stall.
    _stringx mark = stalling + L".stalled";
    for (ULONGLONG limit = GetTickCount64() + 60000; GetTickCount64() < limit;)
        if (GetFileAttributesW(mark.c_str()) != INVALID_FILE_ATTRIBUTES || WaitForSingleObject(host.get(), 20) != WAIT_TIMEOUT)
            break;
    std::vector<DWORD> readers = cvtest::ChildrenNamed(started.dwProcessId, L"CvModuleReader.exe");
    unique_handle reader(readers.empty() ? nullptr : OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, readers[0]));
    TerminateProcess(host.get(), 9);
    ASSERT_TRUE(reader) << "the server ended before its reader stalled";
    bool ended = WaitForSingleObject(reader.get(), 5000) == WAIT_OBJECT_0;
    if (!ended) TerminateProcess(reader.get(), 9);
    EXPECT_TRUE(ended) << "the reader outlived its server";
}

TEST_F(ReaderGuard, ABatchLongerThanTheStallLimitIsNotCutShort) {
    // Each file begins well within the limit, but eight of them (a write of replies) take longer
    // than it: only the reader's progress keeps it alive.
    OneRunningReader();
    SetReaderTimeout(1000);
    std::vector<_stringx> paths = Batch(32, L"slow-%02d.msm");
    size_t before = Starts();
    std::vector<ModuleReadResult> read = ReadModulesGuarded(ModuleRead::Header, paths);
    ASSERT_EQ(paths.size(), read.size());
    for (size_t i = 0; i < read.size(); ++i) {
        EXPECT_FALSE(read[i].Unsafe) << i;
        EXPECT_EQ(ModuleIdAt(i), read[i].Header.ModuleId) << i;
    }
    EXPECT_EQ(before, Starts()) << "the reader was never given up";
}

TEST_F(ReaderGuard, ManyFilesAtOnceKeepTheirOrderWhateverFails) {
    // One reader, already running, so that the count of starts is the batch's own whatever the
    // processors and timing: the reader dies on the faulting file with replies of earlier files
    // still unsent; only the faulting file is blamed and tried alone, in a fresh reader that dies
    // too, then another fresh reader asks again for those replies and takes the rest.
    OneRunningReader();
    std::vector<_stringx> paths = Batch(40, L"m%02d.msm");
    Rename(paths, 17, L"fault-17.msm");
    paths.push_back(JoinPath(folder_, L"vanished.msm"));
    for (size_t known : {2, 0}) {
        SCOPED_TRACE(known ? "first" : "the faulting file known");
        size_t before = Starts();
        std::vector<ModuleReadResult> read = ReadModulesGuarded(ModuleRead::Header, paths);
        ASSERT_EQ(paths.size(), read.size());
        EXPECT_EQ(before + known, Starts());
        for (size_t i = 0; i < 40; ++i) {
            EXPECT_EQ(i == 17, read[i].Unsafe) << i;
            EXPECT_EQ(i == 17 ? _stringx() : ModuleIdAt(i), read[i].Header.ModuleId) << i;
        }
        EXPECT_TRUE(read.back().Unsafe) << "a file that is not there is no sound container";
    }
}

TEST_F(ReaderGuard, AReplyForAnotherFileIsRefusedAndBlamesItsOwnRequest) {
    OneRunningReader();
    std::vector<_stringx> paths = Batch(12, L"m%02d.msm");
    Rename(paths, 4, L"misreply-4.msm");
    size_t before = Starts();
    std::vector<ModuleReadResult> read = ReadModulesGuarded(ModuleRead::Header, paths);
    // The confused reader is given up; the file is tried alone in a fresh one (which answers
    // wrongly again) and the rest in another.
    EXPECT_EQ(before + 2, Starts());
    for (size_t i = 0; i < paths.size(); ++i) {
        EXPECT_EQ(i == 4, read[i].Unsafe) << i;
        EXPECT_EQ(i == 4 ? _stringx() : ModuleIdAt(i), read[i].Header.ModuleId) << i;
    }
    ModuleEntry alone;
    alone.Load(Copy(L"full.msm", L"misreply-alone.msm"), L"");
    EXPECT_EQ(_stringx(L":0"), alone.EntryKey());
}

TEST_F(ReaderGuard, AFileTheInstallerCannotOpenGivesUpItsReader) {
    // A sound container that is no installer database: its class is not the database's.
    std::string bytes = cvtest::ReadBytes(cvtest::FixturePath(L"full.msm"));
    uint32_t directory;
    memcpy(&directory, &bytes[0x30], 4);
    memset(&bytes[(directory + 1) * 512 + 0x50], 0, 16);
    ASSERT_TRUE(IsSoundCompoundImage(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    OneRunningReader();
    std::vector<_stringx> paths = Batch(12, L"m%02d.msm");
    paths[4] = JoinPath(folder_, L"foreign-4.msm");
    cvtest::WriteText(paths[4], bytes);

    size_t before = Starts();
    ModuleReadResult alone = ReadModuleGuarded(ModuleRead::Header, paths[4]);
    EXPECT_TRUE(alone.InstallerFailed);
    EXPECT_FALSE(alone.Unsafe);
    EXPECT_EQ(before, Starts());
    std::vector<ModuleReadResult> read = ReadModulesGuarded(ModuleRead::Header, paths);
    EXPECT_EQ(before + 2, Starts()) << "the batch begins in a fresh reader, and the rest after the failure in another";
    for (size_t i = 0; i < paths.size(); ++i) {
        EXPECT_EQ(i == 4, read[i].InstallerFailed) << i;
        EXPECT_FALSE(read[i].Unsafe) << i;
        EXPECT_EQ(i == 4 ? _stringx() : ModuleIdAt(i), read[i].Header.ModuleId) << i;
    }
}

TEST_F(ReaderGuard, AReaderThatCannotStartAgainLeavesTheReadsToThisProcess) {
    OneRunningReader();
    std::vector<_stringx> paths = Batch(12, L"m%02d.msm");
    Rename(paths, 4, L"fault-4.msm");
    // The running reader goes on; none can start after it.
    _stringx reader = ReaderExecutablePath(), away = reader + L".away";
    ASSERT_TRUE(MoveFileW(reader.c_str(), away.c_str()));
    struct Back {
        _stringx from, to;
        ~Back() { MoveFileW(from.c_str(), to.c_str()); }
    } back{away, reader};
    size_t before = Starts();
    std::vector<ModuleReadResult> read = ReadModulesGuarded(ModuleRead::Header, paths);
    for (size_t i = 0; i < paths.size(); ++i) {
        EXPECT_FALSE(read[i].Unsafe) << i << ": read here, where it does not fault";
        EXPECT_EQ(ModuleIdAt(i), read[i].Header.ModuleId) << i;
    }
    EXPECT_FALSE(ReadModuleGuarded(ModuleRead::Header, paths[0]).Unsafe);
    EXPECT_EQ(before, Starts());
}

TEST_F(ReaderGuard, MoreModulesThanABatchEachComeUnderTheirOwnPath) {
    std::vector<_stringx> paths = Batch(300, L"m%03d.msm");
    std::vector<bool> taken(paths.size());
    ReadModulesGuarded(ModuleRead::Header, paths, [&](size_t i, ModuleReadResult& read) {
        ASSERT_LT(i, paths.size());
        EXPECT_FALSE(taken[i]) << i;
        taken[i] = true;
        EXPECT_EQ(paths[i], read.Path) << i;
        EXPECT_EQ(ModuleIdAt(i), read.Header.ModuleId) << i;
    });
    EXPECT_EQ(std::vector<bool>(paths.size(), true), taken) << "every file read once";

    // The scan of a folder files each header under its own module file.
    SearchLocation location;
    location.Initialise(folder_, 0, L"");
    ASSERT_EQ(paths.size(), location.Modules()->size());
    for (size_t i = 0; i < paths.size(); ++i) {
        auto module = location.Modules()->find(paths[i]);
        ASSERT_NE(location.Modules()->end(), module) << i;
        EXPECT_EQ(ModuleIdAt(i), module->second->ModuleId()) << i;
    }
}

// The body of the server that the test above stops: it reads the stalling file it is given, with a
// stall limit far beyond the test's patience.
class ReaderGuardChild : public cvtest::ComTest {};

TEST_F(ReaderGuardChild, ReadsUntilStopped) {
    wchar_t path[MAX_PATH];
    if (!GetEnvironmentVariableW(L"CV_GUARD_CHILD", path, MAX_PATH)) GTEST_SKIP() << "started by its parent test";
    SetReaderTimeout(600000);
    ReadModuleGuarded(ModuleRead::Header, path);
}

}  // namespace
