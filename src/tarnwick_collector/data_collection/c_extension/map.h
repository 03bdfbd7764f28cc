// Process-wide identity maps shared with the tracing extension.
//
// Keys are compared and hashed by value: an object key is its address, never
// its Python equality. Nothing here touches a reference count: whoever stores
// an object keeps it alive while it is in a map, and a value read back is a
// borrowed reference. Every caller holds the interpreter lock; that lock is
// the only thing serializing access.
#ifndef TARNWICK_COLLECTOR_MAP_H
#define TARNWICK_COLLECTOR_MAP_H

#include <Python.h>
#include <stdint.h>

#if defined(_WIN32)
#define TARN_MAP_API __declspec(dllexport)
#else
#define TARN_MAP_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#include <functional>
#include <memory>
#include <unordered_map>
#include <utility>

#include <tsl/robin_map.h>

namespace tarn_map {
// Identity hash: the key itself.
template <class K>
struct IdentityHash {
    std::size_t operator()(K key) const noexcept { return (std::size_t)key; }
};
template <class K, class V>
using RobinMap = tsl::robin_map<K, V, IdentityHash<K>, std::equal_to<K>,
                                std::allocator<std::pair<K, V>>, false,
                                tsl::rh::power_of_two_growth_policy<2>>;
}  // namespace tarn_map

typedef tarn_map::RobinMap<PyObject*, PyObject*> tarn_gen_map_t;
typedef tarn_map::RobinMap<int, uint8_t> tarn_tid_map_t;
typedef tarn_map::RobinMap<PyObject*, int> tarn_counter_map_t;
typedef tarn_map::RobinMap<int, int> tarn_int_map_t;
typedef std::unordered_map<PyObject*, PyObject*> tarn_object_map_t;

extern "C" {
TARN_MAP_API extern tarn_gen_map_t g_gen_to_metadata;
TARN_MAP_API extern tarn_tid_map_t g_tid_to_currently_recording;
TARN_MAP_API extern tarn_counter_map_t g_func_to_counter;
TARN_MAP_API extern tarn_object_map_t g_object_to_object;
}
#endif

#ifdef __cplusplus
extern "C" {
#endif

// A NULL value removes the key.
TARN_MAP_API int set_gen_to_metadata(PyObject* key, PyObject* value);
TARN_MAP_API PyObject* get_gen_to_metadata(PyObject* key);

TARN_MAP_API int set_tid_to_currently_recording(int key, uint8_t value);
TARN_MAP_API uint8_t get_tid_to_currently_recording(int key);

TARN_MAP_API int set_func_to_counter(PyObject* key, int value);
TARN_MAP_API int get_func_to_counter(PyObject* key);

// `mapper` is a robin_map<int, int> (tarn_int_map_t) owned by the caller.
TARN_MAP_API int set_int_to_int_item(void* mapper, int key, int value);
TARN_MAP_API int get_int_to_int_item(void* mapper, int key);
// For callers that are not C++: create (NULL when out of memory) and free
// such a map.
TARN_MAP_API void* new_int_to_int_map(void);
TARN_MAP_API void free_int_to_int_map(void* mapper);

// A NULL value is stored like any other (it reads back as absence).
TARN_MAP_API int set_pyobject_to_pyobject_item(PyObject* key, PyObject* value);
TARN_MAP_API PyObject* get_pyobject_to_pyobject_item(PyObject* key);

#ifdef __cplusplus
}
#endif

#endif
