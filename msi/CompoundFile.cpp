#include "msi/CompoundFile.h"

#include <algorithm>
#include <cstring>
#include <vector>
#include "base/Handles.h"

namespace {
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kNoStream = 0xFFFFFFFF;
constexpr uint32_t kMiniStreamCutoff = 4096;
constexpr uint32_t kMiniSectorSize = 64;
constexpr uint32_t kEntrySize = 128;
constexpr uint32_t kHeaderFatSlots = 109;
const uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

enum EntryType : uint8_t { kUnused = 0, kStorage = 1, kStream = 2, kRoot = 5 };

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint64_t CeilDiv(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

class ImageCheck {
public:
    ImageCheck(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}

    bool Run() {
        if (!ReadHeader() || !ReadFat() || !ReadDirectory() || !ReadMiniFat()) return false;
        return CheckTree();
    }

private:
    // A sector that lies wholly inside the file, or null.
    const uint8_t* Sector(uint32_t index) const {
        if (index >= wholeSectors_) return nullptr;
        return bytes_ + (static_cast<size_t>(index) + 1) * sectorSize_;
    }

    bool ReadHeader() {
        if (size_ < 512 || memcmp(bytes_, kSignature, sizeof kSignature) != 0) return false;
        if (U16(bytes_ + 0x1C) != 0xFFFE) return false;
        uint16_t major = U16(bytes_ + 0x1A), shift = U16(bytes_ + 0x1E);
        if (!((major == 3 && shift == 9) || (major == 4 && shift == 12))) return false;
        if (U16(bytes_ + 0x20) != 6 || U32(bytes_ + 0x38) != kMiniStreamCutoff) return false;
        if (major == 3 && U32(bytes_ + 0x28) != 0) return false;
        sectorSize_ = 1u << shift;
        version3_ = major == 3;
        if (size_ < sectorSize_) return false;
        uint64_t body = size_ - sectorSize_;
        wholeSectors_ = static_cast<uint32_t>(std::min<uint64_t>(body / sectorSize_, kEndOfChain - 6));
        dataSectors_ = static_cast<uint32_t>(std::min<uint64_t>(CeilDiv(body, sectorSize_), kEndOfChain - 6));
        return true;
    }

    // The FAT sectors named by the header and the DIFAT chain, then the FAT itself.
    bool ReadFat() {
        uint32_t fatSectors = U32(bytes_ + 0x2C);
        uint32_t difatStart = U32(bytes_ + 0x44), difatSectors = U32(bytes_ + 0x48);
        if (fatSectors == 0 || fatSectors > wholeSectors_ || difatSectors > wholeSectors_) return false;
        used_.assign(dataSectors_, 0);
        std::vector<uint32_t> fatIndexes;
        for (uint32_t i = 0; i < kHeaderFatSlots && fatIndexes.size() < fatSectors; ++i)
            fatIndexes.push_back(U32(bytes_ + 0x4C + 4 * i));
        const uint32_t perDifat = sectorSize_ / 4 - 1;
        uint32_t next = difatStart;
        for (uint32_t n = 0; fatIndexes.size() < fatSectors; ++n) {
            if (n >= difatSectors || !Claim(next)) return false;
            const uint8_t* sector = Sector(next);
            for (uint32_t i = 0; i < perDifat && fatIndexes.size() < fatSectors; ++i)
                fatIndexes.push_back(U32(sector + 4 * i));
            next = U32(sector + 4 * perDifat);
        }
        const uint32_t perFat = sectorSize_ / 4;
        fat_.reserve(static_cast<size_t>(fatSectors) * perFat);
        for (uint32_t index : fatIndexes) {
            if (!Claim(index)) return false;
            const uint8_t* sector = Sector(index);
            for (uint32_t i = 0; i < perFat; ++i) fat_.push_back(U32(sector + 4 * i));
        }
        return true;
    }

    // Marks a structure sector (one that is read as a table) used; false when it is out of the
    // file or already part of another chain.
    bool Claim(uint32_t index) {
        if (!Sector(index) || used_[index]) return false;
        used_[index] = 1;
        return true;
    }

    // Follows a chain of the FAT, claiming each sector: a loop or a shared sector fails.
    bool WalkChain(uint32_t start, bool structure, std::vector<uint32_t>& chain) {
        for (uint32_t sector = start; sector != kEndOfChain; sector = fat_[sector]) {
            if (sector >= fat_.size() || sector >= dataSectors_ || used_[sector]) return false;
            if (structure && !Sector(sector)) return false;
            used_[sector] = 1;
            chain.push_back(sector);
        }
        return true;
    }

    bool ReadDirectory() {
        std::vector<uint32_t> chain;
        if (!WalkChain(U32(bytes_ + 0x30), true, chain) || chain.empty()) return false;
        for (uint32_t sector : chain)
            for (uint32_t offset = 0; offset < sectorSize_; offset += kEntrySize)
                entries_.push_back(Sector(sector) + offset);
        const uint8_t* root = entries_[0];
        if (root[0x42] != kRoot) return false;
        // The mini stream is the root's data, in sectors of the FAT.
        miniStreamSize_ = EntrySize(root);
        std::vector<uint32_t> miniChain;
        if (miniStreamSize_ > 0) {
            if (!WalkChain(U32(root + 0x74), false, miniChain)) return false;
            if (miniChain.size() < CeilDiv(miniStreamSize_, sectorSize_)) return false;
        }
        return true;
    }

    bool ReadMiniFat() {
        uint32_t start = U32(bytes_ + 0x3C), count = U32(bytes_ + 0x40);
        std::vector<uint32_t> chain;
        if (count == 0 && start == kEndOfChain) return true;
        if (!WalkChain(start, true, chain) || chain.size() < count) return false;
        for (uint32_t sector : chain)
            for (uint32_t i = 0; i < sectorSize_ / 4; ++i) miniFat_.push_back(U32(Sector(sector) + 4 * i));
        return true;
    }

    uint64_t EntrySize(const uint8_t* entry) const {
        // Version 3 files keep garbage in the upper half, which readers ignore.
        uint64_t low = U32(entry + 0x78), high = U32(entry + 0x7C);
        return version3_ ? low : (high << 32 | low);
    }

    bool WalkMiniChain(uint32_t start, uint64_t size) {
        uint64_t miniSectors = CeilDiv(miniStreamSize_, kMiniSectorSize);
        if (miniUsed_.empty()) miniUsed_.assign(miniFat_.size(), 0);
        uint64_t length = 0;
        for (uint32_t sector = start; sector != kEndOfChain; sector = miniFat_[sector]) {
            if (sector >= miniFat_.size() || sector >= miniSectors || miniUsed_[sector]) return false;
            miniUsed_[sector] = 1;
            ++length;
        }
        return length >= CeilDiv(size, kMiniSectorSize);
    }

    bool CheckEntry(const uint8_t* entry, bool isRoot) {
        uint8_t type = entry[0x42];
        if (isRoot ? type != kRoot : (type != kStorage && type != kStream)) return false;
        uint16_t nameLength = U16(entry + 0x40);
        if (nameLength > 64 || nameLength % 2 != 0) return false;
        if (type != kStream) return true;
        uint64_t size = EntrySize(entry);
        if (size == 0) return true;
        uint32_t start = U32(entry + 0x74);
        if (size < kMiniStreamCutoff) return WalkMiniChain(start, size);
        std::vector<uint32_t> chain;
        return WalkChain(start, false, chain) && chain.size() >= CeilDiv(size, sectorSize_);
    }

    // Every entry reachable from the root: links in bounds, each entry reached once.
    bool CheckTree() {
        std::vector<uint8_t> seen(entries_.size(), 0);
        std::vector<uint32_t> pending{0};
        while (!pending.empty()) {
            uint32_t id = pending.back();
            pending.pop_back();
            if (id == kNoStream) continue;
            if (id >= entries_.size() || seen[id]) return false;
            seen[id] = 1;
            const uint8_t* entry = entries_[id];
            if (!CheckEntry(entry, id == 0)) return false;
            pending.push_back(U32(entry + 0x44));
            pending.push_back(U32(entry + 0x48));
            if (entry[0x42] != kStream) pending.push_back(U32(entry + 0x4C));
        }
        return true;
    }

    const uint8_t* bytes_;
    size_t size_;
    uint32_t sectorSize_ = 512;
    uint32_t wholeSectors_ = 0;
    uint32_t dataSectors_ = 0;
    bool version3_ = true;
    uint64_t miniStreamSize_ = 0;
    std::vector<uint32_t> fat_;
    std::vector<uint32_t> miniFat_;
    std::vector<uint8_t> used_;
    std::vector<uint8_t> miniUsed_;
    std::vector<const uint8_t*> entries_;
};

constexpr LONGLONG kReadWhole = 16 << 20;

}  // namespace

bool IsSoundCompoundImage(const uint8_t* bytes, size_t size) {
    if (!bytes) return false;
    try {
        return ImageCheck(bytes, size).Run();
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool IsSoundCompoundFile(const wchar_t* path) {
    unique_file file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return false;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 512) return false;
    // Modules are small: one read is cheaper than a mapping. Large ones are mapped.
    if (size.QuadPart <= kReadWhole) {
        std::vector<uint8_t> bytes(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        if (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) return false;
        return IsSoundCompoundImage(bytes.data(), read);
    }
    unique_handle mapping(CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping) return false;
    unique_view view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
    if (!view) return false;
    return IsSoundCompoundImage(static_cast<const uint8_t*>(view.get()), static_cast<size_t>(size.QuadPart));
}
