// Classes and functions already found again under their module and
// qualified name, remembered across dumps (weakly: an entry keeps nothing
// of the program alive). An entry holds while the object is the same and
// still named the same, and what it was found through has not changed; a
// change of the module's attributes is checked again by dict lookups.
#pragma once

#include "tarn/util.hpp"

namespace known_globals {

// Where a lookup by name found an object: the module's name, the module,
// and the qualified name cut at its dots.
struct Found {
    tarn::Ref module_name;
    tarn::Ref module;
    tarn::Ref path;  // list of str
};

// `obj` was found by name before and nothing it depends on has changed
// since. Runs no code of the program's; never sets an error.
bool still_found(PyObject* obj);

// Remembers a successful lookup. May run code (it allocates); holds
// nothing across it.
void remember(PyObject* obj, const Found& found);

// At module import; false with an error set.
bool init();

// Forgets everything.
void clear();

}  // namespace known_globals
