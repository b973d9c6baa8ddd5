#include "app/window_bridge.h"

#include <QMetaObject>
#include <QObject>
#include <optional>
#include <utility>

namespace klv::app {

WindowBridge::WindowBridge(Window& window, QObject& context, std::map<Control, std::string> form)
    : window_(window), context_(context), form_(std::move(form)) {}

template <typename Call>
void WindowBridge::Post(Call call) {
    // Queued calls run in the order they were posted; if the dialog is destroyed first,
    // Qt drops them.
    QMetaObject::invokeMethod(&context_, std::move(call), Qt::QueuedConnection);
}

std::string WindowBridge::FieldText(Control field) const {
    const auto found = form_.find(field);
    return found == form_.end() ? std::string() : found->second;
}

void WindowBridge::SetFieldText(Control field, std::string_view text) {
    form_[field] = std::string(text);
    Post(
        [&window = window_, field, text = std::string(text)] { window.SetFieldText(field, text); });
}

void WindowBridge::SetStatusLine(std::string_view text) {
    Post([&window = window_, text = std::string(text)] { window.SetStatusLine(text); });
}

template <typename Answer, typename Question>
Answer WindowBridge::Ask(Question question, Answer ifReleased) {
    auto answer = std::make_shared<std::optional<Answer>>();
    Post([shared = shared_, answer, question = std::move(question)]() mutable {
        {
            const std::lock_guard lock(shared->mutex);
            if (shared->released) {
                return;  // the run was stopped before the question could be put
            }
        }
        Answer given = question();
        {
            const std::lock_guard lock(shared->mutex);
            *answer = std::move(given);
        }
        shared->answered.notify_all();
    });
    std::unique_lock lock(shared_->mutex);
    shared_->answered.wait(lock, [&] { return shared_->released || answer->has_value(); });
    return answer->has_value() ? std::move(**answer) : std::move(ifReleased);
}

void WindowBridge::ShowMessage(std::string_view text) {
    (void)Ask(
        [&window = window_, text = std::string(text)] {
            window.ShowMessage(text);
            return true;
        },
        false);
}

bool WindowBridge::TrustCertificate(const CertificateInfo& certificate) {
    // Cancel or the window closing while the question is open counts as "Cancel".
    return Ask([&window = window_, certificate] { return window.TrustCertificate(certificate); },
               false);
}

bool WindowBridge::TrustHostKey(const sftp::HostKeyInfo& key) {
    return Ask([&window = window_, key] { return window.TrustHostKey(key); }, false);
}

void WindowBridge::OpenUrl(std::string_view url) {
    Post([&window = window_, url = std::string(url)] { window.OpenUrl(url); });
}

void WindowBridge::SetProgress(int done, int total) {
    Post([&window = window_, done, total] { window.SetProgress(done, total); });
}

void WindowBridge::SetStepBytes(std::uint64_t done, std::uint64_t total) {
    // Called for every piece of a transfer: the window takes the latest count, and at
    // most one update waits in its queue at any time.
    shared_->bytesDone = done;
    shared_->bytesTotal = total;
    if (!shared_->bytesQueued.exchange(true)) {
        Post([&window = window_, shared = shared_] {
            shared->bytesQueued = false;
            window.SetStepBytes(shared->bytesDone, shared->bytesTotal);
        });
    }
}

void WindowBridge::Release() {
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->released = true;
    }
    shared_->answered.notify_all();
}

}  // namespace klv::app
