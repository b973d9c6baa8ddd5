// Install Script: capture the form, check it, fetch and fill the configuration script,
// upload both scripts and make them executable, then open the set-up page. A refused
// chmod is named once at the end; a refused upload stops the run.
#include <optional>
#include <string>
#include <string_view>

#include "base/cancel.h"
#include "installer/fetch_status.h"
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

SessionArguments ScriptUpload(const FormData& form, std::string localPath,
                              std::string_view fileName) {
    SessionArguments arguments;
    arguments.server = form.ftpServer.str();
    arguments.user = form.ftpUser.str();
    arguments.password = form.ftpPassword.str();
    arguments.localPath = std::move(localPath);
    arguments.remotePath = form.cgiPath.str() + "/" + std::string(fileName);
    arguments.binary = 0;
    arguments.chmodAfter = 1;
    return arguments;
}

// showTranscript is 1 exactly while the guarded upload runs, however it ends.
class TranscriptShown {
public:
    explicit TranscriptShown(int& flag) : flag_(flag) { flag_ = 1; }
    ~TranscriptShown() { flag_ = 0; }
    TranscriptShown(const TranscriptShown&) = delete;
    TranscriptShown& operator=(const TranscriptShown&) = delete;

private:
    int& flag_;
};

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

    const std::string configScript = WorkingFile(shared.appDirectory, "klvcfg.cgi");
    context.window.SetProgress(0, kSteps);
    context.window.SetStatusLine(kDownloadingScript);
    FetchUrlToFile(shared, VendorUrl(context.config.vendorBaseUrl, kScriptTemplatePath),
                   configScript, context.config.idleTimeout, kMaxVendorTextBytes);
    if (CancelRequested()) {
        return ReportCancelled(context, 0);
    }
    if (!shared.statusText.empty()) {
        context.window.SetStatusLine(shared.statusText.view());
        return;
    }
    std::string writeFailure;
    if (!FillScriptTemplate(configScript, form, &writeFailure)) {
        if (!writeFailure.empty()) {
            // A script cut short (disk full, a file-size limit) must not go up.
            shared.statusText = writeFailure;
            context.window.SetStatusLine(shared.statusText.view());
        }
        return;
    }

    context.window.SetProgress(1, kSteps);
    context.window.SetStatusLine(kUploadingScript);
    UploadReport configUpload;
    const bool loggedOn =
        UploadOnce(context, ScriptUpload(form, configScript, "klvcfg.cgi"), &configUpload);
    if (CancelRequested()) {
        return ReportCancelled(context, 1);
    }
    context.window.SetStatusLine(shared.statusText.view());
    if (!loggedOn) {
        return;
    }
    if (!configUpload.landed) {
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
    FetchUrlToFile(shared, VendorUrl(context.config.vendorBaseUrl, kMainScriptPath), mainScript,
                   context.config.idleTimeout, kMaxVendorTextBytes);
    if (CancelRequested()) {
        return ReportCancelled(context, 2);
    }
    if (!shared.statusText.empty()) {
        // A download that broke off leaves part of the script (or an older one) in the
        // working file: uploading it would put a broken script on the server.
        context.window.SetStatusLine(shared.statusText.view());
        return;
    }
    context.window.SetProgress(3, kSteps);
    bool mainLoggedOn = false;
    UploadReport mainUpload;
    {
        const TranscriptShown transcript(shared.showTranscript);
        mainLoggedOn = UploadOnce(context, ScriptUpload(form, mainScript, "klv.cgi"), &mainUpload);
    }
    if (!chmodRefusal) {
        chmodRefusal = mainUpload.chmodRefusal;
    }
    if (CancelRequested()) {
        return ReportCancelled(context, 3);
    }
    context.window.SetProgress(kSteps, kSteps);
    if (mainLoggedOn) {
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
