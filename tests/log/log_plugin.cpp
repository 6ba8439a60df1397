// A plug-in that logs through the driver logger it reaches in the program that loads it.
#include "frix/log.h"

extern "C" void log_from_plugin() { FRIX_LOG(driver, warning) << "from a plug-in"; }
