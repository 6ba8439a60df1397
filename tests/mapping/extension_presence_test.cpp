// Whether a client counts as carrying libfrixext: the modes, the pid map and the messages.
#include "device/extension_presence.h"

#include <typeinfo>

#include <boost/container/options.hpp>
#include <boost/container/set.hpp>
#include <boost/interprocess/allocators/allocator.hpp>
#include <boost/interprocess/managed_shared_memory.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <gtest/gtest.h>

#include "log_capture.h"

namespace frix::test {
namespace {

namespace ipc = boost::interprocess;

// What a writer of the pid map stores, spelled out on its own.
using PidSet = boost::container::set<
    int, std::less<int>, ipc::allocator<int, ipc::managed_shared_memory::segment_manager>,
    boost::container::tree_opt<boost::container::red_black_tree, true>>;
const char* const pid_set_name =
    "N5boost9container3setIiSt4lessIiENS_12interprocess9allocatorIiNS4_15segment_managerIcNS4_"
    "15rbtree_best_fitINS4_12mutex_familyENS4_10offset_ptrIvlmLm0EEELm0EEENS4_10iset_indexEEEEE"
    "NS0_8tree_optILNS0_14tree_type_enumE0ELb1EEEEE";

const std::string detected = "<notice> [core] Extension module detected!";
const std::string failed = "<warning> [core] Failed to check the presence of the extension module";

std::string absent_message(int pid, int gid) {
    return "<notice> [core] \nApparently the FRIX extension library (libfrixext.so) has not "
           "been preloaded by current application (pid=" +
           std::to_string(pid) + ", " + std::to_string(gid) +
           ").\nYou may have to properly set the 'LD_PRELOAD' environmental variable.\nThe "
           "extension module gives enhanced support to many more Video4Linunx applications.\n"
           "Please refer to the 'frix' manual for more informations,\n";
}

// The segment "frix_pid_map", made the way an outside writer would; gone afterwards.
class PidMap {
public:
    explicit PidMap(std::initializer_list<int> pids, bool with_set = true) {
        ipc::shared_memory_object::remove("frix_pid_map");
        segment_ = std::make_unique<ipc::managed_shared_memory>(ipc::create_only, "frix_pid_map",
                                                                 65536);
        if (!with_set) return;
        PidSet* set = segment_->construct<PidSet>(pid_set_name)(std::less<int>(),
                                                                segment_->get_segment_manager());
        for (int pid : pids) set->insert(pid);
    }
    ~PidMap() {
        segment_.reset();
        ipc::shared_memory_object::remove("frix_pid_map");
    }

private:
    std::unique_ptr<ipc::managed_shared_memory> segment_;
};

class ExtensionPresenceTest : public ::testing::Test {
protected:
    void SetUp() override { ipc::shared_memory_object::remove("frix_pid_map"); }
    LogCapture log;
};

TEST(ExtensionPresenceTypes, ThePidSetIsRegisteredUnderTheMangledNameOfItsType) {
    EXPECT_STREQ(typeid(PidSet).name(), pid_set_name);
}

TEST_F(ExtensionPresenceTest, FixedModesDoNotLookAtThePidMap) {
    PidMap map({7001});
    EXPECT_TRUE(check_extension_presence(7002, 10, -1, 1));
    EXPECT_FALSE(check_extension_presence(7001, 10, -1, 0));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ExtensionPresenceTest, AClientThatDisabledTheCheckPassesInEveryMode) {
    for (unsigned int mode : {0u, 1u, 2u}) EXPECT_TRUE(check_extension_presence(7101, 10, 7101, mode));
    EXPECT_FALSE(check_extension_presence(7102, 10, 7101, 0));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ExtensionPresenceTest, WithoutAPidMapEveryCallWarnsAndTheClientIsToldOnce) {
    EXPECT_FALSE(check_extension_presence(7201, 20, -1, 2));
    EXPECT_FALSE(check_extension_presence(7201, 20, -1, 2));
    EXPECT_FALSE(check_extension_presence(7201, 20, -1, 2));
    EXPECT_EQ(log.count(failed), 3);
    EXPECT_EQ(log.count(absent_message(7201, 20)), 1);

    EXPECT_FALSE(check_extension_presence(7202, 21, -1, 2));
    EXPECT_FALSE(check_extension_presence(7201, 20, -1, 2));
    EXPECT_EQ(log.count(absent_message(7202, 21)), 1);
    EXPECT_EQ(log.count(absent_message(7201, 20)), 2) << "told again after another client";
    EXPECT_EQ(log.lines().size(), 8u);
}

TEST_F(ExtensionPresenceTest, AListedClientIsDetectedOnce) {
    PidMap map({7301, 7302});
    EXPECT_TRUE(check_extension_presence(7301, 30, -1, 2));
    EXPECT_TRUE(check_extension_presence(7301, 30, -1, 2));
    EXPECT_EQ(log.count(detected), 1);
    EXPECT_TRUE(check_extension_presence(7302, 30, -1, 2));
    EXPECT_EQ(log.count(detected), 2);
    EXPECT_EQ(log.lines().size(), 2u);
}

TEST_F(ExtensionPresenceTest, AnUnlistedClientIsToldOnceWithoutAWarning) {
    PidMap map({7401});
    EXPECT_FALSE(check_extension_presence(7402, 40, -1, 2));
    EXPECT_FALSE(check_extension_presence(7402, 40, -1, 2));
    EXPECT_EQ(log.count(absent_message(7402, 40)), 1);
    EXPECT_EQ(log.count(failed), 0);
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST_F(ExtensionPresenceTest, APidMapWithoutTheSetCountsAsAbsent) {
    PidMap map({}, false);
    EXPECT_FALSE(check_extension_presence(7501, 50, -1, 2));
    EXPECT_EQ(log.count(absent_message(7501, 50)), 1);
    EXPECT_EQ(log.count(failed), 0);
}

}  // namespace
}  // namespace frix::test
