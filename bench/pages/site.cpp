#include "bench/pages/site.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "bench/bench.h"

namespace klv::bench {

namespace {

// An HTML page of about 4 KiB (3.5 to 4.5 KiB), LF line ends, the same for the same index.
std::string MakePage(int index) {
    static constexpr const char* kWords[] = {
        "affiliate", "banner", "click",  "commission", "visitor", "product", "review",
        "order",     "link",   "sale",   "customer",   "page",    "offer",   "free",
        "guide",     "report", "secret", "traffic",    "search",  "engine",  "today"};
    std::mt19937 random(static_cast<unsigned>(index) * 7919u + 17u);
    const std::size_t target = 3584 + random() % 1024;
    std::string text =
        "<html>\n<head><title>KLV page " + std::to_string(index) + "</title></head>\n<body>\n";
    const std::string end = "</body>\n</html>\n";
    while (text.size() + end.size() < target) {
        std::string line = "<p>";
        while (line.size() < 70) {
            line += kWords[random() % std::size(kWords)];
            line += ' ';
        }
        line.back() = '.';
        line += "</p>\n";
        text += line;
    }
    text.resize(target - end.size());
    text.back() = '\n';
    return text + end;
}

}  // namespace

std::vector<PageFile> MakeSite(const std::filesystem::path& directory) {
    std::filesystem::create_directories(directory);
    std::vector<PageFile> files;
    for (int i = 1; i <= kPages; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "page%03d.html", i);
        const std::filesystem::path path = directory / name;
        std::ofstream(path, std::ios::binary) << MakePage(i);
        files.push_back({path, name, false});
    }
    // The two names Update Pages stores in binary.
    std::uint64_t seed = 1;
    for (const char* name : {"klv.jpg", "button.jpg"}) {
        WriteRandomFile(directory / name, kImageBytes, seed++);
        files.push_back({directory / name, name, true});
    }
    return files;
}

std::string WithCrLf(const std::string& text) {
    std::string converted;
    converted.reserve(text.size() + text.size() / 32);
    for (const char c : text) {
        if (c == '\n') {
            converted += '\r';
        }
        converted += c;
    }
    return converted;
}

void MakeServerCertificate(const std::filesystem::path& certificate) {
    std::filesystem::path key = certificate;
    key.replace_extension(".key");
    if (RunToEnd({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                  "-subj", "/CN=klv bench server", "-keyout", key, "-out", certificate}) != 0) {
        throw std::runtime_error("openssl could not make the server's certificate");
    }
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

}  // namespace klv::bench
