// klv: puts the KLV service's scripts and pages onto a webmaster's own web host.
#include "app/installer_app.h"

int main(int argc, char** argv) {
    char fallbackName[] = "klv";  // for a start with an empty argument list
    klv::app::InstallerApp app(argc > 0 && argv[0] != nullptr ? argv[0] : fallbackName);
    return app.Run();
}
