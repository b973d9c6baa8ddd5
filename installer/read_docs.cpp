// Read Docs, and the clean-up of the working files when the window closes.
#include <unistd.h>

#include "installer/vendor_site.h"
#include "installer/workflows.h"

namespace klv {

void OnReadDocs(const InstallerContext& context) {
    context.window.OpenUrl(VendorUrl(context.config.vendorBaseUrl, kDocsPath));
    context.window.SetStatusLine("Reading KLV Docs");
}

void DeleteWorkingFiles(std::string_view appDirectory) {
    for (std::string_view name : kWorkingFiles) {
        // A file that is missing or cannot be deleted is passed over.
        (void)::unlink(WorkingFile(appDirectory, name).c_str());
    }
}

}  // namespace klv
