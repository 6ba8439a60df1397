// frix from its command line to the end of its run.
#pragma once

namespace frix {

// Everything main does inside its handlers; the result is the exit status.
int start(int argc, char* argv[]);

}  // namespace frix
