// What the safe pickler tells the hooks about the stand-ins it writes in
// place of values it refuses to write by their own code: per thread, how
// many it has written, by reason. Reached through a capsule of the pickler
// module, so that the hooks read the counts without a Python call.
#pragma once

#include <cstdint>

namespace tarn::stand_ins {

enum Reason : int {
    PICKLING_METHODS = 0,  // the class defines its own pickling methods
    ATTRIBUTE_HOOKS = 1,   // a Python __getattr__ or __getattribute__
    REASONS = 2
};

inline constexpr const char* CAPSULE =
    "tarnwick_collector.data_serialization.pickler._stand_in_api";

struct Api {
    // The calling thread's counts since it started, REASONS of them.
    const std::uint64_t* (*written)();
};

}  // namespace tarn::stand_ins
