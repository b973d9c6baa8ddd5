// What the workflows need of the main window. The Qt dialog implements it; tests
// replace it with a recording fake, so the workflows run without a display.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ftp/certificate.h"
#include "ftp/host_key.h"
#include "installer/form.h"

namespace klv {

using CertificateInfo = ftp::CertificateInfo;

class Window {
public:
    virtual ~Window() = default;

    // The whole current text of one of the twelve edit fields.
    [[nodiscard]] virtual std::string FieldText(Control field) const = 0;
    virtual void SetFieldText(Control field, std::string_view text) = 0;

    // Shows `text` in the status line.
    virtual void SetStatusLine(std::string_view text) = 0;

    // A modal message box with the warning icon and one OK button; returns when the
    // user has closed it, or at once when the run has been cancelled.
    virtual void ShowMessage(std::string_view text) = 0;

    // The server's replies to an upload, while its connection is still open; returns when
    // the user has read them. The window shows them in a message box.
    virtual void ShowTranscript(std::string_view transcript) { ShowMessage(transcript); }

    // Asks whether to trust a server certificate that did not verify, showing what
    // `certificate` holds, with "Trust this certificate" and "Cancel"; true for trust.
    // Returns when the user has answered.
    [[nodiscard]] virtual bool TrustCertificate(const CertificateInfo& certificate) = 0;

    // Asks whether to trust an SSH host key that no known_hosts file and no earlier answer
    // knows, showing the host, the port, the key's type and its SHA-256 fingerprint (and
    // that the key CHANGED, when another was known), with "Trust this key" and "Cancel";
    // true for trust. Returns when the user has answered. A window that cannot ask
    // refuses: nothing is sent to a host whose key nobody accepted.
    [[nodiscard]] virtual bool TrustHostKey(const sftp::HostKeyInfo& key) {
        (void)key;
        return false;
    }

    // Hands a web address to the user's browser; failures are not reported.
    virtual void OpenUrl(std::string_view url) = 0;

    // How far the run is: `done` of `total` steps (files, pages). A window without a
    // progress display ignores it.
    virtual void SetProgress(int done, int total) { (void)done, (void)total; }
    // Bytes of the current step's file moved so far, of `total` (0 when not known).
    virtual void SetStepBytes(std::uint64_t done, std::uint64_t total) { (void)done, (void)total; }
};

}  // namespace klv
