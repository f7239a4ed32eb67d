// Damaged copies of good module files, the way copies really get damaged: flipped bytes, cut-off
// tails, zeroed or 0xFF-filled stretches, inserted or swapped 512-byte sectors, a broken header,
// or nothing but garbage. The same seed and index always give the same bytes.
#pragma once
#include <cstdint>
#include <string>

enum class DamageKind { Flips, Truncated, Zeroed, Filled, InsertedSector, SwappedSectors, Header, Garbage, Count };

const char* DamageName(DamageKind kind);

// A small, fixed generator: the same numbers on every platform and compiler.
class DamageRandom {
public:
    explicit DamageRandom(uint64_t seed) : state_(seed) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform enough in [0, bound); 0 when bound is 0.
    size_t Below(size_t bound) { return bound ? static_cast<size_t>(Next() % bound) : 0; }

private:
    uint64_t state_;
};

// The index-th damaged copy of `good` for `seed`; its kind goes to `kind`.
std::string DamageModule(const std::string& good, uint64_t seed, uint32_t index, DamageKind& kind);
