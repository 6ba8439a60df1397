// How the daemon's children leave root before they touch the network.
#pragma once

#include <sys/types.h>

#include <string>

namespace frix::streaming {

// Becomes `uid`/`gid` with no supplementary group but `extra_group` (-1: none), checks
// that root cannot come back, then sets no-new-privileges and dies with its parent. A
// process that already is that user only does the last two. Returns why it failed, or
// an empty string; `purpose` ends the hint for a missing capability ("to publish").
std::string drop_privileges(long uid, long gid, long extra_group, const std::string& purpose);

}  // namespace frix::streaming
