#include "tools/ModuleDamage.h"

#include <algorithm>

namespace {
constexpr size_t kSector = 512;

size_t SectorCount(const std::string& bytes) { return bytes.size() / kSector; }

// Damage lands in the structures more often than chance would put it there: the header, the
// first sectors (allocation tables, directory) and a random spot elsewhere.
size_t Spot(DamageRandom& random, size_t size) {
    if (size == 0) return 0;
    switch (random.Below(3)) {
    case 0: return random.Below(std::min<size_t>(size, kSector));
    case 1: return random.Below(std::min<size_t>(size, 8 * kSector));
    default: return random.Below(size);
    }
}
}  // namespace

const char* DamageName(DamageKind kind) {
    switch (kind) {
    case DamageKind::Flips: return "flips";
    case DamageKind::Truncated: return "truncated";
    case DamageKind::Zeroed: return "zeroed";
    case DamageKind::Filled: return "filled";
    case DamageKind::InsertedSector: return "inserted";
    case DamageKind::SwappedSectors: return "swapped";
    case DamageKind::Header: return "header";
    case DamageKind::Garbage: return "garbage";
    default: return "?";
    }
}

std::string DamageModule(const std::string& good, uint64_t seed, uint32_t index, DamageKind& kind) {
    DamageRandom random(seed * 0x100000001B3ull + index);
    kind = static_cast<DamageKind>(random.Below(static_cast<size_t>(DamageKind::Count)));
    std::string bytes = good;
    switch (kind) {
    case DamageKind::Flips:
        for (size_t n = 1 + random.Below(16); n > 0 && !bytes.empty(); --n)
            bytes[Spot(random, bytes.size())] ^= static_cast<char>(1 << random.Below(8));
        break;
    case DamageKind::Truncated: bytes.resize(random.Below(bytes.size())); break;
    case DamageKind::Zeroed:
    case DamageKind::Filled: {
        size_t at = Spot(random, bytes.size());
        size_t length = std::min(bytes.size() - at, 1 + random.Below(2 * kSector));
        std::fill_n(bytes.begin() + at, length, kind == DamageKind::Zeroed ? '\0' : '\xFF');
        break;
    }
    case DamageKind::InsertedSector: {
        std::string sector(kSector, '\0');
        for (char& c : sector) c = static_cast<char>(random.Next());
        size_t at = (1 + random.Below(SectorCount(bytes))) * kSector;
        bytes.insert(std::min(at, bytes.size()), sector);
        break;
    }
    case DamageKind::SwappedSectors: {
        size_t sectors = SectorCount(bytes);
        if (sectors < 3) break;
        size_t a = 1 + random.Below(sectors - 1), b = 1 + random.Below(sectors - 1);
        std::swap_ranges(bytes.begin() + a * kSector, bytes.begin() + (a + 1) * kSector, bytes.begin() + b * kSector);
        break;
    }
    case DamageKind::Header:
        // The fields that size and place everything: sector shifts, counts, chain starts, the DIFAT.
        for (size_t n = 1 + random.Below(4); n > 0 && bytes.size() >= kSector; --n) {
            size_t at = 0x18 + random.Below(0x4C - 0x18 + 16);
            bytes[at] = static_cast<char>(random.Next());
        }
        break;
    case DamageKind::Garbage:
        bytes.resize(random.Below(8 * kSector) + 1);
        for (char& c : bytes) c = static_cast<char>(random.Next());
        break;
    default: break;
    }
    return bytes;
}
