// Where a run keeps its working files: a fresh private directory, gone at the end.
#include "installer/run_directory.h"

#include <gmock/gmock.h>

#include "tests/support/files.h"

namespace klv::testing {
namespace {

namespace fs = std::filesystem;

// XDG_RUNTIME_DIR and XDG_CACHE_HOME under a scratch directory ("" unsets one), HOME its
// "home"; the parent of the directory made, "" when none may be made.
using PlaceCase = std::array<const char*, 3>;
class RunDirectoryPlace : public ::testing::TestWithParam<PlaceCase> {};

TEST_P(RunDirectoryPlace, PrivateFreshAndRemovedWithTheWorkingFiles) {
    const ScratchDirectory scratch;
    const auto [runtime, cache, parent] = GetParam();
    fs::create_directories(scratch.path() / "run"), fs::create_directories(scratch.path() / "home");
    WriteFileBytes(scratch.path() / "file", "x");
    const std::string home = std::getenv("HOME");
    for (auto [name, value] :
         {std::pair{"XDG_RUNTIME_DIR", runtime}, {"XDG_CACHE_HOME", cache}, {"HOME", "home"}}) {
        *value ? ::setenv(name, (scratch.path() / value).c_str(), 1) : ::unsetenv(name);
    }
    std::string failure;
    std::optional<RunDirectory> made = RunDirectory::Make(failure);
    const std::optional<RunDirectory> another = RunDirectory::Make(failure);
    ::unsetenv("XDG_RUNTIME_DIR"), ::unsetenv("XDG_CACHE_HOME"), ::setenv("HOME", home.c_str(), 1);
    ASSERT_EQ(made.has_value(), *parent != '\0') << failure;
    if (!made) {
        EXPECT_THAT(failure, ::testing::HasSubstr(scratch.File("file")));  // and nowhere else
        return;
    }
    const fs::path path = made->path();
    EXPECT_EQ(path.parent_path(), scratch.path() / parent);
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_all);
    EXPECT_NE(another->path(), made->path());  // two programs never share one
    made.reset();
    EXPECT_FALSE(fs::exists(path));
}

INSTANTIATE_TEST_SUITE_P(Environments, RunDirectoryPlace,
                         ::testing::Values(PlaceCase{"run", "cache", "run"},
                                           PlaceCase{"no-such-dir", "", "home/.cache"},
                                           PlaceCase{"", "file", ""}));

}  // namespace
}  // namespace klv::testing
