// The nine logon sequences as data: one small state machine per logon type, driven by
// the class of each reply (2 completed, 3 more needed; anything else ends the logon).
//
// Type 0 logs on to the target directly; types 1 to 8 dial a firewall or proxy and tell
// it the target in the ways such gateways expected (SITE host, USER user@host, OPEN
// host, ...). `host` below is the target host, with ":port" appended when the target's
// port is not 21.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace klv::ftp::logon {

// What a step sends.
enum class CommandKind {
    User = 0,                       // USER user
    Pass = 1,                       // PASS password
    Acct = 2,                       // ACCT account
    FirewallUser = 3,               // USER firewallUser
    FirewallPass = 4,               // PASS firewallPassword
    SiteHost = 5,                   // SITE host
    UserAtHost = 6,                 // USER user@host
    OpenHost = 7,                   // OPEN host
    FirewallUserAtHost = 8,         // USER firewallUser@host
    UserAtHostFirewallUser = 9,     // USER user@host firewallUser
    UserAtFirewallUserAtHost = 10,  // USER user@firewallUser@host
    PassAtFirewallPass = 11,        // PASS password@firewallPassword
};

// Where a transition leads: another step of the same sequence, or one of the two ends.
enum class Transition : std::uint8_t { NextStep, LoggedOn, Refused };

struct Next {
    Transition transition = Transition::Refused;
    std::size_t step = 0;  // for NextStep: the step's number in its sequence

    friend constexpr bool operator==(const Next&, const Next&) = default;
};

constexpr Next StepTo(std::size_t step) {
    return {Transition::NextStep, step};
}
inline constexpr Next kLoggedOn{Transition::LoggedOn};
inline constexpr Next kRefused{Transition::Refused};

struct LogonStep {
    CommandKind kind;
    Next onCompleted;   // after a class 2 reply
    Next onMoreNeeded;  // after a class 3 reply
};

inline constexpr std::size_t kMaxSteps = 6;
inline constexpr int kLogonTypeCount = 9;

struct LogonSequence {
    std::size_t stepCount;
    std::array<LogonStep, kMaxSteps> steps;
};

namespace detail {
using K = CommandKind;
inline constexpr Next ok = kLoggedOn;
inline constexpr Next no = kRefused;
}  // namespace detail

// clang-format off
inline constexpr std::array<LogonSequence, kLogonTypeCount> kSequences = {{
    // 0: straight to the target.
    {3, {{{detail::K::User, detail::ok, StepTo(1)},
          {detail::K::Pass, detail::ok, StepTo(2)},
          {detail::K::Acct, detail::ok, detail::no}}}},
    // 1: firewall logon, then SITE host; only a class 3 answer to SITE goes on.
    {6, {{{detail::K::FirewallUser, StepTo(2), StepTo(1)},
          {detail::K::FirewallPass, StepTo(2), detail::no},
          {detail::K::SiteHost, detail::no, StepTo(3)},
          {detail::K::User, detail::ok, StepTo(4)},
          {detail::K::Pass, detail::ok, StepTo(5)},
          {detail::K::Acct, detail::ok, detail::no}}}},
    // 2: firewall logon, then USER user@host.
    {5, {{{detail::K::FirewallUser, StepTo(2), StepTo(1)},
          {detail::K::FirewallPass, StepTo(2), detail::no},
          {detail::K::UserAtHost, detail::ok, StepTo(3)},
          {detail::K::Pass, detail::ok, StepTo(4)},
          {detail::K::Acct, detail::ok, detail::no}}}},
    // 3: OPEN host, then the target's own logon.
    {4, {{{detail::K::OpenHost, StepTo(1), StepTo(1)},
          {detail::K::User, detail::ok, StepTo(2)},
          {detail::K::Pass, detail::ok, StepTo(3)},
          {detail::K::Acct, detail::ok, detail::no}}}},
    // 4: firewall logon, then the target's own logon.
    {5, {{{detail::K::FirewallUser, StepTo(2), StepTo(1)},
          {detail::K::FirewallPass, StepTo(2), detail::no},
          {detail::K::User, detail::ok, StepTo(3)},
          {detail::K::Pass, detail::ok, StepTo(4)},
          {detail::K::Acct, detail::ok, detail::no}}}},
    // 5: USER user@host, no firewall logon.
    {3, {{{detail::K::UserAtHost, detail::ok, StepTo(1)},
          {detail::K::Pass, detail::ok, StepTo(2)},
          {detail::K::Acct, detail::ok, detail::no}}}},
    // 6: USER firewallUser@host and the firewall's PASS, then the target's logon.
    {5, {{{detail::K::FirewallUserAtHost, StepTo(2), StepTo(1)},
          {detail::K::FirewallPass, StepTo(2), detail::no},
          {detail::K::User, detail::ok, StepTo(3)},
          {detail::K::Pass, detail::ok, StepTo(4)},
          {detail::K::Acct, detail::ok, detail::no}}}},
    // 7: USER user@host firewallUser; only a class 3 answer goes on to PASS.
    {3, {{{detail::K::UserAtHostFirewallUser, detail::no, StepTo(1)},
          {detail::K::Pass, detail::ok, StepTo(2)},
          {detail::K::Acct, detail::ok, detail::no}}}},
    // 8: USER user@firewallUser@host, PASS with both passwords.
    {3, {{{detail::K::UserAtFirewallUserAtHost, detail::ok, StepTo(1)},
          {detail::K::PassAtFirewallPass, detail::ok, StepTo(2)},
          {detail::K::Acct, detail::ok, detail::no}}}},
}};
// clang-format on

// Every transition either ends the logon or moves to a later step of the same sequence,
// so a walk always ends, after at most kMaxSteps commands.
constexpr bool MovesForward(std::size_t from, Next to, std::size_t stepCount) {
    return to.transition != Transition::NextStep || (to.step > from && to.step < stepCount);
}

constexpr bool EveryTransitionMovesForward() {
    for (const LogonSequence& sequence : kSequences) {
        if (sequence.stepCount == 0 || sequence.stepCount > kMaxSteps) {
            return false;
        }
        for (std::size_t step = 0; step < sequence.stepCount; ++step) {
            const LogonStep& s = sequence.steps[step];
            if (!MovesForward(step, s.onCompleted, sequence.stepCount) ||
                !MovesForward(step, s.onMoreNeeded, sequence.stepCount)) {
                return false;
            }
        }
    }
    return true;
}
static_assert(EveryTransitionMovesForward(), "a logon transition must move forward or end");

}  // namespace klv::ftp::logon
