// What Update Pages' threads share while the pages go up: every listed page's state, the
// pages fetched and waiting for a session, the sessions still working, and what the window
// is to show next. The fetch ahead puts pages on the board, the sessions take them off in
// list order, and the run's own thread reads the news for the window. One mutex guards it
// all; nothing on the board waits on the network. (How far the fetch ahead may run is the
// fetch's own gate: web/fetch_many.h.)
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace klv {

class PageBoard {
public:
    // `pages` listed pages and `sessions` sessions working on them (counted from the start,
    // so that none is thought gone while it is still logging on).
    PageBoard(std::size_t pages, int sessions);

    // The fetch ahead: page `index` is ready to go up, or failed (and is finished).
    void Fetched(std::size_t index);
    void Failed(std::size_t index, std::string reason);

    // A session: the next page in list order, waiting until it is fetched (a page fetched
    // sooner goes first only to a session that no earlier page is left for); nothing once
    // every page is finished or the board is closed. (A session waits while another sends
    // a page: that session may lose its connection and give it back.)
    // A session that just gave `givenBack` back leaves it to the others while there are any.
    [[nodiscard]] std::optional<std::size_t> Take(std::optional<std::size_t> givenBack = {});
    // A session puts page `index` up (the status line names it).
    void Announce(std::string status);
    // Page `index` landed (or had no need to: it is there already).
    void Landed(std::size_t index);
    // A session that could not start on `index` (its logon was refused) puts it back.
    void PutBack(std::size_t index);
    // A session that lost its connection gives `index` back for another session to take,
    // once per page and only while another session works: true when it went back.
    [[nodiscard]] bool GiveBack(std::size_t index);
    // A session has stopped for good. When it was the last, every page not finished fails
    // with `reason`, if one is given (none after Cancel: those pages are not counted).
    void SessionEnded(std::optional<std::string> reason);

    // The run's thread: waits at most `wait` for news, then takes it. `status` holds the
    // latest "Uploading …" not yet shown; `finished` counts the finished pages.
    struct News {
        std::optional<std::string> status;
        std::size_t finished = 0;
        bool allFinished = false;
    };
    [[nodiscard]] News AwaitNews(std::chrono::milliseconds wait);
    // Stops every wait on the board for good: Cancel, or the end of the run.
    void Close();

    // How many pages are finished, and why each page did not land (nothing when it did or
    // is not finished), in list order.
    struct Tally {
        std::size_t finished = 0;
        std::vector<std::optional<std::string>> failures;
    };
    [[nodiscard]] Tally Count() const;

private:
    enum class State { Fetching, Ready, Taken, Finished };
    struct Page {
        State state = State::Fetching;
        bool givenBack = false;
        bool claimed = false;  // a session waits for it to be fetched
        std::optional<std::string> failure;
    };
    void FinishLocked(std::size_t index, std::optional<std::string> failure);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Page> pages_;
    std::size_t finished_ = 0;
    std::size_t fetching_ = 0;  // pages in State::Fetching, wherever they stand
    std::size_t taken_ = 0;     // pages in State::Taken
    int sessions_;
    std::optional<std::string> status_;
    bool news_ = false;
    bool closed_ = false;
};

}  // namespace klv
