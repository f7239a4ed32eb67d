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
    // A search folder on the search path holding the named files (any content: only looked for).
    _stringx ModuleFolder(std::initializer_list<const wchar_t*> names) {
        _stringx folder = env_->AddSearchFolder(L"Modules");
        env_->SetSearchPath({folder});
        for (const wchar_t* name : names) WriteText(JoinPath(folder, name), "module");
        return folder;
    }

private:
    std::unique_ptr<TestEnvironment> env_;
};

}  // namespace cvtest
