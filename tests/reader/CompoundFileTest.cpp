// The structural check that keeps damaged containers away from the installer library: every good
// module passes it, and each kind of damage that makes that library loop or fault is refused.
#include <windows.h>
#include <gtest/gtest.h>
#include <cstring>
#include <functional>
#include <string>
#include <vector>
#include "msi/CompoundFile.h"
#include "tests/support/Environment.h"
#include "tests/support/TestSupport.h"

namespace {

uint32_t Get32(const std::string& b, size_t at) {
    uint32_t v;
    memcpy(&v, b.data() + at, 4);
    return v;
}
void Put32(std::string& b, size_t at, uint32_t v) { memcpy(&b[at], &v, 4); }

// Version 3 layout: 512-byte sectors, sector n at (n + 1) * 512.
size_t SectorOffset(uint32_t sector) { return (static_cast<size_t>(sector) + 1) * 512; }
size_t FatEntry(const std::string& b, uint32_t sector) { return SectorOffset(Get32(b, 0x4C)) + 4 * sector; }
size_t RootEntry(const std::string& b) { return SectorOffset(Get32(b, 0x30)); }
// Directory entry `id`, following the directory's chain (four entries a sector).
size_t EntryOffset(const std::string& b, uint32_t id) {
    uint32_t sector = Get32(b, 0x30);
    for (uint32_t n = id / 4; n > 0; --n) sector = Get32(b, FatEntry(b, sector));
    return SectorOffset(sector) + 128 * (id % 4);
}

size_t MiniFatEntry(const std::string& b, uint32_t sector) { return SectorOffset(Get32(b, 0x3C)) + 4 * sector; }
// A free sector added at the end; its index.
uint32_t Append(std::string& b) {
    b.append(512, '\xFF');
    return static_cast<uint32_t>(b.size() / 512 - 2);
}

// The FAT spread over `fatSectors` sectors (the built one and empty ones added), named by the
// header's 109 slots and then by as many DIFAT sectors as needed, of which the header counts `counted`.
void SpreadFat(std::string& b, uint32_t fatSectors, uint32_t counted) {
    std::vector<uint32_t> fat{Get32(b, 0x4C)};
    while (fat.size() < fatSectors) fat.push_back(Append(b));
    Put32(b, 0x2C, fatSectors);
    for (uint32_t i = 0; i < 109; ++i) Put32(b, 0x4C + 4 * i, i < fat.size() ? fat[i] : 0xFFFFFFFF);
    uint32_t next = 0xFFFFFFFE;
    size_t beyond = fat.size() > 109 ? fat.size() - 109 : 0;
    for (size_t d = (beyond + 126) / 127; d-- > 0;) {
        uint32_t sector = Append(b);
        for (size_t i = 0; i < 127 && 109 + d * 127 + i < fat.size(); ++i)
            Put32(b, SectorOffset(sector) + 4 * i, fat[109 + d * 127 + i]);
        Put32(b, SectorOffset(sector) + 508, next);
        next = sector;
    }
    Put32(b, 0x44, next);
    Put32(b, 0x48, counted);
}

bool Sound(const std::string& bytes) {
    return IsSoundCompoundImage(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

TEST(CompoundFile, GoodModulesPassAndEachStructuralDamageIsRefused) {
    for (const wchar_t* fixture : {L"full.msm", L"multi-1031.msm", L"signature-only.msm", L"empty-signature.msm",
                                   L"foreign-summary.msm"})
        EXPECT_TRUE(IsSoundCompoundFile(cvtest::FixturePath(fixture).c_str())) << _stringx(fixture).AsNarrow();
    EXPECT_FALSE(IsSoundCompoundFile(cvtest::FixturePath(L"corrupt.msm").c_str())) << "text is no container";
    EXPECT_FALSE(IsSoundCompoundFile(L"Z:\\no\\such\\file.msm"));

    const std::string good = cvtest::ReadBytes(cvtest::FixturePath(L"full.msm"));
    ASSERT_TRUE(Sound(good));
    struct Damage {
        const char* what;
        std::function<void(std::string&)> apply;
    } damages[] = {
        {"signature", [](std::string& b) { b[3] ^= 1; }},
        {"sector size", [](std::string& b) { b[0x1E] = 10; }},
        {"cut inside the tables", [](std::string& b) { b.resize(b.size() / 2); }},
        {"directory chain loops", [](std::string& b) { Put32(b, FatEntry(b, Get32(b, 0x30)), Get32(b, 0x30)); }},
        {"directory chain runs off the file", [](std::string& b) { Put32(b, FatEntry(b, Get32(b, 0x30)), 0x00FFFFFF); }},
        {"FAT sector out of the file", [](std::string& b) { Put32(b, 0x4C, 0x00FFFFFF); }},
        {"FAT count beyond the DIFAT", [](std::string& b) { Put32(b, 0x2C, 200); }},
        {"root is no root", [](std::string& b) { b[RootEntry(b) + 0x42] = 1; }},
        {"root's child out of bounds", [](std::string& b) { Put32(b, RootEntry(b) + 0x4C, 0x7FFFFFFF); }},
        {"root is its own child", [](std::string& b) { Put32(b, RootEntry(b) + 0x4C, 0); }},
        {"mini stream larger than its chain", [](std::string& b) { Put32(b, RootEntry(b) + 0x78, 0x01000000); }},
        {"name longer than its field", [](std::string& b) { b[RootEntry(b) + 0x40] = 66; }},
    };
    for (const Damage& damage : damages) {
        std::string bytes = good;
        damage.apply(bytes);
        EXPECT_FALSE(Sound(bytes)) << damage.what;
    }
    // A stream sharing a sector with another chain: the root's child takes the mini stream's first
    // sector.
    std::string shared = good;
    size_t child = EntryOffset(shared, Get32(shared, RootEntry(shared) + 0x4C));
    ASSERT_EQ(2, shared[child + 0x42]);
    Put32(shared, child + 0x78, 5000);
    Put32(shared, child + 0x74, Get32(shared, RootEntry(shared) + 0x74));
    EXPECT_FALSE(Sound(shared)) << "shared sector";
}

// Each bound of the check one step inside (sound) and one step outside (refused), on the bytes of a
// built module: 32 sectors of 512 bytes, the last one in the mini stream, whose chain holds exactly
// the root's size; entry 10 is a stream of 9,685 bytes in 19 sectors, entry 17 one of 836 bytes in
// 14 mini sectors, entry 18 one of a single mini sector; mini sectors 42 to 47 are free; entry 19 is
// unused.
TEST(CompoundFile, EachBoundHoldsAtItsEdge) {
    const std::string good = cvtest::ReadBytes(cvtest::FixturePath(L"full.msm"));
    ASSERT_EQ(33u * 512, good.size());
    auto size = [](uint32_t id, uint32_t value) {
        return [=](std::string& b) { Put32(b, EntryOffset(b, id) + 0x78, value); };
    };
    auto miniFatToEnd = [](std::string& b) {
        uint32_t from = Get32(b, 0x3C), to = Append(b);
        b.replace(SectorOffset(to), 512, b.substr(SectorOffset(from), 512));
        Put32(b, FatEntry(b, to), 0xFFFFFFFE);
        Put32(b, FatEntry(b, from), 0xFFFFFFFF);
        Put32(b, 0x3C, to);
    };
    auto rootSibling = [](uint32_t link) {
        return [=](std::string& b) {
            size_t last = EntryOffset(b, 19);
            b[last + 0x42] = 1;  // an empty storage
            for (size_t at : {0x44, 0x48, 0x4C}) Put32(b, last + at, 0xFFFFFFFF);
            Put32(b, RootEntry(b) + 0x44, link);
        };
    };
    auto miniStart = [](uint32_t sector) {
        return [=](std::string& b) {
            Put32(b, EntryOffset(b, 18) + 0x74, sector);
            Put32(b, MiniFatEntry(b, sector), 0xFFFFFFFE);
        };
    };
    struct Edge {
        const char* what;
        std::function<void(std::string&)> apply;
        bool sound;
    } edges[] = {
        {"cut by one byte: the last sector holds stream data and may be partial", [](std::string& b) { b.resize(b.size() - 1); }, true},
        {"cut to one byte of the last sector", [](std::string& b) { b.resize(b.size() - 511); }, true},
        {"cut by a whole sector", [](std::string& b) { b.resize(b.size() - 512); }, false},
        {"a table in the last sector", miniFatToEnd, true},
        {"a table in the last sector, cut by one byte", [&](std::string& b) { miniFatToEnd(b); b.resize(b.size() - 1); }, false},
        {"sector shift 8", [](std::string& b) { b[0x1E] = 8; }, false},
        {"sector shift 12 in version 3", [](std::string& b) { b[0x1E] = 12; }, false},
        {"version 4 with sector shift 9", [](std::string& b) { b[0x1A] = 4; }, false},
        {"mini sector shift 5", [](std::string& b) { b[0x20] = 5; }, false},
        {"mini sector shift 7", [](std::string& b) { b[0x20] = 7; }, false},
        {"mini stream cutoff 4095", [](std::string& b) { Put32(b, 0x38, 4095); }, false},
        {"mini stream cutoff 4097", [](std::string& b) { Put32(b, 0x38, 4097); }, false},
        {"directory sectors counted in version 3", [](std::string& b) { Put32(b, 0x28, 1); }, false},
        {"no FAT sector", [](std::string& b) { Put32(b, 0x2C, 0); }, false},
        {"one FAT sector more than named", [](std::string& b) { Put32(b, 0x2C, 2); }, false},
        {"FAT sectors filling the header's slots", [](std::string& b) { SpreadFat(b, 109, 0); }, true},
        {"one FAT sector more, its DIFAT sector not counted", [](std::string& b) { SpreadFat(b, 110, 0); }, false},
        {"one FAT sector more, its DIFAT sector counted", [](std::string& b) { SpreadFat(b, 110, 1); }, true},
        {"FAT sectors filling a DIFAT sector", [](std::string& b) { SpreadFat(b, 236, 1); }, true},
        {"one FAT sector more, a second DIFAT sector not counted", [](std::string& b) { SpreadFat(b, 237, 1); }, false},
        {"one FAT sector more, a second DIFAT sector counted", [](std::string& b) { SpreadFat(b, 237, 2); }, true},
        {"a link to the last entry", rootSibling(19), true},
        {"a link equal to the entry count", rootSibling(20), false},
        {"name of 64 bytes", [](std::string& b) { b[RootEntry(b) + 0x40] = 64; }, true},
        {"name of an odd length", [](std::string& b) { b[RootEntry(b) + 0x40] = 63; }, false},
        {"the root's mini stream one byte over its chain", size(0, 6 * 512 + 1), false},
        {"mini FAT counted one sector over its chain", [](std::string& b) { Put32(b, 0x40, 2); }, false},
        {"stream filling its chain", size(10, 19 * 512), true},
        {"stream one byte over its chain", size(10, 19 * 512 + 1), false},
        {"stream at the mini stream cutoff, in sectors", size(10, 4096), true},
        {"stream one byte under the cutoff, in mini sectors it does not own", size(10, 4095), false},
        {"mini stream filling its chain", size(17, 14 * 64), true},
        {"mini stream one byte over its chain", size(17, 14 * 64 + 1), false},
        {"mini chain in the last mini sector", miniStart(47), true},
        {"mini chain past the mini stream", miniStart(48), false},
    };
    for (const Edge& edge : edges) {
        std::string bytes = good;
        edge.apply(bytes);
        EXPECT_EQ(edge.sound, Sound(bytes)) << edge.what;
    }
}

}  // namespace
