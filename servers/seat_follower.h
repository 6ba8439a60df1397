// The user active on a seat, as logind records it, and a descriptor that wakes when that
// may have changed (a user switch, a login, a logout).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

struct sd_login_monitor;

namespace frix::streaming {

class SeatFollower {
public:
    // Throws std::system_error when logind's records cannot be watched (no logind).
    explicit SeatFollower(std::string seat);
    ~SeatFollower();
    SeatFollower(const SeatFollower&) = delete;
    SeatFollower& operator=(const SeatFollower&) = delete;

    const std::string& seat() const { return seat_; }
    // Readable when the seat's records changed; flush() once it woke.
    int fd() const;
    void flush();
    // Unset while nobody is active on the seat, or the seat does not exist.
    std::optional<uid_t> active_user() const;

private:
    const std::string seat_;
    sd_login_monitor* monitor_ = nullptr;
};

// "alice (uid 1000)", or "uid 1000" for a uid without a name.
std::string describe_user(uid_t uid);

}  // namespace frix::streaming
