// The error boundary's debugger output, seen by a real debugger-output listener.
#include <windows.h>
#include <gtest/gtest.h>
#include "CvMMUpdater2.h"
#include "server/ComException.h"
#include "tests/support/TestSupport.h"

TEST(DebugOutput, BoundaryWritesTheCaughtException) {
    cvtest::DebugOutputListener listener;
    ASSERT_TRUE(listener.Started());
    EXPECT_EQ(E_ACCESSDENIED, ErrorBoundary(CLSID_MMCatalog, [] { return CheckResult(E_ACCESSDENIED), S_OK; }));
    std::string debugText = listener.Finish();
    _stringx expected = L"\nException caught: -2147024891 = " + cvtest::SystemText(E_ACCESSDENIED);
    EXPECT_NE(std::string::npos, debugText.find(expected.AsNarrow())) << debugText;
}
