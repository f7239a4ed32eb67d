// Reads of module files go through a reader process that may fault or stall. This program lives in
// a folder of its own beside a reader built to fault on files named "fault-..." and to stall once on
// files named "stall-once-...", so the whole policy runs for real: the caller survives, a file that
// kills two readers reads as a database that does not open and is not tried again until it
// changes, a stalled reader is stopped and the read tried once more, and good files read as ever.
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include "msi/CompoundFile.h"
#include "msi/ModuleEntry.h"
#include "msi/ReaderProcess.h"
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
    _stringx Copy(const wchar_t* fixture, const wchar_t* name) {
        _stringx path = JoinPath(folder_, name);
        EXPECT_TRUE(CopyFileW(cvtest::FixturePath(fixture).c_str(), path.c_str(), FALSE));
        return path;
    }
    size_t Starts() const { return cvtest::ReadBytes(starts_).size(); }

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
    FILETIME later{0x12345678, 0x01DB0000};
    {
        unique_file file(CreateFileW(faulting.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &later));
    }
    ModuleEntry changed;
    changed.Load(faulting, L"");
    EXPECT_EQ(before + 3, Starts()) << "the live reader faults, one fresh reader tries again";
}

TEST_F(ReaderGuard, AStalledReaderIsStoppedAndTheReadTriedOnceMore) {
    _stringx stalling = Copy(L"multi-1033.msm", L"stall-once-1.msm");
    ULONGLONG started = GetTickCount64();
    ModuleEntry entry;
    entry.Load(stalling, L"");
    ULONGLONG waited = GetTickCount64() - started;
    EXPECT_EQ(_stringx(L"MultiLang.4E5F6071_8293_A4B5_C6D7_E8F90A1B2C3D:1033"), entry.EntryKey());
    EXPECT_GE(waited, kReaderTimeoutMilliseconds) << "the reader had its whole time";
    EXPECT_EQ(1u, entry.Files().size());
}

TEST_F(ReaderGuard, ManyFilesAtOnceKeepTheirOrderWhateverFails) {
    std::vector<_stringx> paths;
    for (int i = 0; i < 40; ++i) {
        const wchar_t* fixture = i % 2 ? L"multi-1031.msm" : L"signature-only.msm";
        paths.push_back(Copy(fixture, _stringx::Formatted(i == 17 ? L"fault-%d.msm" : L"m%02d.msm", i).c_str()));
    }
    paths.push_back(JoinPath(folder_, L"vanished.msm"));
    // The same batch without the faulting file first, so that every reader it needs is running.
    std::vector<_stringx> good(paths.begin(), paths.end() - 1);
    good[17] = paths[16];
    for (const ModuleReadResult& read : ReadModulesGuarded(ModuleRead::Header, good)) ASSERT_FALSE(read.Unsafe);
    size_t before = Starts();
    std::vector<ModuleReadResult> read = ReadModulesGuarded(ModuleRead::Header, paths);
    ASSERT_EQ(paths.size(), read.size());
    // The reader dies on the faulting file with replies of earlier ones still unsent: only the
    // faulting file is blamed and tried alone, then a fresh reader takes the rest.
    EXPECT_EQ(before + 2, Starts());
    for (size_t i = 0; i < 40; ++i) {
        if (i == 17) {
            EXPECT_TRUE(read[i].Unsafe);
            continue;
        }
        EXPECT_FALSE(read[i].Unsafe) << i;
        EXPECT_EQ(_stringx(i % 2 ? L"MultiLang.4E5F6071_8293_A4B5_C6D7_E8F90A1B2C3D" : L"SignatureOnly.1B2C3D4E_5F60_7182_93A4_B5C6D7E8F90A"),
                  read[i].Header.ModuleId) << i;
    }
    EXPECT_TRUE(read.back().Unsafe) << "a file that is not there is no sound container";
}

}  // namespace
