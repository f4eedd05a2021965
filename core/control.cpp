#include "control.hpp"

namespace tarvex {

const char* phase_text(Phase phase) noexcept {
  switch (phase) {
    case Phase::Idle: return "idle";
    case Phase::Diameter: return "diameter";
    case Phase::Setup: return "set-up";
    case Phase::Greedy: return "greedy";
    case Phase::Sweep: return "sweep";
    case Phase::Rebuild: return "rebuild";
  }
  return "idle";
}

namespace control::detail {
thread_local CallControl* current = nullptr;
}

}  // namespace tarvex
