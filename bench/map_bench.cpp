// Robin maps (as the extension declares them) against std::unordered_map on
// the same keys. Runs without an interpreter: object keys are plain heap
// blocks laid out the way small objects are.
//
// Usage: map_bench [--max-n N] [--reps R]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

// The extension's own declarations; only the PyObject typedef is used from
// the interpreter headers, nothing is linked.
#include "map.h"

namespace {

using Clock = std::chrono::steady_clock;

std::uint64_t g_sink = 0;

template <class T>
std::uint64_t as_u64(T v) {
    if constexpr (std::is_pointer_v<T>)
        return (std::uint64_t)(std::uintptr_t)v;
    else
        return (std::uint64_t)v;
}

template <class T>
T make_value(std::size_t i, const std::vector<PyObject*>& objs) {
    if constexpr (std::is_pointer_v<T>)
        return objs[i % objs.size()];
    else
        return (T)(i * 2654435761u + 1);
}

struct Keys {
    std::string kind;
    std::vector<std::uintptr_t> insert_order;  // as first stored
    std::vector<std::uintptr_t> hit_order;     // same set, random order
    std::vector<std::uintptr_t> misses;        // never stored
};

struct Result {
    double insert_ns, hit_ns, miss_ns, overwrite_ns;
    // Mean distance from home bucket, as stored and with a well-spread hash;
    // <0 when not applicable.
    double probe, probe_ideal;
};

template <class F>
double best_ns_per_op(int reps, std::size_t ops, F&& body) {
    double best = 1e300;
    for (int r = 0; r < reps; ++r) {
        auto t0 = Clock::now();
        body(r);
        auto t1 = Clock::now();
        double ns = std::chrono::duration<double, std::nano>(t1 - t0).count();
        best = std::min(best, ns / (double)ops);
    }
    return best;
}

// Linear probing leaves the same occupied slots whatever the insertion
// order, so the mean displacement falls out of the home-bucket histogram.
// With mix set, keys go through a strong mixer first: what the same table
// would see from a well-spread hash.
std::uint64_t mix64(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

// Control only, not a map the extension uses: the same table fed a
// well-spread hash, to separate clustering from layout.
template <class K>
struct MixHash {
    std::size_t operator()(K key) const noexcept {
        return (std::size_t)mix64((std::uint64_t)(std::uintptr_t)key);
    }
};
template <class K, class V>
using MixedRobinMap = tsl::robin_map<K, V, MixHash<K>, std::equal_to<K>,
                                     std::allocator<std::pair<K, V>>, false,
                                     tsl::rh::power_of_two_growth_policy<2>>;

template <class K>
double mean_displacement(const std::vector<std::uintptr_t>& keys, std::size_t buckets,
                         bool mix) {
    if (buckets == 0 || keys.empty()) return 0.0;
    std::vector<std::uint32_t> home(buckets, 0);
    const std::size_t mask = buckets - 1;
    for (auto k : keys) {
        std::size_t h = tarn_map::IdentityHash<K>{}((K)k);
        home[(mix ? mix64(h) : h) & mask]++;
    }
    std::uint64_t carry = 0, disp = 0;
    // The first lap only finds how much spills past the end into slot 0.
    for (int lap = 0; lap < 2; ++lap) {
        disp = 0;
        for (std::size_t b = 0; b < buckets; ++b) {
            carry += home[b];
            if (carry) carry--;
            disp += carry;
        }
    }
    return (double)disp / (double)keys.size();
}

template <class Map, bool IsRobin>
Result run_one(const Keys& keys, const std::vector<PyObject*>& value_pool, int reps,
               std::size_t min_ops) {
    using K = typename Map::key_type;
    using V = typename Map::mapped_type;
    const std::size_t n = keys.insert_order.size();
    const std::size_t inner = std::max<std::size_t>(1, min_ops / n);

    std::vector<K> ins(n), hit(n), miss(keys.misses.size());
    std::vector<V> vals(n);
    for (std::size_t i = 0; i < n; ++i) {
        ins[i] = (K)keys.insert_order[i];
        hit[i] = (K)keys.hit_order[i];
        vals[i] = make_value<V>(i, value_pool);
    }
    for (std::size_t i = 0; i < miss.size(); ++i) miss[i] = (K)keys.misses[i];

    Result res{};
    std::uint64_t sum = 0;

    // Insert into fresh maps; building and tearing them down is not timed.
    {
        double best = 1e300;
        for (int r = 0; r < reps; ++r) {
            std::vector<Map> maps(inner);
            auto t0 = Clock::now();
            for (auto& m : maps)
                for (std::size_t i = 0; i < n; ++i) m.insert_or_assign(ins[i], vals[i]);
            auto t1 = Clock::now();
            for (auto& m : maps) sum += m.size();
            best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count() /
                                      (double)(inner * n));
        }
        res.insert_ns = best;
    }

    Map map;
    for (std::size_t i = 0; i < n; ++i) map.insert_or_assign(ins[i], vals[i]);
    if (map.size() != n) {
        std::fprintf(stderr, "%s: duplicate keys (%zu of %zu)\n", keys.kind.c_str(),
                     map.size(), n);
        std::exit(1);
    }

    std::uint64_t found = 0;
    res.hit_ns = best_ns_per_op(reps, inner * n, [&](int) {
        for (std::size_t j = 0; j < inner; ++j)
            for (std::size_t i = 0; i < n; ++i) {
                auto it = map.find(hit[i]);
                if (it != map.end()) {
                    sum += as_u64(it->second);
                    ++found;
                }
            }
    });
    if (found != (std::uint64_t)reps * inner * n) {
        std::fprintf(stderr, "%s: hit lookups missed\n", keys.kind.c_str());
        std::exit(1);
    }

    found = 0;
    const std::size_t nm = miss.size();
    const std::size_t inner_m = std::max<std::size_t>(1, min_ops / nm);
    res.miss_ns = best_ns_per_op(reps, inner_m * nm, [&](int) {
        for (std::size_t j = 0; j < inner_m; ++j)
            for (std::size_t i = 0; i < nm; ++i) found += map.find(miss[i]) != map.end();
    });
    if (found != 0) {
        std::fprintf(stderr, "%s: miss lookups hit\n", keys.kind.c_str());
        std::exit(1);
    }

    // Overwrite existing keys in random order; the value changes each pass
    // so the store is never a no-op.
    res.overwrite_ns = best_ns_per_op(reps, inner * n, [&](int r) {
        for (std::size_t j = 0; j < inner; ++j)
            for (std::size_t i = 0; i < n; ++i)
                map.insert_or_assign(hit[i], vals[(i + j + (std::size_t)r) % n]);
    });
    if (map.size() != n) {
        std::fprintf(stderr, "%s: overwrite changed the size\n", keys.kind.c_str());
        std::exit(1);
    }
    for (std::size_t i = 0; i < n; i += 7) sum += as_u64(map.find(hit[i])->second);

    if constexpr (IsRobin) {
        res.probe = mean_displacement<K>(keys.insert_order, map.bucket_count(), false);
        res.probe_ideal = mean_displacement<K>(keys.insert_order, map.bucket_count(), true);
    } else {
        res.probe = res.probe_ideal = -1.0;
    }

    g_sink += sum + found;
    return res;
}

// Heap blocks standing in for objects: kept alive for the whole size step so
// their addresses stay distinct, as live objects' would.
struct Heap {
    std::vector<void*> blocks;
    ~Heap() {
        for (void* p : blocks) std::free(p);
    }
    std::vector<std::uintptr_t> alloc(std::size_t n, std::mt19937_64& rng, std::size_t lo,
                                      std::size_t hi) {
        std::uniform_int_distribution<std::size_t> size(lo, hi);
        std::vector<std::uintptr_t> out;
        out.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            void* p = std::malloc(size(rng));
            if (!p) {
                std::perror("malloc");
                std::exit(1);
            }
            std::memset(p, 0, 16);
            blocks.push_back(p);
            out.push_back((std::uintptr_t)p);
        }
        return out;
    }
};

