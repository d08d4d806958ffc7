// The Z stage and the gantry from C++ alone, on the emulated chain: the core
// needs no host for their warnings, clamps and refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "orvak/errors.hpp"
#include "orvak/instruments/gantry.hpp"
#include "orvak/instruments/z_stage.hpp"
#include "orvak/serial_manager.hpp"
#include "orvak/sim/chain.hpp"

namespace orvak {
namespace {

class RecordingStage final : public ZStage {
  public:
    using ZStage::ZStage;
    void warn(const std::string& message) override { warnings.push_back(message); }
    std::vector<std::string> warnings;
};

struct Bench {
    Bench() : stage(0), gantry(1) {
        manager = std::make_shared<SerialManager>(
            chain.open_port(),
            std::make_shared<FixedRoutes>(
                std::vector<std::shared_ptr<ReplySlots>>{stage.slots(), gantry.slots()}));
        stage.attach(manager);
        gantry.attach(manager);
    }
    ~Bench() { manager->stop(); }
    [[nodiscard]] std::vector<std::string> commands(int address) const {
        return chain.state(address).commands;
    }

    sim::Chain chain{std::vector<long long>{9, 8}};
    RecordingStage stage;
    Gantry gantry;
    std::shared_ptr<SerialManager> manager;
};

TEST(Positioning, DriversWorkWithoutAHost) {
    Bench bench;
    EXPECT_THROW(bench.stage.run(10.0), PositionUnknownError);
    bench.stage.home();
    bench.stage.run(50.0, 2.0, true);
    EXPECT_EQ(bench.stage.warnings,
              (std::vector<std::string>{
                  "Orvak Z Stage: the speed parameter is not supported by the firmware and will be "
                  "ignored.",
                  "Orvak Z Stage: requested 50.000 mm exceeds Z_MAX (45.0 mm); clamping to 45.0 "
                  "mm."}));
    bench.stage.run(20, 4.0, true);
    EXPECT_EQ(bench.stage.check_position_mm(), 20.0);
    EXPECT_EQ(bench.stage.check_position_mm(std::nullopt), 806299 / (51200.0 / 1.27));
    EXPECT_THROW(bench.stage.run(std::nan("")), ValueError);
    EXPECT_EQ(bench.stage.prev_z, 20.0);
    EXPECT_EQ(bench.commands(1), (std::vector<std::string>{"G0 X10.0 W0", "G10 X W1", "G0 X45.0 W1",
                                                           "G0 X20.0 W1", "M300 X", "M300 X"}));
}

}  // namespace
}  // namespace orvak
