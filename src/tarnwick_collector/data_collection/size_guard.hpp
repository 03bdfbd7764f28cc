// The size guard's native part. The answer the guard gives is pympler's
// asizeof(obj, limit=3) > MAX_STRING_SIZE; this measures the same thing from
// the objects' C-level contents, so that pympler is needed only near the
// limit, and tells whether pympler could measure a value without running
// code of the program's.
//
// The measure counts every object reachable within asizeof's depth through
// a superset of the referents pympler follows (the type's traversal, dict
// keys, and the attributes pympler reads by name), each object once, at its
// C-level size (the first __sizeof__ of the MRO that is C code, plus the
// header sys.getsizeof adds, aligned as pympler aligns). Classes, functions,
// methods, code and frames count as nothing, as in pympler. Where pympler
// would run no code of the program's, its result is never above this.
#pragma once

#include "tarn/util.hpp"

#include <cstdint>

namespace size_guard {

// Once, at module import.
bool init();

struct Measure {
    double total = 0;      // bytes counted
    bool complete = true;  // false: the walk's budget ran out first
    bool over = false;     // the count passed the ceiling (the walk stopped there)
};

// Never fails and leaves no error set. Objects the walk looks at are owned
// while it looks at them; containers may change under it.
Measure measure(PyObject* obj, double ceiling);

// Whether asizeof(obj, limit=3) would run none of the program's code (no
// Python __sizeof__, __len__, items(), __iter__, property, __getattr__ or
// metaclass hook of a class of the program's). False as well when the walk
// is too large to tell. Leaves no error set.
bool pympler_safe(PyObject* obj);

struct Stats {
    std::uint64_t measured = 0;  // values the guard measured (not None, str or bytes)
    std::uint64_t native = 0;    // settled by the native measure alone
    std::uint64_t pympler = 0;   // handed to pympler
    std::uint64_t c_level = 0;   // decided natively where pympler would have run code
};
Stats& stats();

}  // namespace size_guard
