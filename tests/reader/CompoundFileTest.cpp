// The structural check that keeps damaged containers away from the installer library: every good
// module passes it, and each kind of damage that makes that library loop or fault is refused.
#include <windows.h>
#include <gtest/gtest.h>
#include <cstring>
#include <functional>
#include <string>
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

}  // namespace
