// A window for the workflows' tests: fields held in a map, and a record of every
// status text, message box and opened address, in order.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "installer/window.h"

namespace klv::testing {

class FakeWindow : public Window {
public:
    FakeWindow() { SetFormDefaults(*this); }

    std::string FieldText(Control field) const override {
        return fields.contains(field) ? fields.at(field) : "";
    }
    void SetFieldText(Control field, std::string_view text) override { fields[field] = text; }
    void SetStatusLine(std::string_view text) override {
        statusLine = std::string(text);
        statusHistory.push_back(statusLine);
    }
    void ShowMessage(std::string_view text) override {
        messages.emplace_back(text);
        if (onMessage) {
            onMessage(messages.back());  // runs while the box would be open
        }
    }
    void OpenUrl(std::string_view url) override { openedUrls.emplace_back(url); }

    std::map<Control, std::string> fields;
    std::string statusLine{kStatusAtStart};
    std::vector<std::string> statusHistory;
    std::vector<std::string> messages;
    std::vector<std::string> openedUrls;
    std::function<void(const std::string&)> onMessage;
};

}  // namespace klv::testing
