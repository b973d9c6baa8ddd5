#include "app/program_settings.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <QFile>
#include <QFileInfo>
#include <filesystem>
#include <system_error>

#include "base/unique_fd.h"

namespace klv::app {

void WritePrivately(QSettings& settings) {
    namespace fs = std::filesystem;
    const fs::path file =
        QFile::encodeName(QFileInfo(settings.fileName()).absoluteFilePath()).toStdString();
    const fs::path directory = file.parent_path();
    // Left to itself QSettings makes the directory 0777 and a new file 0666, less the
    // umask; it writes a temporary file and renames it over the old one, giving it the
    // old one's mode. So both are made private before it writes.
    std::error_code ignored;
    fs::create_directories(directory.parent_path(), ignored);
    (void)::mkdir(directory.c_str(), 0700);
    (void)::chmod(directory.c_str(), 0700);
    if (const UniqueFd made(::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)); made) {
        (void)::fchmod(made.get(), 0600);
    }
    settings.sync();
    (void)::chmod(file.c_str(), 0600);  // should it have made the file some other way
}

}  // namespace klv::app
