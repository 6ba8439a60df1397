// Driver and server registries: order, replacement, lookup failures.
#include "plugins/registry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

namespace frix {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class NullDriver : public Driver {
public:
    explicit NullDriver(std::vector<std::string> given) : options(std::move(given)) {}
    void enum_fmt(v4l2_fmtdesc&) override {}
    void get_fmt(v4l2_format&) override {}
    void set_fmt(v4l2_format&) override {}
    std::vector<std::string> options;
};

// Registers names for one test and removes them afterwards, whatever happened.
class RegistryTest : public ::testing::Test {
protected:
    void add_driver(const std::string& name, const DriverFactory& factory,
                    const HelpFunction& help = {}) {
        Registration::register_driver(name, factory, help);
        names_.push_back(name);
    }

    void TearDown() override {
        for (const auto& name : names_) Registration::deregister_driver(name);
    }

private:
    std::vector<std::string> names_;
};

DriverFactory make_factory(int* calls) {
    return [calls](std::vector<std::string> options) {
        ++*calls;
        return std::make_shared<NullDriver>(std::move(options));
    };
}

TEST_F(RegistryTest, NamesAreInByteOrder) {
    EXPECT_THAT(driver_names(), IsEmpty());
    int calls = 0;
    for (const char* name : {"zeta", "Beta", "alpha", "Zeta", "_x"})
        add_driver(name, make_factory(&calls));
    EXPECT_THAT(driver_names(), ElementsAre("Beta", "Zeta", "_x", "alpha", "zeta"));
    EXPECT_EQ(calls, 0);
}

TEST_F(RegistryTest, CreatePassesTheOptionsInOrder) {
    int calls = 0;
    add_driver("null", make_factory(&calls));
    auto driver = driver_registry().create("null", {"--size", "320x240", "x"});
    ASSERT_TRUE(driver);
    EXPECT_THAT(static_cast<NullDriver&>(*driver).options, ElementsAre("--size", "320x240", "x"));
    EXPECT_EQ(calls, 1);
}

TEST_F(RegistryTest, SecondRegistrationReplacesFactoryAndHelp) {
    int first_calls = 0, second_calls = 0, first_help = 0, second_help = 0;
    add_driver("twice", make_factory(&first_calls), [&] { ++first_help; });
    add_driver("twice", make_factory(&second_calls), [&] { ++second_help; });

    driver_registry().create("twice", {});
    driver_registry().help("twice");
    EXPECT_EQ(first_calls, 0);
    EXPECT_EQ(first_help, 0);
    EXPECT_EQ(second_calls, 1);
    EXPECT_EQ(second_help, 1);
    EXPECT_THAT(driver_names(), ElementsAre("twice"));
}

TEST_F(RegistryTest, DeregisterRemovesOnlyThatName) {
    int calls = 0;
    add_driver("a", make_factory(&calls));
    add_driver("b", make_factory(&calls));
    Registration::deregister_driver("a");
    Registration::deregister_driver("never-registered");
    EXPECT_THAT(driver_names(), ElementsAre("b"));
}

TEST_F(RegistryTest, UnknownNameFailsWithOutOfRangeAndRunsNoFactory) {
    int calls = 0;
    add_driver("known", make_factory(&calls));
    try {
        driver_registry().create("unknown", {});
        FAIL() << "create of an unknown name returned";
    } catch (const std::out_of_range& error) {
        EXPECT_STREQ(error.what(), "map::at");
    }
    EXPECT_THROW(driver_registry().help("unknown"), std::out_of_range);
    EXPECT_EQ(calls, 0);
}

TEST_F(RegistryTest, EmptyCallablesFailWithBadFunctionCall) {
    add_driver("hollow", DriverFactory(), HelpFunction());
    EXPECT_THROW(driver_registry().help("hollow"), std::bad_function_call);
    EXPECT_THROW(driver_registry().create("hollow", {}), std::bad_function_call);
}

TEST_F(RegistryTest, FactoryMayDeregisterItselfWhileRunning) {
    add_driver("once", [](std::vector<std::string> options) {
        Registration::deregister_driver("once");
        return std::make_shared<NullDriver>(std::move(options));
    });
    EXPECT_TRUE(driver_registry().create("once", {"kept"}));
    EXPECT_THAT(driver_names(), IsEmpty());
}

class NullServer : public Server {
public:
    void start(const std::string&) override {}
    void stop() override {}
};

TEST(ServerRegistryTest, RegisterReplaceAndDeregister) {
    int first = 0, second = 0;
    ServerRegistration::register_server("server",
                                        [&](std::vector<std::string>) {
                                            ++first;
                                            return std::make_shared<NullServer>();
                                        },
                                        {});
    ServerRegistration::register_server("server",
                                        [&](std::vector<std::string>) {
                                            ++second;
                                            return std::make_shared<NullServer>();
                                        },
                                        {});
    EXPECT_TRUE(server_registry().create("server", {}));
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
    EXPECT_THAT(server_registry().names(), ElementsAre("server"));

    ServerRegistration::deregister_server("server");
    ServerRegistration::deregister_server("server");
    EXPECT_THAT(server_registry().names(), IsEmpty());
    EXPECT_THROW(server_registry().create("server", {}), std::out_of_range);
}

}  // namespace
}  // namespace frix
