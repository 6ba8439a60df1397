// Entry point of the frix daemon.
#include "core/guarded_run.h"
#include "core/startup.h"

int main(int argc, char* argv[]) {
    return frix::run_guarded([argc, argv] { return frix::start(argc, argv); });
}
