// The bytes of a call's arguments, return value or exception, written
// directly where the value is made only of what the interpreter's C
// pickler writes itself (atoms, strings, bytes, exact containers) and of
// instances of plain classes: classes of the program with no pickling
// method, no slots, no attribute hooks, metaclass `type`, found by name in
// their module. The safe pickler gives such an instance what
// object.__reduce_ex__(4) gives (its class by name, NEWOBJ, its __dict__
// as state); reaching that answer through the pickler costs several times
// writing it. Anything else is left to the pickler. The first value a
// plain class appears in (and the first after the class changed) is also
// written by the pickler and compared; a class whose bytes differ is left
// to the pickler from then on.
#pragma once

#include "tarn/util.hpp"

#include <functional>

namespace value_bytes {

bool bind();

// `value`'s bytes as `pickled()` (the collector's own serializer, with its
// object wrapper on or off as `wrapped` says) would make them; `pickled` is
// called when the value is not written here, and to check. Empty with an
// error set on failure.
tarn::Ref write(PyObject* value, const std::function<tarn::Ref()>& pickled, bool wrapped = false);

struct Stats {
    unsigned long long direct = 0;   // values written here
    unsigned long long pickler = 0;  // values left to the pickler
    unsigned long long checked = 0;  // values written both ways and compared
    unsigned long long differed = 0; // classes whose bytes differed
};
// The figures as a dict, for the modules' _value_bytes_stats().
PyObject* stats_dict();

}  // namespace value_bytes
