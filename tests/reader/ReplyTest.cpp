// The reader's replies: the server decodes exactly what the reader read, and a reply cut short or
// garbled is refused without reading past its end or asking for more memory than it holds.
#include <windows.h>
#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <vector>
#include "msi/ReaderWire.h"
#include "tests/support/Environment.h"

namespace {

TEST(Reply, FileListComesBackWholeAndDamageIsRefused) {
    ModuleReadResult read;
    PerformModuleRead(ModuleRead::Files, cvtest::FixturePath(L"full.msm"), _stringx(), read);
    ASSERT_EQ(6u, read.Files.size());
    ASSERT_FALSE(read.Directories.empty());
    std::string wire;
    EncodeResult(read, wire);

    ModuleReadResult back;
    ASSERT_TRUE(DecodeResult(wire, back));
    ASSERT_EQ(read.Files.size(), back.Files.size());
    for (size_t i = 0; i < read.Files.size(); ++i) {
        const FileEntry &a = read.Files[i], &b = back.Files[i];
        SCOPED_TRACE(_stringx(a.FileKey()).AsNarrow());
        EXPECT_EQ(a.FileKey(), b.FileKey());
        EXPECT_EQ(a.StoredName(), b.StoredName());
        EXPECT_EQ(a.LongName(), b.LongName());
        EXPECT_EQ(a.Version(), b.Version());
        EXPECT_EQ(a.Language(), b.Language());
        EXPECT_EQ(a.Directory(), b.Directory());
        EXPECT_EQ(a.FileSize, b.FileSize);
        EXPECT_EQ(a.Sequence, b.Sequence);
    }
    ASSERT_EQ(read.Directories.size(), back.Directories.size());
    for (const auto& [key, answer] : read.Directories) {
        EXPECT_EQ(answer.Status, back.Directories[key].Status) << _stringx(key).AsNarrow();
        EXPECT_EQ(answer.Path, back.Directories[key].Path) << _stringx(key).AsNarrow();
    }

    for (size_t length = 0; length < wire.size(); ++length)
        EXPECT_FALSE(DecodeResult(wire.substr(0, length), back)) << "cut at " << length;
    // Any word turned into a huge count or an index past the folders sent.
    for (size_t at = 0; at + 4 <= wire.size(); ++at) {
        std::string garbled = wire;
        memset(&garbled[at], 0xFF, 4);
        ModuleReadResult result;
        EXPECT_NO_THROW(DecodeResult(garbled, result)) << "garbled at " << at;
    }
}

// A reply of every kind of record, each list two long.
ModuleReadResult EveryRecord() {
    ModuleReadResult r;
    r.Path = L"Z:\\m\\a.msm";
    r.Header.ModuleId = L"Mod.1";
    r.Header.Language = 1033;
    r.Names = {L"Dlg1", L"Dlg2"};
    for (const wchar_t* id : {L"DepA", L"DepB"}) r.Dependencies.push_back({id, _stringx(id) + L":0", L"1.0", 0});
    for (const wchar_t* id : {L"ExA", L"ExB"}) r.Exclusions.push_back({id, _stringx(id) + L":0", L"1", L"2", 0});
    // The first file lies in the second folder sent ("DirB"), so that its index is the last one.
    auto file = [&](const wchar_t* name, const wchar_t* version, const wchar_t* language, const wchar_t* directory,
                    const wchar_t* key, LONG size, LONG sequence) {
        FileEntry record;
        record.SetTexts(name, version, language, key);
        record.FileSize = size;
        record.Sequence = sequence;
        record.SetDirectory(directory);
        r.Files.push_back(std::move(record));
    };
    file(L"f1", L"1.0", L"0", L"DirB", L"K1", 10, 1);
    file(L"f2", L"", L"", L"DirA", L"K2", 20, 2);
    r.Directories[L"DirA"].Path = L"[TARGETDIR]A\\";
    r.Directories[L"DirB"].Failure.Description = L"broken";
    return r;
}

std::string Wire(const ModuleReadResult& r) {
    std::string wire;
    EncodeResult(r, wire);
    return wire;
}

void Put32(std::string& b, size_t at, uint32_t v) { memcpy(&b[at], &v, 4); }

// `bytes` at `offset` in a block of its own, which the decoded records may hold.
bool DecodeHeld(const std::string& bytes, size_t offset, ModuleReadResult& result, const char** block = nullptr) {
    std::shared_ptr<char[]> held(new char[offset + bytes.size() + 1]);
    memcpy(held.get() + offset, bytes.data(), bytes.size());
    if (block) *block = held.get();
    return DecodeResult(std::string_view(held.get() + offset, bytes.size()), result,
                        std::shared_ptr<const char>(held, held.get()), offset + bytes.size());
}

TEST(Reply, EveryCountAndIndexIsCheckedAtItsEdge) {
    const ModuleReadResult full = EveryRecord();
    const std::string wire = Wire(full);
    ModuleReadResult back;
    ASSERT_TRUE(DecodeResult(wire, back));
    EXPECT_EQ(full.Names, back.Names);
    ASSERT_EQ(2u, back.Files.size());
    EXPECT_EQ(_stringx(L"DirB"), back.Files[0].Directory());
    EXPECT_EQ(_stringx(L"broken"), back.Directories[L"DirB"].Failure.Description);

    // Where each count lies: the lists come in this order, each after its count, and a reply
    // whose later lists are empty ends in their zero counts.
    auto keep = [&](int lists) {
        ModuleReadResult r = full;
        if (lists < 1) r.Names.clear();
        if (lists < 2) r.Dependencies.clear();
        if (lists < 3) r.Exclusions.clear();
        if (lists < 4) r.Files.clear();
        if (lists < 5) r.Directories.clear();
        return Wire(r).size();
    };
    const size_t folders = keep(3) - 12, files = folders + 4 + 2 * (4 + 2 * 4);
    // The first file's texts: "f1", "1.0", "0", "K1".
    const size_t firstFolder = files + 4 + (4 + 2 * 2) + (4 + 2 * 3) + (4 + 2 * 1) + (4 + 2 * 2);
    struct Edge {
        const char* what;
        size_t at;
        uint32_t value;
        bool accepted;
    } edges[] = {
        {"path length", 0, 10, true},
        {"path length one over", 0, 11, false},
        {"path length one short", 0, 9, false},
        {"names", keep(0) - 24, 2, true},
        {"names one over", keep(0) - 24, 3, false},
        {"names one short", keep(0) - 24, 1, false},
        {"dependencies one over", keep(1) - 20, 3, false},
        {"dependencies one short", keep(1) - 20, 1, false},
        {"exclusions one over", keep(2) - 16, 3, false},
        {"exclusions one short", keep(2) - 16, 1, false},
        {"folders one over", folders, 3, false},
        {"folders one short", folders, 1, false},
        {"files one over", files, 3, false},
        {"files one short", files, 1, false},
        {"folder index, the first", firstFolder, 0, true},
        {"folder index, the last", firstFolder, 1, true},
        {"folder index equal to the folders", firstFolder, 2, false},
        {"directories one over", keep(4) - 4, 3, false},
        {"directories one short", keep(4) - 4, 1, false},
        {"last text one over", wire.size() - 4 - 2 * 6, 7, false},
        {"last text one short", wire.size() - 4 - 2 * 6, 5, false},
    };
    for (const Edge& edge : edges) {
        std::string bytes = wire;
        Put32(bytes, edge.at, edge.value);
        ModuleReadResult result;
        EXPECT_EQ(edge.accepted, DecodeResult(bytes, result)) << edge.what;
        EXPECT_EQ(edge.accepted, DecodeHeld(bytes, 2, result = ModuleReadResult())) << edge.what << ", held";
    }
    std::string first = wire;
    Put32(first, firstFolder, 0);
    ASSERT_TRUE(DecodeResult(first, back = ModuleReadResult()));
    EXPECT_EQ(_stringx(L"DirA"), back.Files[0].Directory()) << "the index names its folder";
    ASSERT_TRUE(DecodeResult(Wire(ModuleReadResult()), back = ModuleReadResult())) << "an empty reply";
}

// Texts decoded from bytes the records may hold are those bytes, kept for as long as a record lives;
// where they would not be whole, aligned characters of the block, they are copies. Either way the
// records read as from a plain decode.
TEST(Reply, HeldBytesAreTakenInPlaceAndOutliveTheirHolder) {
    const std::string wire = Wire(EveryRecord());
    ModuleReadResult plain;
    ASSERT_TRUE(DecodeResult(wire, plain));
    for (size_t offset = 0; offset < 4; ++offset) {
        ModuleReadResult back;
        const char* block = nullptr;
        ASSERT_TRUE(DecodeHeld(wire, offset, back, &block)) << "at " << offset;
        ASSERT_EQ(plain.Files.size(), back.Files.size());
        // The decoder's own reference is gone: only the records hold the block now.
        std::vector<std::vector<char>> scribble(64, std::vector<char>(wire.size() + offset, 'x'));
        for (size_t i = 0; i < plain.Files.size(); ++i)
            for (auto which : {FileEntry::kStoredName, FileEntry::kVersion, FileEntry::kLanguage, FileEntry::kFileKey}) {
                const std::wstring_view text = back.Files[i].TextOf(which);
                EXPECT_EQ(plain.Files[i].TextOf(which), text) << "at " << offset << ", text " << which;
                const bool inBlock = text.data() >= reinterpret_cast<const wchar_t*>(block) &&
                                     text.data() < reinterpret_cast<const wchar_t*>(block + offset + wire.size());
                EXPECT_EQ(offset % 2 == 0, inBlock) << "at " << offset << ", text " << which;
            }
    }
}

}  // namespace
