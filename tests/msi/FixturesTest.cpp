// The generated modules are what the other tests build on: check what no reading test would notice
// going wrong.
#include <windows.h>
#include <gtest/gtest.h>
#include <objbase.h>
#include <propidl.h>
#include "base/Handles.h"
#include "tests/support/Environment.h"
#include "tests/support/TestSupport.h"

namespace {

class Fixtures : public cvtest::ComTest {};

// Readers must find values of a foreign type where they expect text: the stream holds them as written.
TEST_F(Fixtures, ForeignSummaryTypesAreStoredAsWritten) {
    ComPtr<IStorage> storage;
    ASSERT_EQ(S_OK, StgOpenStorage(cvtest::FixturePath(L"foreign-summary.msm").c_str(), nullptr,
                                   STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, storage.Put()));
    ComPtr<IPropertySetStorage> sets;
    ASSERT_EQ(S_OK, storage.As(IID_IPropertySetStorage, sets));
    ComPtr<IPropertyStorage> properties;
    ASSERT_EQ(S_OK, sets->Open(FMTID_SummaryInformation, STGM_READ | STGM_SHARE_EXCLUSIVE, properties.Put()));
    PROPSPEC specs[2] = {{PRSPEC_PROPID, {4}}, {PRSPEC_PROPID, {6}}};  // author, comments
    PROPVARIANT values[2] = {};
    ASSERT_EQ(S_OK, properties->ReadMultiple(2, specs, values));
    EXPECT_EQ(VT_I4, values[0].vt);
    EXPECT_EQ(42, values[0].lVal);
    EXPECT_EQ(VT_FILETIME, values[1].vt);
    FreePropVariantArray(2, values);
}

}  // namespace
