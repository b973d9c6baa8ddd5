// Install Script: capture the form, check it, fetch and fill the configuration script,
// upload both scripts and make them executable, then open the set-up page. A refused
// chmod is named once at the end; a refused upload stops the run.
#include <optional>
#include <string>
#include <string_view>

#include "base/cancel.h"
#include "installer/download.h"
#include "installer/server_address.h"
#include "installer/session.h"
#include "installer/templating.h"
#include "installer/vendor_site.h"
#include "installer/workflows.h"

namespace klv {

namespace {

constexpr std::string_view kFillInAllFields = "You MUST Fill In ALL Fields Before Uploading!";
constexpr std::string_view kNeedPaymentEmail =
    "You MUST Enter A PayPal Email, A StormPay Email Or Both!";
constexpr std::string_view kDownloadingScript = "Downloading Current KLV Script From Kolvane";
constexpr std::string_view kUploadingScript = "Uploading KLV Script";
constexpr std::string_view kSetupPageQuery = "/klv.cgi?data=setup";
constexpr std::string_view kNotExecutable = "The host did not make the script executable:";
// Fetch, upload, fetch, upload.
constexpr int kSteps = 4;

// What the status line says when the run was cancelled after `done` steps. A step that
// was under way when Cancel came is not counted, whether or not it got through.
void ReportCancelled(const InstallerContext& context, int done) {
    context.window.SetStatusLine("Cancelled after " + std::to_string(done) + " of " +
                                 std::to_string(kSteps) + " steps");
}

// The refusal to show, if any: the required fields first, then the payment address.
std::string_view Refusal(const FormData& form) {
    for (const FormText* required : {&form.ftpUser, &form.ftpPassword, &form.ftpServer,
                                     &form.cgiPath, &form.httpCgiPath, &form.mainEmail}) {
        if (required->empty()) {
            return kFillInAllFields;
        }
    }
    if (form.payPalEmail.empty() && form.stormPayEmail.empty()) {
        return kNeedPaymentEmail;
    }
    return {};
}

FileToPut Script(const FormData& form, std::string localPath, std::string_view fileName) {
    return {std::move(localPath), form.cgiPath.str() + "/" + std::string(fileName),
            ftp::TransferType::Ascii};
}

// The whole run but the closing word on chmod; `chmodRefusal` gets the first reply that
// refused to make a stored script executable.
void InstallScripts(const InstallerContext& context, std::optional<std::string>& chmodRefusal) {
    SharedState& shared = context.shared;
    const FormData& form = shared.formData;
    CaptureForm(context.window, shared.formData, context.config.affiliateHopUrl);
    if (const std::string_view refusal = Refusal(form); !refusal.empty()) {
        context.window.ShowMessage(refusal);
        return;
    }
    if (const std::string refusal = ServerFieldRefusal(form.ftpServer.view(), context.config.ftpPort);
        !refusal.empty()) {
        context.window.ShowMessage(refusal);
        return;
    }
    const Account account{form.ftpServer.str(), form.ftpUser.str(), form.ftpPassword.str()};

    const std::string configScript = WorkingFile(shared.appDirectory, "klvcfg.cgi");
    context.window.SetProgress(0, kSteps);
    context.window.SetStatusLine(kDownloadingScript);
    const Result configFetched =
        Download(context.config, VendorUrl(context.config.vendorBaseUrl, kScriptTemplatePath),
                 configScript, kMaxVendorTextBytes);
    if (CancelRequested()) {
        return ReportCancelled(context, 0);
    }
    if (!configFetched.ok()) {
        context.window.SetStatusLine(configFetched.text());
        return;
    }
    const FillResult filled = FillScriptTemplate(configScript, form);
    if (filled.outcome == Filling::NotWritten) {
        // A script cut short (disk full, a file-size limit) must not go up.
        context.window.SetStatusLine(filled.failure);
    }
    if (filled.outcome != Filling::Filled) {
        return;
    }

    context.window.SetProgress(1, kSteps);
    context.window.SetStatusLine(kUploadingScript);
    const ScriptUpload configUpload =
        PutScript(context, account, Script(form, configScript, "klvcfg.cgi"), Transcript::Hidden);
    ShowLogonFailure(context, configUpload.logon);
    if (CancelRequested()) {
        return ReportCancelled(context, 1);
    }
    context.window.SetStatusLine(
        configUpload.logon.ok() ? kScriptUploadHint : std::string_view(configUpload.logon.text()));
    if (!configUpload.logon.ok()) {
        return;
    }
    if (!configUpload.stored) {
        // Without its configuration the main script cannot work: the user reads the
        // server's replies, and nothing more goes up.
        context.window.ShowMessage(configUpload.transcript);
        return;
    }
    // Some hosts run CGI scripts without the chmod, or have no SITE command at all: the
    // run goes on, and the user hears of it once at the end.
    chmodRefusal = configUpload.chmodRefusal;

    // The main script goes up exactly as downloaded; the user reads the server's
    // replies to judge it, so this upload shows its transcript.
    const std::string mainScript = WorkingFile(shared.appDirectory, "klv.cgi");
    context.window.SetProgress(2, kSteps);
    const Result mainFetched =
        Download(context.config, VendorUrl(context.config.vendorBaseUrl, kMainScriptPath),
                 mainScript, kMaxVendorTextBytes);
    if (CancelRequested()) {
        return ReportCancelled(context, 2);
    }
    if (!mainFetched.ok()) {
        // A download that broke off leaves part of the script (or an older one) in the
        // working file: uploading it would put a broken script on the server.
        context.window.SetStatusLine(mainFetched.text());
        return;
    }
    context.window.SetProgress(3, kSteps);
    const ScriptUpload mainUpload =
        PutScript(context, account, Script(form, mainScript, "klv.cgi"), Transcript::Shown);
    ShowLogonFailure(context, mainUpload.logon);
    if (!chmodRefusal) {
        chmodRefusal = mainUpload.chmodRefusal;
    }
    if (CancelRequested()) {
        return ReportCancelled(context, 3);
    }
    context.window.SetProgress(kSteps, kSteps);
    if (mainUpload.logon.ok()) {
        context.window.OpenUrl(form.httpCgiPath.str() + std::string(kSetupPageQuery));
    }
}

}  // namespace

void OnInstallScript(const InstallerContext& context) {
    std::optional<std::string> chmodRefusal;
    InstallScripts(context, chmodRefusal);
    if (chmodRefusal && !CancelRequested()) {
        context.window.ShowMessage(std::string(kNotExecutable) + "\n" + *chmodRefusal);
    }
}

}  // namespace klv
