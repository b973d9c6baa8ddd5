// What the web tests share: a scratch directory, whole-file reads and writes, and a
// sink that watches the pieces on their way to the file.
#pragma once

#include <stdlib.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "tests/support/files.h"
#include "web/body_sink.h"

namespace klv::testing {

// Bytes that show where a piece went astray: no two neighbouring 251-byte stretches
// are equal.
inline std::string PatternedBytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    }
    return bytes;
}

// Passes everything on to `inner` and keeps a record of each piece it saw.
class RecordingSink final : public web::BodySink {
public:
    explicit RecordingSink(web::BodySink& inner) : inner_(inner) {}

    bool Begin() override {
        ++begins;
        return inner_.Begin();
    }
    bool Write(std::span<const char> piece) override {
        pieceSizes.push_back(piece.size());
        pieceAddresses.push_back(piece.data());
        if (failAtPiece != 0 && pieceSizes.size() == failAtPiece) {
            return false;
        }
        return inner_.Write(piece);
    }
    bool End() override {
        ++ends;
        return inner_.End();
    }
    std::string FailureText() const override {
        return failAtPiece != 0 && pieceSizes.size() >= failAtPiece ? "sink refused a piece"
                                                                    : inner_.FailureText();
    }

    std::size_t failAtPiece = 0;  // 1-based; 0 takes every piece
    int begins = 0;
    int ends = 0;
    std::vector<std::size_t> pieceSizes;
    std::vector<const char*> pieceAddresses;

private:
    web::BodySink& inner_;
};

}  // namespace klv::testing
