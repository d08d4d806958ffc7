#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "orvak/instrument_group.hpp"
#include "orvak/registry.hpp"

namespace orvak {
namespace {

std::string rejection(const registry::Identifier& identifier) {
    try {
        static_cast<void>(registry::resolve(identifier));
    } catch (const ValueError& error) {
        return error.what();
    }
    return "(resolved)";
}

TEST(Registry, UnbuildableIdentifiersAreExplained) {
    const struct {
        registry::Identifier identifier;
        const char* message;
    } cases[] = {
        {0LL,
         "Instrument ID 0 is reserved and never assigned \xE2\x80\x94 a board reporting it failed "
         "to parse its own ID, or a leader could not read it"},
        {65535LL,
         "Instrument ID 65535 means unconfigured / safe mode \xE2\x80\x94 the unit enumerates but "
         "refuses motion until it is provisioned, so this is a commissioning problem, not an "
         "unsupported instrument"},
        {99LL, "Unknown instrument type code: 99"},
        {-1LL, "Unknown instrument type code: -1"},
        {std::string("syringe"), "Unrecognised instrument name: 'syringe'"},
    };
    for (const auto& c : cases) EXPECT_EQ(rejection(c.identifier), c.message);
}

TEST(InstrumentGroup, ReprAndIndexFollowPythonLists) {
    EXPECT_EQ(group_repr(0, {}), "InstrumentGroup(group=0, instruments=[])");
    EXPECT_EQ(group_repr(-2, {"Orvak Rotary Valve", "Bob's pump"}),
              "InstrumentGroup(group=-2, instruments=['Orvak Rotary Valve', \"Bob's pump\"])");

    const struct {
        long long index;
        std::size_t size;
        std::size_t at;
    } valid[] = {{0, 3, 0}, {2, 3, 2}, {-1, 3, 2}, {-3, 3, 0}};
    for (const auto& c : valid) EXPECT_EQ(group_index(c.index, c.size), c.at) << c.index;
    for (const auto& [index, size] :
         {std::pair<long long, std::size_t>{3, 3}, {-4, 3}, {0, 0}, {-1, 0}}) {
        EXPECT_THROW(static_cast<void>(group_index(index, size)), IndexOutOfRange) << index;
    }
}

TEST(InstrumentGroup, BuildsNothingUnlessEveryIdentifierResolves) {
    int built = 0;
    const DriverFactory factory = [&](const registry::DriverRow&, int) {
        ++built;
        return std::make_shared<Instrument>();
    };
    const InstrumentGroup empty({}, factory, 4);
    EXPECT_EQ(empty.size(), 0U);
    EXPECT_EQ(empty.repr(), "InstrumentGroup(group=4, instruments=[])");
    EXPECT_THROW(static_cast<void>(empty[0]), IndexOutOfRange);
    EXPECT_THROW(InstrumentGroup({std::string("syringe")}, factory), ValueError);
    EXPECT_EQ(built, 0);
}

class CountingLog final : public LogSink {
  public:
    [[nodiscard]] bool enabled(LogLevel /*level*/) const override { return true; }
    void log(LogLevel level, std::string_view pattern, std::vector<std::string> args,
             std::exception_ptr /*error*/) override {
        if (level == LogLevel::warning) warnings.push_back(format_log_pattern(pattern, args));
    }
    std::vector<std::string> warnings;
};

// Needs a registered driver row to put drivers in a group at all.
TEST(InstrumentGroup, StopAllCarriesOnPastAFailingDriver) {
    if (registry::rows().empty()) GTEST_SKIP() << "no driver rows registered yet";
    struct Driver final : Instrument {
        int stops = 0;
        void stop() override {
            if (++stops == 1 && name == "first") throw std::runtime_error("jammed");
        }
    };
    std::vector<std::shared_ptr<Driver>> drivers;
    const DriverFactory factory = [&](const registry::DriverRow&, int position) {
        drivers.push_back(std::make_shared<Driver>());
        drivers.back()->name = position == 0 ? "first" : "second";
        return drivers.back();
    };
    const long long code = registry::rows().front().type_code;
    InstrumentGroup group({code, code}, factory);
    CountingLog log;
    group.stop_all(log);
    EXPECT_EQ(drivers.at(0)->stops, 1);
    EXPECT_EQ(drivers.at(1)->stops, 1);
    EXPECT_EQ(log.warnings, std::vector<std::string>{"stop() failed for first"});
}

}  // namespace
}  // namespace orvak
