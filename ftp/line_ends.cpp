#include "ftp/line_ends.h"

namespace klv::sftp {

void CrLfToLf::Convert(std::string_view piece, std::string& out) {
    out.clear();
    out.reserve(piece.size() + 1);
    if (heldCr_ && !piece.empty()) {
        heldCr_ = false;
        if (piece.front() != '\n') {
            out += '\r';
        }
    }
    for (std::size_t at = 0; at < piece.size();) {
        const std::size_t cr = piece.find('\r', at);
        if (cr == std::string_view::npos) {
            out.append(piece.substr(at));
            break;
        }
        out.append(piece.substr(at, cr - at));
        if (cr + 1 == piece.size()) {
            heldCr_ = true;  // the next piece tells
        } else if (piece[cr + 1] != '\n') {
            out += '\r';
        }
        at = cr + 1;
    }
}

void CrLfToLf::Finish(std::string& out) {
    out.clear();
    if (heldCr_) {
        heldCr_ = false;
        out += '\r';
    }
}

}  // namespace klv::sftp
