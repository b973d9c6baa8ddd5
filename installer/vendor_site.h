// Where the workflows find the vendor's files, relative to the configured base URL.
#pragma once

#include <string>
#include <string_view>

namespace klv {

inline constexpr std::string_view kScriptTemplatePath = "/klvsetup/klvcfgcgi.txt";
inline constexpr std::string_view kMainScriptPath = "/klvsetup/klvcgi.txt";
inline constexpr std::string_view kPageListPath = "/klvsetup/list.txt";
inline constexpr std::string_view kPagesPath = "/klvsetup/";  // followed by a listed name
inline constexpr std::string_view kDocsPath = "/klvdocs.html?id=500";

// The page list and the two script templates are small texts; a larger one is refused
// at its download, which also bounds what reading and filling them can cost.
inline constexpr std::size_t kMaxVendorTextBytes = std::size_t{1} << 20;

inline std::string VendorUrl(std::string_view baseUrl, std::string_view path,
                             std::string_view name = {}) {
    std::string url(baseUrl);
    url += path;
    url += name;
    return url;
}

}  // namespace klv
