#include <gtest/gtest.h>
#include <map>
#include "model/ModuleRecords.h"

namespace {

FileEntry Record(const _stringx& key, LONG tag) {
    FileEntry record;
    record.SetTexts(L"", L"", L"", key);
    record.Sequence = tag;
    return record;
}

// A list filed in batches answers as a map given each record in turn: same keys in the same order,
// the last record of each key, and the same lookups.
TEST(FileList, FilingInBatchesEqualsAMapGivenEachRecordInTurn) {
    // Code unit order: upper case before lower, a prefix before its extensions, non-ASCII last.
    const _stringx pool[] = {L"K1", L"k1", L"K",  L"K10", L"K2", L"Z",           L"a",
                             L"",   L"b", L"zz", L"Kb",  L"kB", L"\u00e9t\u00e9", L"\u00c9T\u00c9"};
    unsigned seed = 20261208;
    auto next = [&](unsigned bound) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % bound;
    };
    LONG tag = 0;
    for (int round = 0; round < 300; ++round) {
        FileList list;
        std::map<_stringx, LONG> expected;
        for (unsigned batch = next(3); batch > 0; --batch) {
            std::vector<FileEntry> records;
            // Long enough batches that a sort that is not stable would move records of one key.
            for (unsigned n = next(60); n > 0; --n) records.push_back(Record(pool[next(ARRAYSIZE(pool))], ++tag));
            // As a module read gives them (in key order, once each) or in key order with repeats.
            const unsigned shape = next(3);
            if (shape > 0) {
                std::stable_sort(records.begin(), records.end(),
                                 [](const FileEntry& a, const FileEntry& b) { return a.FileKey() < b.FileKey(); });
                if (shape == 1) {
                    std::vector<FileEntry> once;
                    for (size_t i = 0; i < records.size(); ++i)
                        if (i + 1 == records.size() || records[i].FileKey() != records[i + 1].FileKey())
                            once.push_back(records[i]);
                    records.swap(once);
                }
            }
            for (const FileEntry& record : records) expected[_stringx(record.FileKey())] = record.Sequence;
            list.Add(std::move(records));
        }
        ASSERT_EQ(expected.size(), list.size()) << "round " << round;
        auto want = expected.begin();
        for (const FileEntry& record : list) {
            EXPECT_EQ(want->first, record.FileKey()) << "round " << round;
            EXPECT_EQ(want->second, record.Sequence) << "round " << round;
            ++want;
        }
        for (const _stringx& key : pool) {
            const FileEntry* found = list.Find(key);
            auto there = expected.find(key);
            ASSERT_EQ(there != expected.end(), found != nullptr) << "round " << round;
            if (found) {
                EXPECT_EQ(there->second, found->Sequence) << "round " << round;
            }
        }
        if (HasFailure()) break;
    }
}

TEST(FileList, LongNameIsWhatFollowsTheFirstBar) {
    const std::pair<const wchar_t*, const wchar_t*> names[] = {
        {L"CORE~1.DLL|core library.dll", L"core library.dll"},
        {L"plain.txt", L"plain.txt"},
        {L"a|b|c", L"b|c"},
        {L"|x", L"x"},
        {L"x|", L""},
        {L"", L""},
    };
    for (const auto& [stored, longName] : names) {
        FileEntry record;
        record.SetTexts(stored, L"", L"", L"");
        EXPECT_EQ(std::wstring_view(longName), record.LongName()) << _stringx(stored).AsNarrow();
        EXPECT_EQ(LongFileName(record.StoredName()), _stringx(record.LongName()));
    }
}

}  // namespace
