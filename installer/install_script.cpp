// Install Script: capture the form, check it, fetch and fill the configuration script,
// upload both scripts and make them executable, then open the set-up page. A refused
// chmod is named once at the end; a refused upload stops the run.
#include <optional>
#include <string>
#include <string_view>
#include <utility>

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
// Fetch, upload, fetch, upload; the steps done when each upload starts.
constexpr int kSteps = 4;
constexpr int kConfigUploadStep = 1;
constexpr int kMainUploadStep = 3;

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

}  // namespace

RunResult InstallScript(const InstallerContext& context) {
    SharedState& shared = context.shared;
    const FormData& form = shared.formData;
    RunResult result;
    result.total = kSteps;
    CaptureForm(context.window, shared.formData, context.config.affiliateHopUrl);
    if (const std::string_view refusal = Refusal(form); !refusal.empty()) {
        return Ended(std::move(result), RunOutcome::Invalid, std::string(refusal));
    }
    if (std::string refusal = ServerFieldRefusal(form.ftpServer.view(), context.config.ftpPort);
        !refusal.empty()) {
        return Ended(std::move(result), RunOutcome::Invalid, std::move(refusal));
    }
    const Account account{form.ftpServer.str(), form.ftpUser.str(), form.ftpPassword.str()};

    const std::string configScript = WorkingFile(shared.appDirectory, "klvcfg.cgi");
    context.window.SetProgress(0, kSteps);
    context.window.SetStatusLine(kDownloadingScript);
    const Result configFetched =
        Download(context.config, VendorUrl(context.config.vendorBaseUrl, kScriptTemplatePath),
                 configScript, kMaxVendorTextBytes);
    if (CancelRequested()) {
        return Ended(std::move(result), RunOutcome::Cancelled);
    }
    if (!configFetched.ok()) {
        return Ended(std::move(result), RunOutcome::VendorFailed, configFetched.text());
    }
    if (FillResult filled = FillScriptTemplate(configScript, form);
        filled.outcome != Filling::Filled) {
        // A script cut short (disk full, a file-size limit) must not go up.
        return Ended(std::move(result), RunOutcome::LocalFailure, std::move(filled.failure));
    }

    // From here on, a step that is under way when Cancel comes is not counted, whether or
    // not it gets through.
    result.done = kConfigUploadStep;
    context.window.SetProgress(kConfigUploadStep, kSteps);
    context.window.SetStatusLine(kUploadingScript);
    const ScriptUpload configUpload =
        PutScript(context, account, Script(form, configScript, "klvcfg.cgi"), Transcript::Hidden);
    if (CancelRequested()) {
        return Ended(std::move(result), RunOutcome::Cancelled);
    }
    if (!configUpload.logon.ok()) {
        return Ended(std::move(result), RunOutcome::Refused, configUpload.logon.text());
    }
    context.window.SetStatusLine(kScriptUploadHint);
    result.replies = configUpload.replies;
    if (!configUpload.put.ok()) {
        // Without its configuration the main script cannot work: the user reads the
        // server's replies, and nothing more goes up.
        result.failedFiles.push_back({"klvcfg.cgi", configUpload.put.text()});
        return Ended(std::move(result), RunOutcome::FilesFailed,
                     TranscriptText(configUpload.replies));
    }
    // Some hosts run CGI scripts without the chmod, or have no SITE command at all: the
    // run goes on, and the user hears of it once at the end.
    result.chmodRefusal = configUpload.chmodRefusal;

    // The main script goes up exactly as downloaded; the user reads the server's
    // replies to judge it, so this upload shows its transcript.
    const std::string mainScript = WorkingFile(shared.appDirectory, "klv.cgi");
    result.done = 2;
    context.window.SetProgress(2, kSteps);
    const Result mainFetched =
        Download(context.config, VendorUrl(context.config.vendorBaseUrl, kMainScriptPath),
                 mainScript, kMaxVendorTextBytes);
    if (CancelRequested()) {
        return Ended(std::move(result), RunOutcome::Cancelled);
    }
    if (!mainFetched.ok()) {
        // A download that broke off leaves part of the script (or an older one) in the
        // working file: uploading it would put a broken script on the server.
        return Ended(std::move(result), RunOutcome::VendorFailed, mainFetched.text());
    }
    result.done = kMainUploadStep;
    context.window.SetProgress(kMainUploadStep, kSteps);
    const ScriptUpload mainUpload =
        PutScript(context, account, Script(form, mainScript, "klv.cgi"), Transcript::Shown);
    if (!result.chmodRefusal) {
        result.chmodRefusal = mainUpload.chmodRefusal;
    }
    if (CancelRequested()) {
        return Ended(std::move(result), RunOutcome::Cancelled);
    }
    result.done = kSteps;
    context.window.SetProgress(kSteps, kSteps);
    if (!mainUpload.logon.ok()) {
        return Ended(std::move(result), RunOutcome::Refused, mainUpload.logon.text());
    }
    result.replies = mainUpload.replies;
    result.setupPage = form.httpCgiPath.str() + std::string(kSetupPageQuery);
    if (!mainUpload.put.ok()) {
        // The user has read the replies; the set-up page shows what the host holds.
        result.failedFiles.push_back({"klv.cgi", mainUpload.put.text()});
        return Ended(std::move(result), RunOutcome::FilesFailed);
    }
    return result;
}

void ShowInstallScriptResult(Window& window, const RunResult& result) {
    switch (result.outcome) {
        case RunOutcome::Invalid:
            window.ShowMessage(result.text);
            return;
        case RunOutcome::Cancelled:
            window.SetStatusLine("Cancelled after " + std::to_string(result.done) + " of " +
                                 std::to_string(kSteps) + " steps");
            return;
        case RunOutcome::VendorFailed:
        case RunOutcome::LocalFailure:
            if (!result.text.empty()) {  // an unreadable template has nothing to add
                window.SetStatusLine(result.text);
            }
            break;
        case RunOutcome::Refused:
            window.ShowMessage(result.text);
            // The first refusal takes the status line; after the second the line keeps
            // the hint that the first upload left there.
            if (result.done == kConfigUploadStep) {
                window.SetStatusLine(result.text);
            }
            break;
        case RunOutcome::FilesFailed:
        case RunOutcome::Done:
            if (!result.text.empty()) {
                window.ShowMessage(result.text);  // the replies to a script that did not land
            }
            if (result.setupPage) {
                window.OpenUrl(*result.setupPage);
            }
            break;
    }
    if (result.chmodRefusal) {
        window.ShowMessage(std::string(kNotExecutable) + "\n" + *result.chmodRefusal);
    }
}

void OnInstallScript(const InstallerContext& context) {
    ShowInstallScriptResult(context.window, InstallScript(context));
}

}  // namespace klv
