// What one step of a workflow came to: success, or a failure and the text that says why
// (the server's reply line, the fetch's outcome, a fixed text of the client's).
#pragma once

#include <string>
#include <utility>

namespace klv {

class Result {
public:
    [[nodiscard]] static Result Success() { return Result(true, {}); }
    [[nodiscard]] static Result Failure(std::string text) { return Result(false, std::move(text)); }

    [[nodiscard]] bool ok() const { return ok_; }
    // Why it failed; empty after a success.
    [[nodiscard]] const std::string& text() const { return text_; }

private:
    Result(bool ok, std::string text) : ok_(ok), text_(std::move(text)) {}

    bool ok_;
    std::string text_;
};

}  // namespace klv
