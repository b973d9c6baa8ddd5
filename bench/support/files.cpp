#include "bench/support/files.h"

#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>
#include <vector>

#include "bench/support/signal_cleanup.h"

namespace klv::bench {

ScratchDirectory::ScratchDirectory(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    path_ = pattern;
    RegisterDirectory(path_.string());
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    UnregisterDirectory(path_.string());
}

void WriteRandomFile(const std::filesystem::path& path, std::size_t bytes, std::uint64_t seed) {
    std::mt19937_64 generator(seed);
    std::vector<std::uint64_t> block(1 << 17);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (std::size_t written = 0; written < bytes;) {
        for (auto& word : block) {
            word = generator();
        }
        const std::size_t chunk = std::min(bytes - written, block.size() * sizeof(block[0]));
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(chunk));
        written += chunk;
    }
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

bool SameFiles(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::ifstream x(a, std::ios::binary);
    std::ifstream y(b, std::ios::binary);
    if (!x || !y) {
        return false;
    }
    std::vector<char> bx(1 << 20);
    std::vector<char> by(1 << 20);
    for (;;) {
        x.read(bx.data(), static_cast<std::streamsize>(bx.size()));
        y.read(by.data(), static_cast<std::streamsize>(by.size()));
        if (x.gcount() != y.gcount() ||
            !std::equal(bx.begin(), bx.begin() + x.gcount(), by.begin())) {
            return false;
        }
        if (x.gcount() == 0) {
            return true;
        }
    }
}

std::string ReadWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace klv::bench
