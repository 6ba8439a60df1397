// Leaving root for good.
#include "privilege_drop.h"

#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace frix::streaming {

std::string drop_privileges(long uid, long gid, long extra_group, const std::string& purpose) {
    if (uid <= 0 || gid < 0) return "needs an unprivileged --uid and a --gid";
    const bool already = ::getuid() == uid && ::geteuid() == uid && ::getgid() == gid &&
                         ::getegid() == gid && extra_group < 0;
    if (!already) {
        const gid_t extra = static_cast<gid_t>(extra_group);
        if (::setgroups(extra_group >= 0 ? 1 : 0, &extra) != 0 ||
            ::setgid(static_cast<gid_t>(gid)) != 0 || ::setuid(static_cast<uid_t>(uid)) != 0) {
            const int error = errno;
            // Under frix@.service the bounding set leaves these out unless a drop-in adds them.
            const std::string hint =
                error == EPERM ? " (frix needs CAP_SETUID and CAP_SETGID " + purpose + ")" : "";
            return "cannot become user " + std::to_string(uid) + ": " + std::strerror(error) + hint;
        }
    }
    if (::setuid(0) == 0 || ::geteuid() != static_cast<uid_t>(uid) ||
        ::getegid() != static_cast<gid_t>(gid))
        return "could not drop root's privileges";
    ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    // Set after the drop, which clears it: the child goes with the daemon.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    return {};
}

}  // namespace frix::streaming
