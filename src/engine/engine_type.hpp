// The Python class Engine.
#pragma once

#include "binding/classes.hpp"
#include "engine/engine.hpp"

namespace cw {

extern ClassCell engine_class;
using EngineObject = Instance<Engine>;

// Runs `strategy` over the engine's bars; the caller holds exclusive access to the engine.
[[nodiscard]] Ref run_strategy(Engine& engine, Ref strategy);

}  // namespace cw
