// `frix doctor`: tells a user why a frix camera does or does not reach their apps.
#pragma once

namespace frix::doctor {

// argv[0] is "doctor". Returns 0 when every node looked at can stream to the caller's
// apps, 1 otherwise.
int run(int argc, char* argv[]);

}  // namespace frix::doctor
