// FillScriptTemplate on a large template, and the replacement rule at three sizes: a
// linear rule costs the same per byte at 1, 4 and 10 MiB, a quadratic one ten times more
// at 10 than at 1. Blocks of several MiB also come fresh from the kernel each time, as
// glibc's malloc hands them back when freed, and those page faults add to the cost per
// byte at the large sizes whatever the rule; docs/performance.md separates the two.
// Usage: templating_bench [MiB of the large template, default 10]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "installer/form.h"
#include "installer/templating.h"
#include "installer/text_file.h"
#include "testkit/testkit.h"

namespace {

using Clock = std::chrono::steady_clock;

// Script-like lines, a placeholder in every one, CR LF and LF line ends mixed.
std::string MakeTemplate(std::size_t size) {
    static constexpr const char* kLines[] = {
        "$email = \"#email#\"; # main address\r\n",
        "$paypal = \"#emailpp#\";\n",
        "$stormpay = \"#emailsp#\";\n",
        "$url = \"#klvpath#/klv.cgi?data=setup\";\r\n",
        "$price = \"#price#\"; $ad = \"#ad-url#\";\n",
        "print \"<a href='#ad-url#'>#ad-title#</a> #ad-description#\\n\";\n",
        "if ($x == 1) { print \"no placeholder on this line at all\"; }\n",
    };
    std::string text;
    text.reserve(size + 128);
    for (std::size_t i = 0; text.size() < size; ++i) {
        text += kLines[i % std::size(kLines)];
    }
    text.resize(size);
    return text;
}

double BestSeconds(int rounds, const std::function<void()>& work) {
    double best = 1e30;
    for (int round = 0; round < rounds; ++round) {
        const auto start = Clock::now();
        work();
        const std::chrono::duration<double> took = Clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t largeMebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10;

    const klv::testing::Scratch scratch;  // removed on every return
    const std::string path = scratch / "klvcfg.cgi";

    auto data = std::make_unique<klv::FormData>();
    data->mainEmail = "webmaster@example.org";
    data->payPalEmail = "pay@example.org";
    data->stormPayEmail = "storm@example.org";
    data->httpCgiPath = "http://www.example.org/cgi-bin";
    data->adPrice = "5.00";
    data->adUrl = klv::BuildAdUrl("http://hop.clickbank.net/", "nick");
    data->adTitle = klv::kAdTitle;
    data->adDescription = klv::kAdDescription;
    if (largeMebibytes == 0 || largeMebibytes > (klv::kMaxScriptBytes >> 20) ||
        !klv::FillTemplateTextWithin(MakeTemplate(largeMebibytes << 20), *data,
                                     klv::kMaxScriptBytes)) {
        std::fprintf(stderr,
                     "templating_bench: the large template is 1 MiB or more, and its filled "
                     "script within the %zu MiB a script may have (installer/templating.h "
                     "kMaxScriptBytes)\n",
                     klv::kMaxScriptBytes >> 20);
        return 1;
    }

    std::printf("FillScriptTemplate (read, nine steps, write back), best of 3:\n");
    for (const std::size_t mebibytes : {std::size_t{1}, std::size_t{4}, largeMebibytes}) {
        const std::string text = MakeTemplate(mebibytes << 20);
        double whole = 1e30, read = 1e30, fill = 1e30, write = 1e30;
        for (int round = 0; round < 3; ++round) {
            std::ofstream(path, std::ios::binary | std::ios::trunc)
                .write(text.data(), static_cast<std::streamsize>(text.size()));
            klv::FillResult result;
            whole = std::min(
                whole, BestSeconds(1, [&] { result = klv::FillScriptTemplate(path, *data); }));
            if (result.outcome != klv::Filling::Filled) {
                std::fprintf(stderr, "templating_bench: FillScriptTemplate failed: %s\n",
                             result.outcome == klv::Filling::TemplateUnreadable
                                 ? "the template could not be opened"
                                 : result.failure.c_str());
                return 1;
            }
            // The same three stages timed one by one.
            std::ofstream(path, std::ios::binary | std::ios::trunc)
                .write(text.data(), static_cast<std::streamsize>(text.size()));
            std::string readText;
            bool readable = false;
            read = std::min(read,
                            BestSeconds(1, [&] { readable = klv::ReadTextFile(path, readText); }));
            std::string filled;
            fill = std::min(
                fill, BestSeconds(1, [&] { filled = klv::FillTemplateText(readText, *data); }));
            std::string writeFailure;
            write = std::min(
                write, BestSeconds(1, [&] { writeFailure = klv::RewriteTextFile(path, filled); }));
            if (!readable || !writeFailure.empty()) {  // then the times measure no work
                std::fprintf(stderr, "templating_bench: %s\n",
                             readable ? writeFailure.c_str() : "the template could not be read");
                return 1;
            }
        }
        const double bytes = static_cast<double>(text.size());
        std::printf(
            "  %3zu MiB: %8.1f MB/s  %5.2f ns/byte  (read %5.2f, steps %5.2f, write %5.2f "
            "ns/byte)\n",
            mebibytes, bytes / 1e6 / whole, whole * 1e9 / bytes, read * 1e9 / bytes,
            fill * 1e9 / bytes, write * 1e9 / bytes);
    }

    std::printf("ReplaceAll of a placeholder every 16 bytes, best of 3:\n");
    for (const std::size_t mebibytes : {std::size_t{1}, std::size_t{4}, largeMebibytes}) {
        std::string dense;
        while (dense.size() < (mebibytes << 20)) {
            dense += "#price#=abcdefgh";
        }
        std::string work;
        const double seconds = BestSeconds(3, [&] {
            work = dense;
            klv::ReplaceAll(work, "#price#", "12.50");
        });
        std::printf("  %3zu MiB: %8.1f MB/s  %6.2f ns/byte\n", mebibytes,
                    static_cast<double>(dense.size()) / 1e6 / seconds,
                    seconds * 1e9 / static_cast<double>(dense.size()));
    }
    return 0;
}
