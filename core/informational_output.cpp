// Program information, driver list and usage text of frix.
#include "core/informational_output.h"

#include "core/options.h"

namespace frix {

void print_program_info(std::ostream& out) {
    out << "Frixcam\n"
           "A V4L2 capture device served from user space through CUSE\n"
           "Version " FRIX_VERSION " built on " __DATE__ "\n\n";
}

void print_driver_list(std::ostream& out, const std::vector<std::string>& names) {
    out << "List of statically built-in and registered drivers:\n";
    for (const std::string& name : names) out << name << '\n';
}

void print_usage(std::ostream& out) {
    out << "Usage: frix [ core or driver-specific options ]\n";
    out << command_line_options();
    out << "\nSpecify --driver-help to see driver-specific options.\n\nExamples:\n\n"
           "- to print the help messages of the pattern driver's modules:\n"
           "    frix --driver pattern --driver-help\n\n"
           "- to detect a USB video-class camera by its vendor and product id and log to\n"
           "  the syslog server on this host:\n"
           "    frix --driver uvc --device-id 046d:0825 --syslog-host\n"
           "  the device will be registered as /dev/frix\n\n"
           "- to run a driver with real-time scheduling (administrator rights may be\n"
           "  needed):\n"
           "    frix --auto-video_nr --sched-rr --mem-lock --driver uvc --bus-path 1-1.4\n"
           "  the device will be registered as the first free /dev/videoX node\n\n"
           "- to run a camera driver encoding MJPEG with the streaming server on port 9000:\n"
           "    frix --driver pattern --encoding mjpeg --server-option '--port=9000' \\\n"
           "         --server-option '--admin-password=frix'\n\n"
           "- to run the streaming server alone on port 9000 for an existing device:\n"
           "    frix --external-driver --device-name video0 --server-option '--port=9000'\n";
}

}  // namespace frix
