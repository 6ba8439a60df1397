// Loading drivers and the streaming server from plug-in libraries.
#include "plugins/loader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "plugins/registry.h"
#include "tests/plugins/plugin_dirs.h"
#include "tests/support/log_capture.h"

namespace frix {
namespace {

using test::driver_dir;
using test::is_loaded;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class NullDriver : public Driver {
public:
    void enum_fmt(v4l2_fmtdesc&) override {}
    void get_fmt(v4l2_format&) override {}
    void set_fmt(v4l2_format&) override {}
};

// Each test starts and ends with no plug-in library held and its own names removed,
// so tests do not depend on the order they run in.
class LoaderTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (const auto& name : names_) Registration::deregister_driver(name);
        driver_library().reset();
        server_library().reset();
    }

    void add_driver(const std::string& name, const DriverFactory& factory) {
        Registration::register_driver(name, factory, {});
        names_.push_back(name);
    }

    static std::string path(const std::string& name) { return driver_dir + "/lib" + name + ".so"; }
    static std::string missing(const std::string& file) {
        return "<warning> [core] " + file +
               ": cannot open shared object file: No such file or directory";
    }
    static std::string trying(const std::string& name) {
        return "<notice> [core] Trying to loading driver '" + name + "' from built-in drivers...";
    }
    static std::string loading(const std::string& name) {
        return "<notice> [core] Loading driver '" + name + "' from external plug-in's...";
    }

    test::LogCapture log;

private:
    std::vector<std::string> names_;
};

std::string format_of(Driver& driver) {
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    driver.get_fmt(fmt);
    return std::to_string(fmt.fmt.pix.width) + "x" + std::to_string(fmt.fmt.pix.height);
}

TEST_F(LoaderTest, MissingLibraryIsSkippedAndTheNextNameLoads) {
    auto driver = load_driver({}, driver_dir, {"nosuch", "minimal"});
    ASSERT_TRUE(driver);
    EXPECT_EQ(format_of(*driver), "320x240");
    EXPECT_THAT(log.lines(), ElementsAre(trying("nosuch"), loading("nosuch"),
                                         missing(path("nosuch")), trying("minimal"),
                                         loading("minimal"), "<notice> [core] Device detected!"));
    EXPECT_TRUE(is_loaded(path("minimal")));
    EXPECT_THAT(driver_names(), ElementsAre("minimal"));

    driver.reset();
    driver_library().reset();
    EXPECT_FALSE(is_loaded(path("minimal")));
    EXPECT_THAT(driver_names(), IsEmpty()) << "unloading did not deregister";
}

TEST_F(LoaderTest, LibraryRegisteringAnotherNameCountsAsNoDeviceAndIsClosed) {
    auto driver = load_driver({}, driver_dir, {"misnamed", "minimal"});
    ASSERT_TRUE(driver);
    EXPECT_EQ(format_of(*driver), "320x240");
    EXPECT_THAT(log.lines(), ElementsAre(trying("misnamed"), loading("misnamed"), trying("minimal"),
                                         loading("minimal"), "<notice> [core] Device detected!"));
    EXPECT_FALSE(is_loaded(path("misnamed")));
    EXPECT_THAT(driver_names(), ElementsAre("minimal"));
}

TEST_F(LoaderTest, EmptyFactoryResultsForEveryNameMeanNoDevice) {
    try {
        load_driver({}, driver_dir, {"empty", "misnamed"});
        FAIL() << "load_driver returned";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "No device detected");
    }
    EXPECT_THAT(log.lines(), ElementsAre(trying("empty"), loading("empty"),
                                         "<info> [driver] empty: no device here",
                                         trying("misnamed"), loading("misnamed")));
    EXPECT_FALSE(is_loaded(path("empty")));
    EXPECT_FALSE(is_loaded(path("misnamed")));
}

TEST_F(LoaderTest, ThrowingFactoryStopsLoadingAndIsLoggedWithItsOptions) {
    try {
        load_driver({"--a", "b", "c d"}, driver_dir, {"throwing", "minimal"});
        FAIL() << "load_driver returned";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "throwing driver refuses: --a b c d");
    }
    EXPECT_THAT(log.lines(), ElementsAre(trying("throwing"), loading("throwing"),
                                         "<error> [core] throwing driver refuses: --a b c d"));
    EXPECT_FALSE(is_loaded(path("minimal")));
}

TEST_F(LoaderTest, EmptyDirectoryOpensTheBareFileName) {
    if (!test::runpath_search_works) GTEST_SKIP() << "dlopen does not see the run-time path";
    // The bare name is searched on the test program's run-time path, which holds the
    // test plug-ins, and the loader's error names exactly the file it was given.
    auto driver = load_driver({}, "", {"nosuch", "minimal"});
    ASSERT_TRUE(driver);
    EXPECT_THAT(log.lines(), ::testing::Contains(missing("libnosuch.so")));
}

TEST_F(LoaderTest, DirectoryIsJoinedByPathRules) {
    EXPECT_THROW(load_driver({}, driver_dir + "/", {"nosuch"}), std::runtime_error);
    EXPECT_THROW(load_driver({}, "relative/dir", {"nosuch"}), std::runtime_error);
    EXPECT_THAT(log.lines(),
                ::testing::AllOf(::testing::Contains(missing(path("nosuch"))),
                                 ::testing::Contains(missing("relative/dir/libnosuch.so"))));
}

