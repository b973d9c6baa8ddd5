// Where a run keeps its working files: a fresh private directory, gone at the end.
#include "installer/run_directory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "installer/workflows.h"
#include "tests/support/files.h"

namespace klv {
namespace {

namespace fs = std::filesystem;

struct PlaceCase {
    const char* runtime;  // "" leaves the variable unset
    const char* cache;
    const char* expectedParent;  // "" when no directory may be made
};

class RunDirectoryPlace : public ::testing::TestWithParam<PlaceCase> {
protected:
    void SetUp() override {
        fs::create_directories(scratch.path() / "run");
        fs::create_directories(scratch.path() / "home");
        std::ofstream(scratch.path() / "file") << "x";
        Set("XDG_RUNTIME_DIR", GetParam().runtime);
        Set("XDG_CACHE_HOME", GetParam().cache);
        Set("HOME", "home");
    }
    void TearDown() override {
        for (const auto& [name, value] : saved) {
            value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
        }
    }
    void Set(const char* name, std::string_view relative) {
        const char* old = std::getenv(name);
        saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        relative.empty() ? ::unsetenv(name)
                         : ::setenv(name, (scratch.path() / relative).c_str(), 1);
    }

    testing::ScratchDirectory scratch;
    std::vector<std::pair<const char*, std::optional<std::string>>> saved;
};

TEST_P(RunDirectoryPlace, PrivateFreshAndRemovedWithTheWorkingFiles) {
    std::string failure;
    std::optional<RunDirectory> made = RunDirectory::Make(failure);
    if (*GetParam().expectedParent == '\0') {
        EXPECT_FALSE(made);
        EXPECT_THAT(failure, ::testing::HasSubstr((scratch.path() / "file").string()));
        return;
    }
    ASSERT_TRUE(made) << failure;
    const fs::path path = made->path();
    EXPECT_EQ(path.parent_path(), scratch.path() / GetParam().expectedParent);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    std::optional<RunDirectory> second = RunDirectory::Make(failure);  // another program
    ASSERT_TRUE(second);
    EXPECT_NE(second->path(), made->path());

    for (std::string_view name : kWorkingFiles) {
        std::ofstream(path / name) << "x";
    }
    made.reset();
    EXPECT_FALSE(fs::exists(path));
}

INSTANTIATE_TEST_SUITE_P(Environments, RunDirectoryPlace,
                         ::testing::Values(PlaceCase{"run", "cache", "run"},
                                           PlaceCase{"", "cache", "cache"},
                                           PlaceCase{"no-such-dir", "", "home/.cache"},
                                           PlaceCase{"", "file", ""}));

}  // namespace
}  // namespace klv
