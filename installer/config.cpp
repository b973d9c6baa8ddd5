#include "installer/config.h"

#include <algorithm>
#include <charconv>

#include "klv/build_config.h"

namespace klv {

Config BuiltInConfig() {
    return Config{build::kVendorBaseUrl, build::kAffiliateHopUrl, build::kFtpPort};
}

unsigned ConnectionsSetting(std::string_view text) {
    long long count = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, count);
    if (text.empty() || stop != end) {
        return kDefaultConnections;
    }
    if (error == std::errc::result_out_of_range) {
        return text.front() == '-' ? 1 : kMostConnections;
    }
    return static_cast<unsigned>(std::clamp<long long>(count, 1, kMostConnections));
}

}  // namespace klv
