#include "installer/config.h"

#include "klv/build_config.h"

namespace klv {

Config BuiltInConfig() {
    return Config{build::kVendorBaseUrl, build::kAffiliateHopUrl, build::kFtpPort};
}

}  // namespace klv
