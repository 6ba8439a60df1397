// Slows down whoever keeps guessing the password, one client address at a time.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <chrono>
#include <cstddef>
#include <vector>

namespace frix::streaming {

// After `free_failures` wrong credentials from one address within a minute, each further
// attempt from it is answered no sooner than a second after it came, twice as late after
// each further failure, at most a minute; a right credential forgets the address. The
// table holds a bounded number of addresses: a full one forgets the quietest.
class GuessThrottle {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr unsigned free_failures = 5;
    static constexpr std::chrono::seconds first_delay{1};
    static constexpr std::chrono::seconds longest_delay{60};
    static constexpr std::chrono::seconds window{60};

    explicit GuessThrottle(std::size_t capacity = 1024) : capacity_(capacity) {}

    // How long an attempt from address that comes now waits before it is answered.
    Clock::duration delay(const boost::asio::ip::address& address, Clock::time_point now) const;

    struct Failure {
        unsigned recent = 0;      // wrong credentials from the address in the window
        Clock::duration next{};   // what its next attempt waits
        bool notice_due = false;  // at most one notice a minute per address
    };
    Failure failed(const boost::asio::ip::address& address, Clock::time_point now);
    void succeeded(const boost::asio::ip::address& address);

private:
    struct Entry {
        boost::asio::ip::address address;
        unsigned failures = 0;
        Clock::time_point last_failure{};
        Clock::time_point last_notice{};
        bool noticed = false;
    };
    static Clock::duration delay_after(unsigned failures);
    // Failures end when the address has been quiet for the window after its last wait.
    static bool expired(const Entry& entry, Clock::time_point now);
    std::vector<Entry>::const_iterator find(const boost::asio::ip::address& address) const;

    std::size_t capacity_;
    std::vector<Entry> entries_;
};

}  // namespace frix::streaming
