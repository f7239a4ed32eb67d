// The cache file's header section is read through a window as a scan asks for headers, and copied
// from the file in place when the cache is written: every header must come back as recorded,
// whatever the window's edges cut, whoever replaced the file meanwhile.
#include <windows.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <random>
#include <string>
#include <vector>
#include "tests/support/TestSupport.h"
#include "msi/ModuleCache.h"

namespace {

struct Noted {
    std::wstring name;
    ListedStamp stamp;
    ModuleReadResult read;
};

const wchar_t kFolder[] = L"Z:\\nowhere\\modules";

// Headers of every size up to the largest one kept, in a section of several windows: a few near
// 60 KB each, so that records lie across every window's end.
std::vector<Noted> MakeHeaders(unsigned seed, size_t count, const wchar_t* tag) {
    std::mt19937 random(seed);
    std::vector<Noted> headers;
    for (size_t i = 0; i < count; ++i) {
        Noted n;
        n.name = _stringx::Formatted(L"m%05u.msm", static_cast<unsigned>(i)).str();
        n.stamp = {1000 + random() % 5000, 132000000000000000ull + random()};
        ModuleHeader& h = n.read.Header;
        h.ModuleId = _stringx::Formatted(L"Module%u.%08X", static_cast<unsigned>(i), random());
        h.Language = static_cast<LONG>(random() % 3000);
        h.Version = _stringx::Formatted(L"%u.%u", random() % 10, random() % 100);
        const size_t length = i % 97 == 5 ? 29000 + random() % 1000 : random() % 700;
        h.Subject = _stringx(tag) + _stringx(std::wstring(length, static_cast<wchar_t>(L'a' + i % 26)));
        h.Comments = i % 3 ? _stringx() : _stringx(L"\u00e9t\u00e9 ") + _stringx(tag);
        headers.push_back(std::move(n));
    }
    return headers;
}

// The first letter of a subject from `at` on, not a length or a stamp: only a checksum can tell it
// changed.
size_t LetterFrom(const std::string& bytes, size_t at) {
    while (!(bytes[at] >= 'a' && bytes[at] <= 'z' && bytes[at + 1] == 0 && bytes[at + 2] == bytes[at])) ++at;
    return at;
}

void WriteBytes(const _stringx& path, const std::string& bytes) {
    unique_file out(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(out.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    ASSERT_TRUE(SetEndOfFile(out.get()));
}

bool SameHeader(const ModuleHeader& a, const ModuleHeader& b) {
    return a.ModuleId == b.ModuleId && a.Language == b.Language && a.Version == b.Version && a.Author == b.Author &&
           a.Comments == b.Comments && a.RevisionNumber == b.RevisionNumber && a.Subject == b.Subject;
}

class LocationCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        profile_ = cvtest::FreshScratchDir((L"module-cache-" + std::wstring(test.begin(), test.end())).c_str());
        SetEnvironmentVariableW(L"LOCALAPPDATA", profile_.c_str());
        SetEnvironmentVariableW(L"CVMMUPDATER_CACHE", L"1");
        file_ = ModuleCacheFile(kFolder, 0);
    }
    void TearDown() override { SetEnvironmentVariableW(L"CVMMUPDATER_CACHE", L"0"); }

    // A cache written as a process writes it, by an object of its own.
    void Write(const std::vector<Noted>& headers) {
        LocationCache writer(kFolder, 0, file_);
        for (const Noted& n : headers) writer.NoteHeader(n.name, n.stamp, n.read);
        writer.Save();
        ASSERT_TRUE(cvtest::FileExists(file_));
    }
    // How many of these headers the cache answers, each as recorded; a wrong one fails the test.
    size_t Answered(LocationCache& cache, const std::vector<Noted>& headers, const std::vector<size_t>& order) {
        size_t answered = 0;
        for (size_t i : order) {
            ModuleReadResult read;
            if (!cache.FindHeader(headers[i].name, headers[i].stamp, read)) continue;
            EXPECT_TRUE(SameHeader(headers[i].read.Header, read.Header)) << _stringx(headers[i].name).AsNarrow();
            ++answered;
        }
        return answered;
    }
    static std::vector<size_t> InOrder(size_t count) {
        std::vector<size_t> order(count);
        for (size_t i = 0; i < count; ++i) order[i] = i;
        return order;
    }

    _stringx profile_, file_;
};

// In name order as a scan asks, backwards, at random and again after the scan ended: each header as
// recorded; a name not recorded or another stamp is no answer.
TEST_F(LocationCacheTest, EveryHeaderComesBackWhereverTheWindowCutsIt) {
    const std::vector<Noted> headers = MakeHeaders(20261208, 900, L"");
    Write(headers);
    ASSERT_GT(cvtest::ReadBytes(file_).size(), 4u * (128u << 10));
    std::vector<size_t> order = InOrder(headers.size());
    auto cache = LocationCache::Open(kFolder, 0);
    EXPECT_EQ(headers.size(), Answered(*cache, headers, order));
    std::reverse(order.begin(), order.end());
    cache = nullptr;
    cache = LocationCache::Open(kFolder, 0);
    EXPECT_EQ(headers.size(), Answered(*cache, headers, order));
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    EXPECT_EQ(headers.size(), Answered(*cache, headers, order));
    cache->Retain(ListedFiles());  // lists nothing: every record goes
    EXPECT_EQ(0u, Answered(*cache, headers, order));
    cache = nullptr;

    cache = LocationCache::Open(kFolder, 0);
    ModuleReadResult read;
    EXPECT_FALSE(cache->FindHeader(L"absent.msm", headers[0].stamp, read));
    ListedStamp other = headers[1].stamp;
    ++other.written;
    EXPECT_FALSE(cache->FindHeader(headers[1].name, other, read));
    ListedFiles listed;
    for (const Noted& n : headers) listed.Add(n.name, n.stamp);
    cache->Retain(listed);
    EXPECT_EQ(headers.size(), Answered(*cache, headers, order));
}

// One character of a header changed in the first window, a later one or the last, or the section
// cut: the whole cache counts as empty.
TEST_F(LocationCacheTest, DamageInAnyWindowEmptiesTheCache) {
    const std::vector<Noted> headers = MakeHeaders(11, 900, L"");
    Write(headers);
    const std::string good = cvtest::ReadBytes(file_);
    const size_t section = 36;  // after the magic, format, build identity, length and checksum
    uint32_t sectionLength;
    memcpy(&sectionLength, good.data() + section - 8, 4);
    ASSERT_GT(sectionLength, 3u * (128u << 10));
    for (size_t at : {LetterFrom(good, section + 100), LetterFrom(good, section + (128u << 10) + 70),
                      LetterFrom(good, section + sectionLength - 3000)}) {
        ASSERT_LT(at, section + sectionLength);
        for (bool cut : {false, true}) {
            std::string bad = good;
            if (cut) bad.resize(at);
            else bad[at] ^= 0x20;
            WriteBytes(file_, bad);
            auto cache = LocationCache::Open(kFolder, 0);
            EXPECT_EQ(0u, Answered(*cache, headers, InOrder(headers.size()))) << "at " << at << (cut ? " cut" : "");
        }
    }
}

// While a scan reads headers nobody may write into the file; once it ends the file is free again.
// Replaced meanwhile by another process's file, whose records lie elsewhere, or damaged in place
// after the scan: the headers read are still the ones recorded, or none.
TEST_F(LocationCacheTest, AFileReplacedWhileOrAfterItIsReadGivesNoWrongHeader) {
    const std::vector<Noted> headers = MakeHeaders(3, 600, L"");
    Write(headers);
    // Another process's view of the same folder: a module more, sorted first, and other stamps.
    std::vector<Noted> theirs = MakeHeaders(3, 600, L"theirs ");
    for (size_t i = 0; i < theirs.size(); i += 5) ++theirs[i].stamp.written;
    theirs.insert(theirs.begin(), MakeHeaders(4, 1, L"first ")[0]);
    theirs.front().name = L"a.msm";

    auto cache = LocationCache::Open(kFolder, 0);
    auto tryWrite = [&] {
        return static_cast<bool>(unique_file(
            CreateFileW(file_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, 0, nullptr)));
    };
    EXPECT_FALSE(tryWrite());
    const std::vector<size_t> order = InOrder(headers.size());
    std::vector<size_t> firstHalf(order.begin(), order.begin() + 300), secondHalf(order.begin() + 300, order.end());
    EXPECT_EQ(300u, Answered(*cache, headers, firstHalf));
    Write(theirs);  // replaced while read: where renaming over an open file works
    EXPECT_EQ(300u, Answered(*cache, headers, secondHalf));
    ListedFiles listed;
    for (const Noted& n : headers) listed.Add(n.name, n.stamp);
    cache->Retain(listed);
    EXPECT_TRUE(tryWrite());
    // Damaged in place after the scan, with its fixed part as it was: the headers are not read.
    std::string damaged = cvtest::ReadBytes(file_);
    damaged[LetterFrom(damaged, damaged.size() / 3)] ^= 0x20;
    WriteBytes(file_, damaged);
    EXPECT_EQ(0u, Answered(*cache, headers, order));
    cache = nullptr;

    // Replaced after the scan by a whole file of another process.
    Write(headers);
    cache = LocationCache::Open(kFolder, 0);
    cache->Retain(listed);
    Write(theirs);
    EXPECT_EQ(0u, Answered(*cache, headers, order));
}

// Written again after another process replaced the file: each header comes from the file in place
// by its name and stamp, a record that file no longer holds is dropped, and headers read since
// are kept as read.
TEST_F(LocationCacheTest, WritingCopiesHeadersByNameAndStampFromTheFileInPlace) {
    const std::vector<Noted> headers = MakeHeaders(5, 400, L"");
    Write(headers);
    auto cache = LocationCache::Open(kFolder, 0);
    ListedFiles listed;
    for (const Noted& n : headers) listed.Add(n.name, n.stamp);
    cache->Retain(listed);

    std::vector<Noted> theirs = MakeHeaders(5, 400, L"theirs ");
    for (size_t i = 0; i < theirs.size(); i += 4) ++theirs[i].stamp.written;
    theirs.erase(theirs.begin() + 7);
    theirs.insert(theirs.begin(), MakeHeaders(6, 1, L"first ")[0]);
    theirs.front().name = L"a.msm";
    Write(theirs);
    Noted mine = MakeHeaders(8, 1, L"mine ")[0];
    mine.name = L"zz.msm";
    cache->NoteHeader(mine.name, mine.stamp, mine.read);
    cache->Save();
    cache = nullptr;

    cache = LocationCache::Open(kFolder, 0);
    size_t found = 0;
    for (size_t i = 0; i < headers.size(); ++i) {
        ModuleReadResult read;
        const bool kept = i % 4 != 0 && i != 7;
        ASSERT_EQ(kept, cache->FindHeader(headers[i].name, headers[i].stamp, read)) << i;
        if (!kept) continue;
        // Their copy, as it stood in the file in place: by name, not where the record began before.
        const Noted& copied = theirs[i < 7 ? i + 1 : i];
        ASSERT_EQ(copied.name, headers[i].name);
        EXPECT_TRUE(SameHeader(copied.read.Header, read.Header)) << i;
        ++found;
    }
    EXPECT_EQ(299u, found);
    ModuleReadResult read;
    EXPECT_FALSE(cache->FindHeader(L"a.msm", theirs.front().stamp, read));
    ASSERT_TRUE(cache->FindHeader(mine.name, mine.stamp, read));
    EXPECT_TRUE(SameHeader(mine.read.Header, read.Header));
}

}  // namespace
