// The workflows' Window while they run on the worker thread: every call is carried to
// the window's thread. The form is the copy taken when the run began, so reading it
// never waits for the window, and the user may go on editing meanwhile.
//
// A message box is a call that waits (Ask): the worker sleeps until the user has closed
// the box, or until Release() (Cancel, or the window closing). The window's thread never
// waits for the worker while a box is open, so the two cannot deadlock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "installer/window.h"

class QObject;

namespace klv::app {

class WindowBridge final : public Window {
public:
    // `window` does the work on its own thread; `context` is the QObject whose thread
    // that is (the dialog). Both must outlive the run.
    WindowBridge(Window& window, QObject& context, std::map<Control, std::string> form);

    [[nodiscard]] std::string FieldText(Control field) const override;
    void SetFieldText(Control field, std::string_view text) override;
    void SetStatusLine(std::string_view text) override;
    void ShowMessage(std::string_view text) override;
    [[nodiscard]] bool TrustCertificate(const CertificateInfo& certificate) override;
    [[nodiscard]] bool TrustHostKey(const sftp::HostKeyInfo& key) override;
    void OpenUrl(std::string_view url) override;
    void SetProgress(int done, int total) override;
    void SetStepBytes(std::uint64_t done, std::uint64_t total) override;

    // From the window's thread: a worker waiting for a message box goes on at once, and
    // no further box opens for this run.
    void Release();

private:
    // Shared with the calls queued on the window's thread, which may run after the run
    // (and this bridge) has ended.
    struct Shared {
        std::mutex mutex;
        std::condition_variable answered;
        bool released = false;
        std::atomic<std::uint64_t> bytesDone{0};
        std::atomic<std::uint64_t> bytesTotal{0};
        std::atomic<bool> bytesQueued{false};
    };

    template <typename Call>
    void Post(Call call);
    // Runs `question` on the window's thread and returns its answer once it has one;
    // `ifReleased` when the run is released first.
    template <typename Answer, typename Question>
    Answer Ask(Question question, Answer ifReleased);

    Window& window_;
    QObject& context_;
    std::map<Control, std::string> form_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

}  // namespace klv::app
