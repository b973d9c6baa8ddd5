// What the page benchmarks share: the site they store (200 pages of about 4 KiB and the two
// images), the server's certificate, and the figures they report with.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace klv::bench {

inline constexpr int kPages = 200;
inline constexpr std::size_t kImageBytes = 50 * 1024;
// Half the round trip of the delayed parts: the delay line adds it each way.
inline constexpr std::chrono::microseconds kOneWayDelay(10'000);

struct PageFile {
    std::filesystem::path local;
    std::string name;
    bool binary = false;  // the two images, stored in image type
};

// The pages page001.html to page200.html (3.5 to 4.5 KiB, LF line ends, the same in every
// run), then klv.jpg and button.jpg (random bytes), written into `directory`.
std::vector<PageFile> MakeSite(const std::filesystem::path& directory);

// `text` with each LF as CR LF, as an FTP client's ASCII mode sends it.
std::string WithCrLf(const std::string& text);

// A self-signed certificate at `certificate`, its key beside it in NAME.key, as on much
// shared hosting. Throws when openssl cannot make it.
void MakeServerCertificate(const std::filesystem::path& certificate);

double Median(std::vector<double> values);

// /proc/loadavg's three figures.
std::string LoadAverage();

}  // namespace klv::bench
