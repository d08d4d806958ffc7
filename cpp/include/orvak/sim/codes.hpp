// The refusal codes the emulated firmware answers with ("BAD <code>"). When a
// command is wrong in several ways, the first applicable code in this order
// wins: unknown_command, bad_argument, out_of_range, speed_too_high, busy,
// not_homed, no_valve_path.
#pragma once

#include <string_view>

namespace orvak::sim::codes {

// The command word is not one this module's firmware knows.
inline constexpr std::string_view unknown_command = "0x100";
// Known command, malformed arguments (missing number, unknown axis, bad W flag).
inline constexpr std::string_view bad_argument = "0x101";
// A leader-only command (M115) sent to a follower.
inline constexpr std::string_view not_leader = "0x10a";
// A motion command while a waited (W1) motion runs, or re-zero during any motion.
inline constexpr std::string_view busy = "0x201";
// A target outside the axis's travel.
inline constexpr std::string_view out_of_range = "0x202";
// A move before the axis has been homed since power-up (or since a re-zero).
inline constexpr std::string_view not_homed = "0x210";
// A speed above what the build's motor can drive.
inline constexpr std::string_view speed_too_high = "0x204";
// A pump move while no valve path is energised on the manifold.
inline constexpr std::string_view no_valve_path = "0x301";

}  // namespace orvak::sim::codes
