#include <windows.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <random>
#include <vector>
#include "base/Crc32.h"

extern "C" DWORD WINAPI RtlComputeCrc32(DWORD initial, const BYTE* data, INT length);

namespace {

// Cache files written by earlier builds hold ntdll's value: every length around the 8-byte steps,
// every alignment, and a length of megabytes read as ntdll reads them.
TEST(Crc32, AnswersAsNtdllDoes) {
    EXPECT_EQ(0xCBF43926u, Crc32("123456789", 9));
    EXPECT_EQ(0u, Crc32(nullptr, 0));
    std::mt19937 random(20261207);
    std::vector<BYTE> bytes((1 << 20) + 64);
    for (BYTE& b : bytes) b = static_cast<BYTE>(random());
    for (size_t offset = 0; offset < 8; ++offset)
        for (size_t length = 0; length <= 40; ++length)
            ASSERT_EQ(RtlComputeCrc32(0, bytes.data() + offset, static_cast<INT>(length)), Crc32(bytes.data() + offset, length))
                << "offset " << offset << ", length " << length;
    EXPECT_EQ(RtlComputeCrc32(0, bytes.data() + 3, (1 << 20) + 5), Crc32(bytes.data() + 3, (1 << 20) + 5));
}

// A section summed a window at a time gives the sum of the whole, wherever the windows end;
// a value carried on is ntdll's initial value.
TEST(Crc32, SummedInPiecesAsInOne) {
    std::mt19937 random(20261208);
    std::vector<BYTE> bytes(100003);
    for (BYTE& b : bytes) b = static_cast<BYTE>(random());
    const uint32_t whole = Crc32(bytes.data(), bytes.size());
    for (size_t piece : {1u, 7u, 8u, 9u, 4096u, 65536u, 100002u}) {
        uint32_t crc = 0;
        for (size_t at = 0; at < bytes.size(); at += piece)
            crc = Crc32(bytes.data() + at, std::min(piece, bytes.size() - at), crc);
        EXPECT_EQ(whole, crc) << "pieces of " << piece;
    }
    const uint32_t head = Crc32(bytes.data(), 1000);
    EXPECT_EQ(RtlComputeCrc32(head, bytes.data() + 1000, 5000), Crc32(bytes.data() + 1000, 5000, head));
}

}  // namespace
