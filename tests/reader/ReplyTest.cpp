// The reader's replies: the server decodes exactly what the reader read, and a reply cut short or
// garbled is refused without reading past its end or asking for more memory than it holds.
#include <windows.h>
#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include "msi/ModuleData.h"
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
        SCOPED_TRACE(_stringx(a.FileKey).AsNarrow());
        EXPECT_EQ(a.FileKey, b.FileKey);
        EXPECT_EQ(a.StoredName, b.StoredName);
        EXPECT_EQ(a.LongName, b.LongName);
        EXPECT_EQ(a.Version, b.Version);
        EXPECT_EQ(a.Language, b.Language);
        EXPECT_EQ(a.Directory, b.Directory);
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

}  // namespace
