#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include "msi/SearchLocation.h"
#include "tests/support/TestSupport.h"

namespace {

// The rescan walks the listing beside the catalog's path-ordered modules, and the cache keeps only
// the records the listing names in the same order: a listing out of that order costs every module
// a new entry and its cache record, while every answer stays right.
TEST(Listing, NamesComeInCodeUnitOrderEachWithItsOwnStamp) {
    const _stringx folder = cvtest::FreshScratchDir(L"listing");
    // Sizes tell the files apart: name i gets i + 1 bytes. Upper case sorts before lower, a shorter
    // name before its extensions, and non-ASCII after all of those. (Names that differ only in case
    // are one file.)
    const wchar_t* names[] = {L"b.msm",          L"A.msm", L"a long name.msm", L"ab.msm", L"\u00e9t\u00e9.msm",
                              L"Zed.msm",        L"a.msm.msm", L"_x.msm",       L"a10.msm", L"a2.msm"};
    for (size_t i = 0; i < ARRAYSIZE(names); ++i)
        cvtest::WriteText(JoinPath(folder, names[i]), std::string(i + 1, 'x'));
    CreateDirectoryW(JoinPath(folder, L"folder.msm").c_str(), nullptr);
    cvtest::WriteText(JoinPath(folder, L"other.txt"), "not a module");

    FoundFiles found;
    FindModuleFiles(folder, found);
    ASSERT_EQ(ARRAYSIZE(names), found.files.size());
    EXPECT_EQ(folder + L"\\", found.folder);
    std::wstring previous;
    for (size_t i = 0; i < found.files.size(); ++i) {
        std::wstring name(found.files.Name(i));
        if (i > 0) {
            EXPECT_LT(previous, name);
        }
        previous = name;
        size_t given = 0;
        while (given < ARRAYSIZE(names) && name != names[given]) ++given;
        ASSERT_LT(given, ARRAYSIZE(names)) << _stringx(name).AsNarrow();
        EXPECT_EQ(given + 1, found.files.Stamp(i).size) << _stringx(name).AsNarrow();
        EXPECT_EQ(JoinPath(folder, name.c_str()), found.PathOf(i));
    }
    // Listing again starts afresh.
    FindModuleFiles(folder, found);
    EXPECT_EQ(ARRAYSIZE(names), found.files.size());
}

}  // namespace
