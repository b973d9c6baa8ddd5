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

// The same names one at a time, so that a long list costs no more than its text: takes
// the next name off the front of `rest` into `name`; false when no LF is left.
bool NextListedName(std::string_view& rest, std::string& name);

// Why a listed name may not be fetched or stored, or empty when it may. Every name
// must stay inside www/klv/ on the server: it may not be empty or absolute, have a "."
// or ".." path component, or hold a backslash (which some servers take for "/").
std::string_view RefusedPageName(std::string_view name);

// How one listed name goes up. Names are compared exactly, byte for byte: "Klv.jpg"
// or "weblog.txt " are ordinary pages.
struct PagePlan {
    std::string remoteName;  // the file name under www/klv/
    bool binary = false;     // "TYPE I" for the two images, "TYPE A" for the rest
    bool fillBlogValues = false;
};

PagePlan PlanFor(std::string_view name);

}  // namespace klv
