// Where a fetched body goes. The fetch hands it the body in pieces taken from its one
// chunk buffer; the file sink stores them, and tests put an observer in between.
#pragma once

#include <span>
#include <string>

namespace klv::web {

class BodySink {
public:
    virtual ~BodySink() = default;

    // The final response has begun (after any redirects, status below 400): make ready
    // to take its body. Called at most once per fetch. False aborts the fetch.
    [[nodiscard]] virtual bool Begin() = 0;

    // The next piece of the body, at most kFetchChunkSize bytes. False aborts the fetch.
    [[nodiscard]] virtual bool Write(std::span<const char> piece) = 0;

    // The transfer is over, whole or broken off: everything written so far must be
    // stored before this returns. Called once after every successful Begin.
    [[nodiscard]] virtual bool End() = 0;

    // Why the last call that returned false failed.
    [[nodiscard]] virtual std::string FailureText() const = 0;
};

}  // namespace klv::web
