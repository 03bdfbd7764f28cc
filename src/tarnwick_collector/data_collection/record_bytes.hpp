// The bytes of a call record, written directly. A record is instances of
// the collector's own record classes around bytes, strings and a few plain
// containers; the safe pickler's route for it (the dispatcher, the reduce
// protocol, the by-name lookups of the classes, each with an import) costs
// several times the writing itself. Only values written here exactly as the
// pickler writes them are taken; for anything else the pickler writes the
// record. The first record a class appears in (and the first after the
// class changed) is also written by the pickler and compared: a difference
// turns this writer off for the rest of the process.
#pragma once

#include "tarn/util.hpp"

#include <functional>

namespace record_bytes {

// At module import: the record classes of `invocations` (a module).
bool bind(PyObject* invocations);

// The record's bytes as `pickled()` would make them. `pickled` is called
// only to check. Empty with an error set on failure.
tarn::Ref write(PyObject* record, const std::function<tarn::Ref()>& pickled);

struct Stats {
    unsigned long long direct = 0;   // records written here
    unsigned long long pickler = 0;  // records left to the pickler
    unsigned long long checked = 0;  // records written both ways and compared
    bool off = false;                // a comparison differed
};
const Stats& stats();

}  // namespace record_bytes
