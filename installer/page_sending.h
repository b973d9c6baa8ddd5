// Sending Update Pages' listed pages: fetched ahead over one curl multi handle on a thread
// of their own, from before the first logon, and put on the host over several sessions at
// once, each on its own thread, while the run's thread keeps the window informed. Pages the host
// has as they are already (the record of earlier runs, installer/upload_record.h) go up no more.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/listing.h"
#include "installer/page_list.h"
#include "installer/run_result.h"
#include "installer/session.h"
#include "installer/upload_record.h"

namespace klv {

struct InstallerContext;

inline constexpr std::string_view kConnectionLost = "the connection to the server was lost";

// One listed page on its way from the vendor to the host.
struct ListedPage {
    std::string name;  // as the list has it
    PagePlan plan;
    std::string url;
    std::string localPath;  // its own working file
    std::string sha256;     // of the bytes that go up, when a record is kept
    bool sent = false;      // it went up in this run
};

// What the host held before the run, as far as the program knows: the record of the last
// runs and the pages directory as the host lists it now. Without a place for records
// (`directory` empty) every page goes up.
struct HostPages {
    std::string directory;
    RecordKey key;
    UploadRecord record;
    std::map<std::string, ftp::ListedFile> listed;

    [[nodiscard]] bool kept() const { return !directory.empty(); }
    // Whether `page` must go up: always, unless a record is kept that knows it as it is
    // here and there.
    [[nodiscard]] bool NeedsSending(const ListedPage& page) const;
};

// Update Pages' pages on their way: fetching starts as soon as the sender is made, while
// the first session logs on and lists the host; Send puts them up. The pages must outlive
// the sender.
struct PageCrew;  // what the fetch ahead, the sessions and the run's thread share

class PageSender {
public:
    PageSender(const InstallerContext& context, std::vector<ListedPage>& pages);
    PageSender(const PageSender&) = delete;
    PageSender& operator=(const PageSender&) = delete;
    // Stops the fetch and removes every page's working file (the blog page holds the
    // password), whether Send ran or not.
    ~PageSender();

    // Sends the listed pages that the host does not have as they are over up to
    // config.connections sessions, `first` among them already logged on, and fills
    // `result` in. Returns once every page is finished or the run was cancelled; every
    // session but `first` is logged off. Once per sender.
    void Send(const Account& account, Session& first, const HostPages& host, RunResult& result);

private:
    std::unique_ptr<PageCrew> crew_;
};

}  // namespace klv
