// The pump and valve-array drivers used from C++ alone: without a host, the
// model rows supply the constants and the built-in tables the tubing.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "orvak/instruments/peristaltic_pump.hpp"
#include "orvak/instruments/solenoid_valves.hpp"

namespace orvak {
namespace {

TEST(PeriPump, ModelRowsSupplyTheConstants) {
    PeriPumpBase standard(0, peri_pump_model(1));
    EXPECT_EQ(standard.name, "Orvak Peri S");
    EXPECT_NO_THROW(standard.guard_max_rpm(45.0));
    EXPECT_THROW(standard.guard_max_rpm(45.1), ValueError);
    EXPECT_DOUBLE_EQ(standard.g2_speed_word(100.0), 7.7672);
    EXPECT_DOUBLE_EQ(standard.revolutions(-2.5), -8.3333);

    PeriPumpBase uncapped(0, 99, "pump");
    EXPECT_NO_THROW(uncapped.guard_max_rpm(1e9));
    EXPECT_EQ(uncapped.rollers, 3);
    EXPECT_THROW(static_cast<void>(peri_pump_model(2)), ValueError);

    // The T heads look tubing up by their own roller count.
    PeriPumpBase six(0, peri_pump_model(10));
    PeriPumpBase three(0, peri_pump_model(15));
    six.calibrate_by_tubing_for_head(TubingSize::of(1.6, 4.8));
    three.calibrate_by_tubing_for_head(TubingSize::of(1.6, 4.8));
    EXPECT_EQ(six.calibration_speed, 7.54);
    EXPECT_EQ(three.calibration_speed, 11.22);
    try {
        six.calibrate_by_tubing(TubingSize::of(1.6, 4.8));
        FAIL() << "a T-head size is not a standard tubing";
    } catch (const ValueError& refusal) {
        EXPECT_NE(std::string(refusal.what()).find("(1.6, 4.8) is not a standard size"),
                  std::string::npos);
    }
    EXPECT_EQ(six.calibration_speed, 7.54);
}

TEST(SolenoidValves, ValveSetsAndConfigurationLines) {
    SolenoidValveBase bank(0, solenoid_valve_model(7));
    EXPECT_EQ(bank.name, "Orvak Sol Val XL");
    const double numbers[] = {1.0, 3.9, 5.0, 1.2};
    EXPECT_EQ(bank.valve_set(numbers), (std::set<int>{1, 3, 5}));
    EXPECT_EQ(bank.configuration_line({1, 3, 5}), "G31 X1 Y0 Z1 A0 B1 C0 D0 E0");
    EXPECT_EQ(bank.configuration_line({}), "G31 X0 Y0 Z0 A0 B0 C0 D0 E0");
    try {
        bank.turn_on_valves({9.0, 0.0, 2.0, -0.5});
        FAIL() << "out-of-range valves must be refused";
    } catch (const ValueError& refusal) {
        EXPECT_STREQ(refusal.what(),
                     "Orvak Sol Val XL: valve indices must be 1\xE2\x80\x93"
                     "8; got [0, 9]");
    }
    EXPECT_EQ(bank.previous_valve_set, std::set<int>{});
    EXPECT_NO_THROW(bank.stop());
    EXPECT_EQ(bank.estimate_run_time(), 0.1);
}

}  // namespace
}  // namespace orvak
