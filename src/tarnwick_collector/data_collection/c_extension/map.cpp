// The identity maps. The set functions have no failure result: if memory
// for growing a map cannot be had, the entry is simply not stored (a later
// get reads it as absent) and the exception never leaves this unit.
#include "map.h"

extern "C" {
tarn_gen_map_t g_gen_to_metadata;
tarn_tid_map_t g_tid_to_currently_recording;
tarn_counter_map_t g_func_to_counter;
tarn_object_map_t g_object_to_object;
}

namespace {

template <class Map, class K, class V>
void put(Map& map, K key, V value) noexcept {
    try {
        map.insert_or_assign(key, value);
    } catch (...) {
    }
}

template <class Map, class K>
typename Map::mapped_type lookup(const Map& map, K key) noexcept {
    auto it = map.find(key);
    return it == map.end() ? typename Map::mapped_type{} : it->second;
}

}  // namespace

extern "C" {

int set_gen_to_metadata(PyObject* key, PyObject* value) {
    if (value == NULL)
        g_gen_to_metadata.erase(key);
    else
        put(g_gen_to_metadata, key, value);
    return 0;
}

PyObject* get_gen_to_metadata(PyObject* key) { return lookup(g_gen_to_metadata, key); }

int set_tid_to_currently_recording(int key, uint8_t value) {
    put(g_tid_to_currently_recording, key, value);
    return 0;
}

uint8_t get_tid_to_currently_recording(int key) {
    return lookup(g_tid_to_currently_recording, key);
}

int set_func_to_counter(PyObject* key, int value) {
    put(g_func_to_counter, key, value);
    return 0;
}

int get_func_to_counter(PyObject* key) { return lookup(g_func_to_counter, key); }

int set_int_to_int_item(void* mapper, int key, int value) {
    put(*static_cast<tarn_int_map_t*>(mapper), key, value);
    return 0;
}

int get_int_to_int_item(void* mapper, int key) {
    return lookup(*static_cast<const tarn_int_map_t*>(mapper), key);
}

void* new_int_to_int_map(void) {
    try {
        return new tarn_int_map_t();
    } catch (...) {
        return NULL;
    }
}

void free_int_to_int_map(void* mapper) { delete static_cast<tarn_int_map_t*>(mapper); }

int set_pyobject_to_pyobject_item(PyObject* key, PyObject* value) {
    put(g_object_to_object, key, value);
    return 0;
}

PyObject* get_pyobject_to_pyobject_item(PyObject* key) {
    return lookup(g_object_to_object, key);
}

}  // extern "C"
