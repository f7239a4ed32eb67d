// Fixture of the model tests: an apartment and a fresh environment of the authoring tool per test.
#pragma once
#include <windows.h>
#include <memory>
#include <string>
#include "tests/support/Environment.h"
#include "tests/support/TestSupport.h"

namespace cvtest {

class ModelTest : public ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        env_.reset(new TestEnvironment(
            _stringx::Formatted(L"model_%S_%S", test->test_suite_name(), test->name()).c_str()));
    }
    void TearDown() override {
        env_.reset();
        ComTest::TearDown();
    }

    TestEnvironment& Env() { return *env_; }
    // ObjectGallery\<name>.ini
    _stringx WriteGallery(const wchar_t* name, const std::string& text) {
        return env_->WriteGalleryFile((_stringx(name) + L".ini").c_str(), text);
    }
    // A module file is only looked for, never opened here: any content will do.
    _stringx PutModule(const _stringx& folder, const wchar_t* name) {
        _stringx path = JoinPath(folder, name);
        WriteText(path, "module");
        return path;
    }

private:
    std::unique_ptr<TestEnvironment> env_;
};

inline std::string Narrow(const _stringx& text) { return _stringx(text).AsNarrow(); }

}  // namespace cvtest