TEST_F(LoaderTest, RegisteredNameIsCreatedWithoutOpeningALibrary) {
    std::vector<std::string> seen;
    add_driver("minimal", [&](std::vector<std::string> options) {
        seen = options;
        return std::make_shared<NullDriver>();
    });
    auto driver = load_driver({"-x", "1"}, driver_dir, {"minimal"});
    ASSERT_TRUE(driver);
    EXPECT_THAT(seen, ElementsAre("-x", "1"));
    EXPECT_THAT(log.lines(), ElementsAre(trying("minimal"), "<notice> [core] Device detected!"));
    EXPECT_FALSE(is_loaded(path("minimal")));
}

TEST_F(LoaderTest, RegisteredNameWithoutDeviceDoesNotTryItsLibrary) {
    add_driver("minimal", [](std::vector<std::string>) { return std::shared_ptr<Driver>(); });
    EXPECT_THROW(load_driver({}, driver_dir, {"minimal"}), std::runtime_error);
    EXPECT_THAT(log.lines(), ElementsAre(trying("minimal")));
    EXPECT_FALSE(is_loaded(path("minimal")));
}

TEST_F(LoaderTest, WithoutNamesEveryRegisteredDriverIsTriedInOrder) {
    std::vector<std::string> tried;
    auto factory = [&tried](std::string name, bool device) {
        return [&tried, name, device](std::vector<std::string>) -> std::shared_ptr<Driver> {
            tried.push_back(name);
            return device ? std::make_shared<NullDriver>() : nullptr;
        };
    };
    add_driver("b", factory("b", true));
    add_driver("a", factory("a", false));
    add_driver("c", factory("c", true));
    EXPECT_TRUE(load_driver({}, driver_dir, {}));
    EXPECT_THAT(tried, ElementsAre("a", "b"));
    EXPECT_THAT(log.lines(), ElementsAre("<notice> [core] Device detected!"));
}

TEST_F(LoaderTest, WithoutNamesAndNothingRegisteredNoDeviceIsFound) {
    EXPECT_THROW(load_driver({}, driver_dir, {}), std::runtime_error);
    EXPECT_THAT(log.lines(), IsEmpty());
}

// A factory's own std::out_of_range is its failure, not an unknown name: it is
// reported, and the library of the same name is not opened to ask once more.
TEST_F(LoaderTest, FactoryOutOfRangeIsAFactoryFailure) {
    int calls = 0;
    add_driver("minimal", [&calls](std::vector<std::string>) -> std::shared_ptr<Driver> {
        ++calls;
        throw std::out_of_range("stoi");
    });
    EXPECT_THROW(load_driver({}, driver_dir, {"minimal"}), std::out_of_range);
    EXPECT_THROW(load_driver({}, driver_dir, {}), std::out_of_range);
    EXPECT_EQ(calls, 2);
    EXPECT_THAT(log.lines(),
                ElementsAre(trying("minimal"), "<error> [core] stoi", "<error> [core] stoi"));
    EXPECT_FALSE(is_loaded(path("minimal")));
}

// The logging library keeps each channel logger in storage built by whichever module
// asks first; a plug-in that logged before the program did and was then unloaded
// must not leave exit calling into its unmapped code.
TEST(PluginLoggingTest, ExitIsCleanAfterALoggingPluginWasUnloaded) {
    EXPECT_EXIT(
        {
            try {
                load_driver({}, driver_dir, {"empty"});
            } catch (const std::runtime_error&) {
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

class ServerLoaderTest : public LoaderTest {
protected:
    void SetUp() override { std::remove(record.c_str()); }
    void TearDown() override {
        LoaderTest::TearDown();
        std::remove(record.c_str());
    }

    std::string recorded() const {
        std::ifstream in(record);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    const std::string record = ::testing::TempDir() + "frix_server_record.txt";
    const std::string trying_server =
        "<notice> [core] Trying to load the the Streaming Server plug-in...";
};

TEST_F(ServerLoaderTest, LoadsCreatesAndPassesTheOptions) {
    auto server = load_server({"--record", record}, test::server_dir);
    ASSERT_TRUE(server);
    server->start("video7");
    server->stop();
    EXPECT_EQ(recorded(), "start video7\nstop\n");
    EXPECT_THAT(log.lines(), ElementsAre(trying_server, "<notice> [core] Streaming Server loaded!",
                                         "<info> [server] recorded start video7",
                                         "<info> [server] recorded stop"));
    server.reset();
    EXPECT_TRUE(is_loaded(test::server_dir + "/libserver.so"));
}

TEST_F(ServerLoaderTest, MissingLibraryMeansNoServer) {
    try {
        load_server({}, test::empty_dir);
        FAIL() << "load_server returned";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "No Streaming Server detected");
    }
    EXPECT_THAT(log.lines(),
                ElementsAre(trying_server, missing(test::empty_dir + "/libserver.so")));
}

TEST_F(ServerLoaderTest, EmptyFactoryResultMeansNoServer) {
    try {
        load_server({}, test::broken_server_dir);
        FAIL() << "load_server returned";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "No Streaming Server detected");
    }
    EXPECT_THAT(log.lines(), ElementsAre(trying_server));
}

TEST_F(ServerLoaderTest, ThrowingFactoryClosesTheLibraryAndPassesTheError) {
    EXPECT_THROW(load_server({"--port=9000"}, test::server_dir), std::invalid_argument);
    EXPECT_THAT(log.lines(),
                ElementsAre(trying_server, "<error> [core] recording server needs --record FILE"));
    EXPECT_FALSE(is_loaded(test::server_dir + "/libserver.so"));
    EXPECT_THAT(server_registry().names(), IsEmpty());
}

}  // namespace
}  // namespace frix
