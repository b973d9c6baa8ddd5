// PLACEHOLDER: replaced by the real workflows.
#include "installer/workflows.h"

namespace klv {
void OnInstallScript(const InstallerContext&) {}
void OnUpdatePages(const InstallerContext&) {}
void OnReadDocs(const InstallerContext&) {}
void DeleteWorkingFiles(std::string_view) {}
}  // namespace klv
