// Text files over SFTP: SFTP has no ASCII mode, so what FTP sends in ASCII type goes up with
// each CR LF made LF, as a Unix host's FTP server stores an ASCII upload (a CR left at the
// end of klv.cgi's lines would break the script on the host). A lone CR stays.
#pragma once

#include <string>
#include <string_view>

namespace klv::sftp {

// Converts a file piece by piece; a CR that ends one piece is held until the next shows
// whether an LF follows it.
class CrLfToLf {
public:
    // Appends `piece` to `out` (cleared first) with every CR LF made LF.
    void Convert(std::string_view piece, std::string& out);
    // Appends what is held back (a last lone CR) to `out`, once the file has ended.
    void Finish(std::string& out);

private:
    bool heldCr_ = false;
};

}  // namespace klv::sftp
