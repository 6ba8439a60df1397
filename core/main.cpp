// Entry point of the frix daemon, and of `frix doctor`.
#include <cstring>

#include "core/guarded_run.h"
#include "core/startup.h"
#include "doctor/doctor.h"

int main(int argc, char* argv[]) {
    // Before the daemon's options: the doctor shares none of them.
    if (argc > 1 && std::strcmp(argv[1], "doctor") == 0)
        return frix::run_guarded([argc, argv] { return frix::doctor::run(argc - 1, argv + 1); });
    return frix::run_guarded([argc, argv] { return frix::start(argc, argv); });
}
