// The vendor's page list, and how each listed name is stored on the user's server.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace klv {

// The names of a list as text mode reads it: one per LF, nothing trimmed (blanks and a
// lone CR stay), an empty line is an empty name, and whatever follows the last LF is
// not an entry.
std::vector<std::string> ListedNames(std::string_view list);

// How one listed name goes up. Names are compared exactly, byte for byte: "Klv.jpg"
// or "weblog.txt " are ordinary pages.
struct PagePlan {
    std::string remoteName;  // the file name under www/klv/
    bool binary = false;     // "TYPE I" for the two images, "TYPE A" for the rest
    bool fillBlogValues = false;
};

PagePlan PlanFor(std::string_view name);

}  // namespace klv