template <class T>
std::vector<T> shuffled(std::vector<T> v, std::mt19937_64& rng) {
    std::shuffle(v.begin(), v.end(), rng);
    return v;
}

std::vector<std::uintptr_t> distinct_random_ints(std::size_t n,
                                                 std::unordered_set<std::int32_t>& seen,
                                                 std::mt19937_64& rng) {
    std::vector<std::uintptr_t> out;
    out.reserve(n);
    while (out.size() < n) {
        std::int32_t v = (std::int32_t)(std::uint32_t)rng();
        if (seen.insert(v).second) out.push_back((std::uintptr_t)(std::intptr_t)v);
    }
    return out;
}

struct Stride {
    std::size_t median;
    bool all16;
};

Stride stride_of(const std::vector<std::uintptr_t>& addrs) {
    std::vector<std::size_t> d;
    bool all16 = true;
    for (std::size_t i = 0; i < addrs.size(); ++i) {
        all16 = all16 && (addrs[i] % 16 == 0);
        if (i && addrs[i] > addrs[i - 1]) d.push_back(addrs[i] - addrs[i - 1]);
    }
    if (d.empty()) return {0, all16};
    std::nth_element(d.begin(), d.begin() + d.size() / 2, d.end());
    return {d[d.size() / 2], all16};
}

