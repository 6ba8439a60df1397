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
           "- to use the USB video-class camera with vendor id 046d and product id 0825\n"
           "  and log to the syslog server on this host:\n"
           "    frix --driver v4l2cam --usb 046d:0825 --syslog-host\n"
           "  the device will be registered as /dev/frix\n\n"
           "- to run the camera on USB bus 1, port 1.4, with real-time scheduling\n"
           "  (administrator rights may be needed):\n"
           "    frix --auto-video_nr --sched-rr --mem-lock --driver v4l2cam --usb-path 1-1.4\n"
           "  the device will be registered as the first free /dev/videoX node\n\n"
           "- to run a camera encoding MJPEG with the streaming server on port 9000:\n"
           "    frix --driver v4l2cam --usb 046d:0825 --encoding mjpeg \\\n"
           "         --server-option '--port=9000' --server-option '--password=SECRET'\n\n"
           "- to run the streaming server alone on port 9000 for an existing device:\n"
           "    frix --external-driver --device-name video0 --server-option '--port=9000'\n"
           "\n'frix doctor [--device PATH]' tells why an application of yours sees no camera,\n"
           "and what to do.\n";
}

}  // namespace frix
