// Scratch directories and file contents for the benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace klv::bench {

// A fresh directory under the temporary directory, removed with everything in it when
// the owner is destroyed.
class ScratchDirectory {
public:
    explicit ScratchDirectory(const std::string& prefix);
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// `bytes` pseudo-random bytes, the same for the same seed.
void WriteRandomFile(const std::filesystem::path& path, std::size_t bytes,
                     std::uint64_t seed = 20240601);

// True when both files exist and hold the same bytes.
[[nodiscard]] bool SameFiles(const std::filesystem::path& a, const std::filesystem::path& b);

// The whole file; empty when it cannot be read.
[[nodiscard]] std::string ReadWholeFile(const std::filesystem::path& path);

}  // namespace klv::bench
