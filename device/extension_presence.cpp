// Extension detection through the "frix_pid_map" segment that a loader of libfrixext fills.
#include "device/extension_presence.h"

#include <atomic>
#include <functional>
#include <string>

#include <boost/container/options.hpp>
#include <boost/container/set.hpp>
#include <boost/interprocess/allocators/allocator.hpp>
#include <boost/interprocess/managed_shared_memory.hpp>

#include "frix/log.h"

namespace ipc = boost::interprocess;

namespace frix {

namespace {

// The writer registers the set under the mangled name of exactly this type.
using PidAllocator = ipc::allocator<int, ipc::managed_shared_memory::segment_manager>;
using PidSet = boost::container::set<int, std::less<int>, PidAllocator,
                                     boost::container::tree_opt<boost::container::red_black_tree, true>>;

constexpr const char* pid_map_segment_name = "frix_pid_map";
constexpr const char* pid_set_object_name =
    "N5boost9container3setIiSt4lessIiENS_12interprocess9allocatorIiNS4_15segment_managerIcNS4_"
    "15rbtree_best_fitINS4_12mutex_familyENS4_10offset_ptrIvlmLm0EEELm0EEENS4_10iset_indexEEEEE"
    "NS0_8tree_optILNS0_14tree_type_enumE0ELb1EEEEE";

// Shared by every device of the daemon; a race between devices can at worst repeat or
// skip one message.
std::atomic<int> last_reported_pid{0};

bool listed_in_pid_map(int pid) {
    ipc::managed_shared_memory map(ipc::open_only, pid_map_segment_name);
    const PidSet* pids = map.find<PidSet>(pid_set_object_name).first;
    return pids && pids->count(pid) != 0;
}

}  // namespace

bool check_extension_presence(int current_pid, int current_gid, int extension_check_disabled_pid,
                              unsigned int extension_presence) {
    const int pid = current_pid;
    if (pid == extension_check_disabled_pid) return true;
    if (extension_presence == 0) return false;
    if (extension_presence == 1) return true;

    bool found = false;
    try {
        found = listed_in_pid_map(pid);
    } catch (...) {
        FRIX_LOG(core, warning) << "Failed to check the presence of the extension module";
    }
    if (last_reported_pid.exchange(pid) == pid) return found;
    if (found) {
        FRIX_LOG(core, notice) << "Extension module detected!";
    } else {
        FRIX_LOG(core, notice)
            << "\nApparently the FRIX extension library (libfrixext.so) has not been preloaded "
               "by current application (pid="
            << pid << ", " << current_gid
            << ").\nYou may have to properly set the 'LD_PRELOAD' environmental variable.\nThe "
               "extension module gives enhanced support to many more Video4Linunx "
               "applications.\nPlease refer to the 'frix' manual for more informations,\n";
    }
    return found;
}

}  // namespace frix