void print_header() {
    std::printf("%-20s %-9s %8s %9s %9s %9s %9s %6s %6s %8s\n", "map", "keys", "N", "insert",
                "hit", "miss", "overwrite", "probe", "ideal", "hit u/r");
    std::printf("%-20s %-9s %8s %9s %9s %9s %9s %6s %6s %8s\n", "", "", "", "ns/op", "ns/op",
                "ns/op", "ns/op", "", "", "");
}

void print_row(const char* name, const std::string& kind, std::size_t n, const Result& r,
               double ratio) {
    char probe[16] = "-", ideal[16] = "-";
    if (r.probe >= 0) std::snprintf(probe, sizeof probe, "%.2f", r.probe);
    if (r.probe_ideal >= 0) std::snprintf(ideal, sizeof ideal, "%.2f", r.probe_ideal);
    char rat[16] = "";
    if (ratio > 0) std::snprintf(rat, sizeof rat, "%.2fx", ratio);
    std::printf("%-20s %-9s %8zu %9.1f %9.1f %9.1f %9.1f %6s %6s %8s\n", name, kind.c_str(), n,
                r.insert_ns, r.hit_ns, r.miss_ns, r.overwrite_ns, probe, ideal, rat);
}

template <class K, class V>
void compare(const char* robin_name, const char* std_name, const Keys& keys,
             const std::vector<PyObject*>& value_pool, int reps, std::size_t min_ops,
             const char* control_name = nullptr) {
    using R = tarn_map::RobinMap<K, V>;
    using U = std::unordered_map<K, V>;
    Result r = run_one<R, true>(keys, value_pool, reps, min_ops);
    print_row(robin_name, keys.kind, keys.insert_order.size(), r, 0);
    if (control_name) {
        Result c = run_one<MixedRobinMap<K, V>, false>(keys, value_pool, reps, min_ops);
        c.probe = r.probe_ideal;  // same table, same keys, this is its layout
        print_row(control_name, keys.kind, keys.insert_order.size(), c, 0);
    }
    Result u = run_one<U, false>(keys, value_pool, reps, min_ops);
    print_row(std_name, keys.kind, keys.insert_order.size(), u, u.hit_ns / r.hit_ns);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t max_n = std::size_t(1) << 20;
    int reps_arg = 0;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--max-n") && i + 1 < argc)
            max_n = std::strtoull(argv[++i], nullptr, 0);
        else if (!std::strcmp(argv[i], "--reps") && i + 1 < argc)
            reps_arg = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: %s [--max-n N] [--reps R]\n", argv[0]);
            return 2;
        }
    }

    const std::size_t sizes[] = {16, 256, 4096, 65536, std::size_t(1) << 20};
    std::mt19937_64 rng(0x7a11c0de);
    auto t_start = Clock::now();

    std::printf("best of R repetitions; small N repeated to >= %d ops per timing\n",
                1 << 18);
    std::printf("ptr-mix: malloc(48..64) in allocation order; ptr-shuf: same blocks "
                "stored shuffled;\nptr-same: malloc(48) only (one object type); misses are "
                "other live blocks\n");
    std::printf("probe: robin mean distance from home bucket; ideal: same table with a "
                "well-spread hash\nhit u/r: unordered hit ns / robin hit ns (>1: robin "
                "faster)\n(ctl) rows: the same robin table with a mixing hash, for "
                "reference only\n\n");
    print_header();

    for (std::size_t n : sizes) {
        if (n > max_n) break;
        const int reps = reps_arg > 0 ? reps_arg : (n >= (std::size_t(1) << 20) ? 3 : 9);
        const std::size_t min_ops = std::size_t(1) << 18;

        Heap heap;
        Keys mix{"ptr-mix", heap.alloc(n, rng, 48, 64), {}, {}};
        mix.misses = shuffled(heap.alloc(n, rng, 48, 64), rng);
        mix.hit_order = shuffled(mix.insert_order, rng);
        Keys shuf{"ptr-shuf", shuffled(mix.insert_order, rng), shuffled(mix.insert_order, rng),
                  mix.misses};
        Keys same{"ptr-same", heap.alloc(n, rng, 48, 48), {}, {}};
        same.misses = shuffled(heap.alloc(n, rng, 48, 48), rng);
        same.hit_order = shuffled(same.insert_order, rng);

        if (n == sizes[0] || n == max_n || n == (std::size_t(1) << 20)) {
            Stride sm = stride_of(mix.insert_order), ss = stride_of(same.insert_order);
            std::printf("# N=%zu strides: ptr-mix median %zu B, ptr-same median %zu B, "
                        "all 16-aligned: %s\n",
                        n, sm.median, ss.median, (sm.all16 && ss.all16) ? "yes" : "no");
        }

        std::unordered_set<std::int32_t> seen;
        Keys tid{"tid", distinct_random_ints(n, seen, rng), {}, {}};
        tid.misses = distinct_random_ints(n, seen, rng);
        tid.hit_order = shuffled(tid.insert_order, rng);

        Keys dense{"dense", {}, {}, {}};
        for (std::size_t i = 0; i < n; ++i) {
            dense.insert_order.push_back((std::uintptr_t)i);
            dense.misses.push_back((std::uintptr_t)(n + i));
        }
        dense.hit_order = shuffled(dense.insert_order, rng);
        dense.misses = shuffled(dense.misses, rng);

        std::vector<PyObject*> pool;
        for (auto a : same.misses) pool.push_back((PyObject*)a);

        compare<PyObject*, PyObject*>("robin<obj,obj>", "unordered<obj,obj>", mix, pool,
                                      reps, min_ops, "(ctl) robin+mixhash");
        compare<PyObject*, PyObject*>("robin<obj,obj>", "unordered<obj,obj>", shuf, pool,
                                      reps, min_ops);
        compare<PyObject*, PyObject*>("robin<obj,obj>", "unordered<obj,obj>", same, pool,
                                      reps, min_ops, "(ctl) robin+mixhash");
        compare<PyObject*, int>("robin<obj,int>", "unordered<obj,int>", same, pool, reps,
                                min_ops);
        compare<int, std::uint8_t>("robin<int,u8>", "unordered<int,u8>", tid, pool, reps,
                                   min_ops);
        compare<int, std::uint8_t>("robin<int,u8>", "unordered<int,u8>", dense, pool, reps,
                                   min_ops);
        compare<int, int>("robin<int,int>", "unordered<int,int>", tid, pool, reps, min_ops);
        compare<int, int>("robin<int,int>", "unordered<int,int>", dense, pool, reps, min_ops);
        std::printf("\n");
    }

    double secs = std::chrono::duration<double>(Clock::now() - t_start).count();
    std::printf("checksum %llu  (%.1f s)\n", (unsigned long long)g_sink, secs);
    return 0;
}
