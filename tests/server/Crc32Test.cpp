#include <windows.h>
#include <gtest/gtest.h>
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

}  // namespace
