// Where the preload library comes from: a given environment, preload file and PATH.
#include "doctor/preload.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace frix::doctor {
namespace {

namespace fs = std::filesystem;

const std::string library = FRIX_EXT;
const std::string no_file = "/nonexistent/ld.so.preload";

TEST(PreloadFacts, EnvironmentEntriesThatNameTheLibrary) {
    PreloadFacts facts = preload_facts(std::nullopt, no_file, "");
    EXPECT_FALSE(facts.environment_set);
    EXPECT_TRUE(facts.environment_libraries.empty());
    EXPECT_FALSE(facts.system_file_exists);

    facts = preload_facts("libasan.so.8 " + library + ":/missing/libfrixext.so", no_file, "");
    EXPECT_TRUE(facts.environment_set);
    EXPECT_EQ(facts.environment_libraries, std::vector<std::string>{library});

    // A bare name is the loader's to find.
    EXPECT_EQ(preload_facts("libfrixext.so", no_file, "").environment_libraries,
              std::vector<std::string>{"libfrixext.so"});
    EXPECT_TRUE(preload_facts("/usr/lib/libother.so", no_file, "").environment_libraries.empty());
}

TEST(PreloadFacts, SystemPreloadFile) {
    char name[] = "/tmp/doctor_preload.XXXXXX";
    const int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    ::close(fd);
    std::ofstream(name) << "/usr/lib/libsomething.so\n";
    PreloadFacts facts = preload_facts(std::nullopt, name, "");
    EXPECT_TRUE(facts.system_file_exists);
    EXPECT_TRUE(facts.system_libraries.empty());
    std::ofstream(name, std::ios::app) << library << "\n";
    facts = preload_facts(std::nullopt, name, "");
    EXPECT_EQ(facts.system_libraries, std::vector<std::string>{library});
    ::unlink(name);
}

TEST(PreloadFacts, FrixRunOnPathAndTheLibraryItPreloads) {
#ifdef FRIX_SANITIZED
    GTEST_SKIP() << "frix-run preloads an instrumented library, which plain programs refuse";
#endif
    const std::string folder = fs::path(FRIX_RUN).parent_path().string();
    const PreloadFacts facts = preload_facts(std::nullopt, no_file, "/nonexistent:" + folder);
    EXPECT_EQ(facts.frix_run, FRIX_RUN);
    EXPECT_EQ(facts.frix_run_library, fs::canonical(library).string());
}

TEST(PreloadFacts, NoFrixRunOnPathIsNoLibrary) {
    const PreloadFacts facts = preload_facts(std::nullopt, no_file, "/nonexistent");
    EXPECT_EQ(facts.frix_run, "");
    EXPECT_EQ(facts.frix_run_library, "");
}

}  // namespace
}  // namespace frix::doctor
