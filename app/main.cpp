// klv: puts the KLV service's scripts and pages onto a webmaster's own web host. Without
// arguments it opens the window; `klv install-script` and `klv update-pages` run without
// one (app/command_line.h).
#include "app/command_line.h"

int main(int argc, char** argv) {
    return klv::app::Main(argc, argv, klv::BuiltInConfig());
}
