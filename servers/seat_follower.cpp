// The user active on a seat, as logind records it.
#include "seat_follower.h"

#include <pwd.h>
#include <systemd/sd-login.h>

#include <cstdlib>
#include <system_error>
#include <vector>

namespace frix::streaming {

SeatFollower::SeatFollower(std::string seat) : seat_(std::move(seat)) {
    const int made = sd_login_monitor_new("seat", &monitor_);
    if (made < 0) throw std::system_error(-made, std::generic_category(), "cannot watch " + seat_);
}

SeatFollower::~SeatFollower() { sd_login_monitor_unref(monitor_); }

int SeatFollower::fd() const { return sd_login_monitor_get_fd(monitor_); }

void SeatFollower::flush() { sd_login_monitor_flush(monitor_); }

std::optional<uid_t> SeatFollower::active_user() const {
    uid_t uid = 0;
    if (sd_seat_get_active(seat_.c_str(), nullptr, &uid) < 0) return std::nullopt;
    return uid;
}

std::string describe_user(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    const std::string number = "uid " + std::to_string(uid);
    return found ? std::string(found->pw_name) + " (" + number + ")" : number;
}

}  // namespace frix::streaming
