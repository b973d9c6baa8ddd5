#include "installer/page_board.h"

#include <algorithm>
#include <utility>

namespace klv {

PageBoard::PageBoard(std::size_t pages, int sessions)
    : pages_(pages), fetching_(pages), sessions_(sessions) {}

void PageBoard::Fetched(std::size_t index) {
    {
        const std::lock_guard lock(mutex_);
        if (pages_[index].state != State::Fetching) {
            return;
        }
        pages_[index].state = State::Ready;
        --fetching_;
    }
    changed_.notify_all();
}

void PageBoard::Failed(std::size_t index, std::string reason) {
    {
        const std::lock_guard lock(mutex_);
        FinishLocked(index, std::move(reason));
    }
    changed_.notify_all();
}

std::optional<std::size_t> PageBoard::Take(std::optional<std::size_t> givenBack) {
    std::unique_lock lock(mutex_);
    Page* claim = nullptr;  // the page this session waits for
    for (;;) {
        if (claim != nullptr && (closed_ || claim->state != State::Fetching)) {
            claim->claimed = false;  // fetched (then found by the scan below), or failed
            claim = nullptr;
        }
        if (closed_) {
            return std::nullopt;
        }
        // In list order: the first page fetched, or else the first still on its way that
        // no other session waits for. One session sends the pages in list order.
        for (std::size_t index = 0; index < pages_.size() && claim == nullptr; ++index) {
            Page& page = pages_[index];
            if (page.state == State::Ready && (index != givenBack || sessions_ < 2)) {
                page.state = State::Taken;
                ++taken_;
                return index;
            }
            if (page.state == State::Fetching && !page.claimed) {
                page.claimed = true;
                claim = &page;
            }
        }
        if (claim == nullptr && fetching_ == 0 && taken_ == 0) {
            return std::nullopt;  // nothing more will come
        }
        changed_.wait(lock);
    }
}

void PageBoard::Announce(std::string status) {
    {
        const std::lock_guard lock(mutex_);
        status_ = std::move(status);
        news_ = true;
    }
    changed_.notify_all();
}

void PageBoard::Landed(std::size_t index) {
    {
        const std::lock_guard lock(mutex_);
        FinishLocked(index, std::nullopt);
    }
    changed_.notify_all();
}

void PageBoard::PutBack(std::size_t index) {
    {
        const std::lock_guard lock(mutex_);
        if (pages_[index].state == State::Taken) {
            pages_[index].state = State::Ready;
            --taken_;
        }
    }
    changed_.notify_all();
}

bool PageBoard::GiveBack(std::size_t index) {
    {
        const std::lock_guard lock(mutex_);
        Page& page = pages_[index];
        if (page.givenBack || sessions_ < 2 || page.state != State::Taken) {
            return false;
        }
        page.givenBack = true;
        page.state = State::Ready;
        --taken_;
    }
    changed_.notify_all();
    return true;
}

void PageBoard::SessionEnded(std::optional<std::string> reason) {
    {
        const std::lock_guard lock(mutex_);
        if (--sessions_ == 0 && reason) {
            for (std::size_t index = 0; index < pages_.size(); ++index) {
                FinishLocked(index, reason);
            }
        }
    }
    changed_.notify_all();
}

PageBoard::News PageBoard::AwaitNews(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, wait, [&] { return news_ || closed_; });
    News news{std::exchange(status_, std::nullopt), finished_, finished_ == pages_.size()};
    news_ = false;
    return news;
}

void PageBoard::Close() {
    {
        const std::lock_guard lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

PageBoard::Tally PageBoard::Count() const {
    const std::lock_guard lock(mutex_);
    Tally tally{finished_, {}};
    tally.failures.reserve(pages_.size());
    for (const Page& page : pages_) {
        tally.failures.push_back(page.failure);
    }
    return tally;
}

// Finishes a page that is not finished yet; a page finishes once.
void PageBoard::FinishLocked(std::size_t index, std::optional<std::string> failure) {
    Page& page = pages_[index];
    if (page.state == State::Finished) {
        return;
    }
    if (page.state == State::Fetching) {
        --fetching_;
    } else if (page.state == State::Taken) {
        --taken_;
    }
    page.state = State::Finished;
    page.failure = std::move(failure);
    ++finished_;
    news_ = true;
}

}  // namespace klv
