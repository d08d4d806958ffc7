// The base of the stepper-motor drivers (rotary valves, Z stage, gantry,
// piston pump, peristaltic pumps): the controls they share, halt (G3),
// continue (G5) and clear (G4), sent on the driver's axes ("G3 X0", or
// "G3 X Y0" for the gantry's two).
#pragma once

#include <string>

#include "orvak/export.hpp"
#include "orvak/instrument.hpp"

namespace orvak {

class ORVAK_EXPORT AxisDriver : public Instrument {
  public:
    // What a continue (G5) must get: an acknowledgement, or one whose
    // refusal may mean that the axis must be homed first.
    enum class ResumeCheck { acknowledged, homed };

    // Halts the motion; ends a wait on another thread at once. What the halt
    // makes unknown is forgotten before it is sent, acknowledged or not.
    void stop() override;
    void resume() override;
    void reset() override;

  protected:
    // A driver of one axis, X, until a driver names others.
    AxisDriver(int number, int type_code, std::string display_name, ResumeCheck resume_check);
    // The axes the controls name, from the class constants in force.
    [[nodiscard]] virtual std::string control_axes() const = 0;
    // What a halt makes unknown (a tracked position); the default tracks nothing.
    virtual void forget_on_stop() {}
    // What a clear does before its G4 goes out; the default nothing.
    virtual void before_reset() {}

  private:
    ResumeCheck resume_check_;
};

}  // namespace orvak
