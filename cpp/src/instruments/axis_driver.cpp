#include "orvak/instruments/axis_driver.hpp"

#include <utility>
#include <vector>

#include "orvak/pytext.hpp"

namespace orvak {

AxisDriver::AxisDriver(int number, int type_code, std::string display_name,
                       ResumeCheck resume_check)
    : resume_check_(resume_check) {
    name = std::move(display_name);
    instrument_number = number;
    instrument_id_number = type_code;
    primary_axis.emplace(1, 'X');
    all_axes = std::vector<std::string>{*primary_axis};
}

void AxisDriver::stop() {
    const StopScope stopping(*this);
    const auto axes = control_axes();
    forget_on_stop();
    send_command({text::fill("G3 {}0", {axes})});
    require_ok();
}

void AxisDriver::resume() {
    send_command({text::fill("G5 {}0", {control_axes()})});
    if (resume_check_ == ResumeCheck::homed) {
        require_ok_or_home_required();
    } else {
        require_ok();
    }
}

void AxisDriver::reset() {
    const auto axes = control_axes();
    before_reset();
    send_command({text::fill("G4 {}", {axes})});
    require_ok();
}

}  // namespace orvak
