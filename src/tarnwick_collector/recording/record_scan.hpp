// What the restricted loader would find in a call record, read from the
// pickle's opcodes without building any object: the function name its
// metadata carries and the number of its external calls.
//
// The opcodes are run on a model of the loader's values (strings, lists,
// dicts, tuples, placeholder objects, globals by name) in which nothing is
// imported or called. Only the opcodes the collector's pickler writes are
// modelled; for anything else, and for any input the real loader might
// treat differently, the answer is "undecided" and the caller loads the
// record the ordinary (restricted) way.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace record_scan {

struct Description {
    bool decided = false;
    bool has_name = false;
    std::string_view name;  // UTF-8 (surrogates allowed), inside the pickle
    long long external_calls = -1;  // -1: not a list
};

namespace detail {

enum class Kind : std::uint8_t { atom, str, list, tuple, dict, set, frozenset, global, obj };

struct Node {
    Kind kind = Kind::atom;
    std::string_view text;  // str
    // list, tuple and set items, dict keys and values (key, value, ...):
    // a chain through the machine's edges, in order
    int head = -1, tail = -1, count = 0;
    int state = -1;  // obj: the node BUILD gave it
};

struct Edge {
    int value;
    int next;
};

// UTF-8 as the loader decodes it ("surrogatepass": encoded surrogates are
// accepted, nothing else that is malformed).
inline bool valid_utf8(const unsigned char* p, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        // Names and keys are ASCII: eight bytes at a time while they are.
        while (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            if (w & 0x8080808080808080ull) break;
            i += 8;
        }
        if (i >= n) break;
        unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        std::uint32_t cp;
        if ((c & 0xE0) == 0xC0) {
            len = 2, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
            cp > 0x10FFFF)
            return false;
        i += len;
    }
    return true;
}

inline std::uint64_t le(const unsigned char* p, std::size_t n) {
    std::uint64_t v = 0;
    for (std::size_t i = n; i-- > 0;) v = (v << 8) | p[i];
    return v;
}

class Machine {
public:
    // Starts on another pickle; the buffers of earlier runs are kept.
    void reset(const unsigned char* p, std::size_t n) {
        p_ = p, n_ = n;
        constexpr std::size_t KEEP = 1 << 16;
        if (nodes_.capacity() > KEEP) std::vector<Node>().swap(nodes_);
        if (edges_.capacity() > KEEP) std::vector<Edge>().swap(edges_);
        if (memo_.capacity() > KEEP) std::vector<int>().swap(memo_);
        nodes_.clear(), edges_.clear(), stack_.clear(), marks_.clear(), memo_.clear();
        memo_count_ = 0, frame_end_ = 0;
    }

    // Runs the pickle to its STOP; false when undecided.
    bool run(int& top) {
        std::size_t i = 0;
        while (true) {
            if (i >= n_) return false;
            if (frame_end_ && i >= frame_end_) frame_end_ = 0;
            unsigned char op = p_[i++];
            switch (op) {
            case 0x80:  // PROTO
                if (!fits(i, 1) || p_[i] > 5) return false;
                i += 1;
                break;
            case 0x95: {  // FRAME: its contents are opcodes too
                if (frame_end_ || !fits(i, 8)) return false;
                std::uint64_t len = le(p_ + i, 8);
                i += 8;
                if (len > n_ - i) return false;
                if (len) frame_end_ = i + static_cast<std::size_t>(len);
                break;
            }
            case '.':  // STOP
                if (i != n_ || above_mark() < 1) return false;
                top = stack_.back();
                return true;
            case '(':
                marks_.push_back(stack_.size());
                break;
            case '0':  // POP: the C loader pops a mark with nothing above it
                if (!marks_.empty() && marks_.back() == stack_.size())
                    marks_.pop_back();
                else if (above_mark() < 1)
                    return false;
                else
                    stack_.pop_back();
                break;
            case '1': {  // POP_MARK
                std::size_t at;
                if (!pop_mark(at)) return false;
                stack_.resize(at);
                break;
            }
            case '2':  // DUP
                if (above_mark() < 1) return false;
                stack_.push_back(stack_.back());
                break;
            case 'N':
            case 0x88:
            case 0x89:  // NONE, NEWTRUE, NEWFALSE
                push(atom());
                break;
            case 'K':
                if (!skip(i, 1)) return false;
                push(atom());
                break;
            case 'M':
                if (!skip(i, 2)) return false;
                push(atom());
                break;
            case 'J':
                if (!skip(i, 4)) return false;
                push(atom());
                break;
            case 'G':  // BINFLOAT
                if (!skip(i, 8)) return false;
                push(atom());
                break;
            case 0x8a:  // LONG1
                if (!counted(i, 1, nullptr)) return false;
                push(atom());
                break;
            case 0x8b:  // LONG4
                if (!counted(i, 4, nullptr)) return false;
                push(atom());
                break;
            case 'C':  // SHORT_BINBYTES
                if (!counted(i, 1, nullptr)) return false;
                push(atom());
                break;
            case 'B':  // BINBYTES
                if (!counted(i, 4, nullptr)) return false;
                push(atom());
                break;
            case 0x8e:  // BINBYTES8
                if (!counted(i, 8, nullptr)) return false;
                push(atom());
                break;
            case 0x8c:  // SHORT_BINUNICODE
            case 'X':   // BINUNICODE
            case 0x8d:  // BINUNICODE8
            {
                std::string_view s;
                if (!counted(i, op == 0x8c ? 1 : op == 'X' ? 4 : 8, &s)) return false;
                if (!valid_utf8(reinterpret_cast<const unsigned char*>(s.data()), s.size()))
                    return false;
                int node = make(Kind::str);
                nodes_[node].text = s;
                push(node);
                break;
            }
            case ')':
                push(make(Kind::tuple));
                break;
            case 0x85:
            case 0x86:
            case 0x87: {  // TUPLE1..3
                std::size_t k = op - 0x84;
                if (!has(k)) return false;
                if (!marks_.empty() && stack_.size() - k < marks_.back()) return false;
                int node = make(Kind::tuple);
                for (std::size_t at = stack_.size() - k; at < stack_.size(); ++at)
                    add(node, stack_[at]);
                stack_.resize(stack_.size() - k);
                push(node);
                break;
            }
            case 't':
            case 'l':
            case 0x91:  // TUPLE, LIST, FROZENSET: from the mark
            {
                std::size_t at;
                if (!pop_mark(at)) return false;
                int node = make(op == 't' ? Kind::tuple : op == 'l' ? Kind::list : Kind::frozenset);
                for (std::size_t k = at; k < stack_.size(); ++k) {
                    if (op == 0x91 && !hashable(stack_[k])) return false;
                    add(node, stack_[k]);
                }
                stack_.resize(at);
                push(node);
                break;
            }
            case ']':
                push(make(Kind::list));
                break;
            case '}':
                push(make(Kind::dict));
                break;
            case 0x8f:  // EMPTY_SET
                push(make(Kind::set));
                break;
            case 'd': {  // DICT from the mark
                std::size_t at;
                if (!pop_mark(at) || (stack_.size() - at) % 2) return false;
                int node = make(Kind::dict);
                for (std::size_t k = at; k < stack_.size(); k += 2)
                    if (!set_item(node, stack_[k], stack_[k + 1])) return false;
                stack_.resize(at);
                push(node);
                break;
            }
            case 'a': {  // APPEND
                if (!has(2) || above_mark() < 2) return false;
                int item = pop();
                if (!append(stack_.back(), &item, 1)) return false;
                break;
            }
            case 'e': {  // APPENDS
                std::size_t at;
                if (!pop_mark(at) || at == 0) return false;
                if (!append(stack_[at - 1], stack_.data() + at, stack_.size() - at)) return false;
                stack_.resize(at);
                break;
            }
            case 0x90: {  // ADDITEMS
                std::size_t at;
                if (!pop_mark(at) || at == 0) return false;
                int target = stack_[at - 1];
                Kind tk = nodes_[target].kind;
                if (tk != Kind::set && tk != Kind::obj) return false;
                for (std::size_t k = at; k < stack_.size(); ++k) {
                    if (!hashable(stack_[k])) return false;
                    if (tk == Kind::set) add(target, stack_[k]);
                }
                stack_.resize(at);
                break;
            }
            case 's': {  // SETITEM
                if (!has(3) || above_mark() < 3) return false;
                int value = pop();
                int key = pop();
                if (!set_into(stack_.back(), key, value)) return false;
                break;
            }
            case 'u': {  // SETITEMS
                std::size_t at;
                if (!pop_mark(at) || at == 0 || (stack_.size() - at) % 2) return false;
                for (std::size_t k = at; k < stack_.size(); k += 2)
                    if (!set_into(stack_[at - 1], stack_[k], stack_[k + 1])) return false;
                stack_.resize(at);
                break;
            }
            case 0x93: {  // STACK_GLOBAL
                if (!has(2) || above_mark() < 2) return false;
                int name = pop();
                int module = pop();
                if (nodes_[name].kind != Kind::str || nodes_[module].kind != Kind::str ||
                    !class_name(nodes_[name].text))
                    return false;
                push(make(Kind::global));
                break;
            }
            case 'R': {  // REDUCE: a placeholder (class or built object) called
                if (!has(2) || above_mark() < 2) return false;
                int args = pop();
                int callable = pop();
                Kind k = nodes_[callable].kind;
                if (nodes_[args].kind != Kind::tuple || (k != Kind::global && k != Kind::obj))
                    return false;
                push(make(Kind::obj));
                break;
            }
            case 0x81: {  // NEWOBJ
                if (!has(2) || above_mark() < 2) return false;
                int args = pop();
                int cls = pop();
                if (nodes_[args].kind != Kind::tuple || nodes_[cls].kind != Kind::global)
                    return false;
                push(make(Kind::obj));
                break;
            }
            case 0x92: {  // NEWOBJ_EX
                if (!has(3) || above_mark() < 3) return false;
                int kwargs = pop();
                int args = pop();
                int cls = pop();
                if (nodes_[kwargs].kind != Kind::dict || nodes_[args].kind != Kind::tuple ||
                    nodes_[cls].kind != Kind::global)
                    return false;
                bool key = true;  // keywords must be str
                for (int e = nodes_[kwargs].head; e >= 0; e = edges_[e].next, key = !key)
                    if (key && nodes_[edges_[e].value].kind != Kind::str) return false;
                push(make(Kind::obj));
                break;
            }
            case 'b': {  // BUILD: a placeholder keeps what it is given
                if (!has(2) || above_mark() < 2) return false;
                int state = pop();
                Node& inst = nodes_[stack_.back()];
                if (inst.kind != Kind::obj) return false;
                inst.state = state;
                break;
            }
            case 0x94:  // MEMOIZE: at the number of entries stored so far
                if (above_mark() < 1) return false;
                memo_put(memo_count_, stack_.back());
                break;
            case 'q':  // BINPUT
            case 'r':  // LONG_BINPUT
            {
                std::size_t w = op == 'q' ? 1 : 4;
                if (!fits(i, w) || above_mark() < 1) return false;
                std::uint64_t idx = le(p_ + i, w);
                i += w;
                if (idx >= n_) return false;  // refused before loading
                memo_put(static_cast<std::size_t>(idx), stack_.back());
                break;
            }
            case 'h':  // BINGET
            case 'j':  // LONG_BINGET
            {
                std::size_t w = op == 'h' ? 1 : 4;
                if (!fits(i, w)) return false;
                std::uint64_t idx = le(p_ + i, w);
                i += w;
                if (idx >= memo_.size() || memo_[idx] < 0) return false;
                push(memo_[idx]);
                break;
            }
            default:
                return false;  // not modelled: the loader decides
            }
            if (nodes_.size() > n_ + 16) return false;
        }
    }

    const Node& node(int i) const { return nodes_[i]; }

    // fields(): the state dict, or the dicts of a (dict, dict) state merged.
    // Looks `key` up as such a merge would find it; -1 when absent.
    int field(int obj, std::string_view key) const {
        const Node& o = nodes_[obj];
        if (o.state < 0) return -1;
        const Node& st = nodes_[o.state];
        if (st.kind == Kind::dict) return lookup(o.state, key);
        if (st.kind == Kind::tuple && st.count == 2) {
            int found = -1;
            for (int e = st.head; e >= 0; e = edges_[e].next)
                if (int part = edges_[e].value; nodes_[part].kind == Kind::dict) {
                    int v = lookup(part, key);
                    if (v >= 0) found = v;
                }
            return found;
        }
        return -1;
    }

private:
    // The loader makes a class named after the global: a name the
    // interpreter refuses (a NUL, an unpaired surrogate) fails the load.
    static bool class_name(std::string_view name) {
        for (std::size_t k = 0; k < name.size(); ++k) {
            auto c = static_cast<unsigned char>(name[k]);
            if (c == 0) return false;
            if (c == 0xED && k + 1 < name.size() &&
                (static_cast<unsigned char>(name[k + 1]) & 0xE0) == 0xA0)
                return false;
        }
        return true;
    }

    void memo_put(std::size_t idx, int value) {
        if (memo_.size() <= idx) memo_.resize(std::max<std::size_t>(idx + 1, 2 * memo_.size()), -1);
        if (memo_[idx] < 0) ++memo_count_;
        memo_[idx] = value;
    }

    void add(int node, int value) {
        edges_.push_back(Edge{value, -1});
        int e = static_cast<int>(edges_.size() - 1);
        Node& n = nodes_[node];
        if (n.tail >= 0)
            edges_[n.tail].next = e;
        else
            n.head = e;
        n.tail = e;
        ++n.count;
    }

    int make(Kind k) {
        nodes_.emplace_back();
        nodes_.back().kind = k;
        return static_cast<int>(nodes_.size() - 1);
    }
    int atom() { return make(Kind::atom); }
    void push(int node) { stack_.push_back(node); }
    int pop() {
        int v = stack_.back();
        stack_.pop_back();
        return v;
    }
    bool has(std::size_t k) const { return stack_.size() >= k; }
    std::size_t above_mark() const {
        return marks_.empty() ? stack_.size() : stack_.size() - marks_.back();
    }
    bool pop_mark(std::size_t& at) {
        if (marks_.empty() || marks_.back() > stack_.size()) return false;
        at = marks_.back();
        marks_.pop_back();
        return true;
    }
    // `k` bytes from `i` are there, and inside the frame being read: the
    // loader reading from a file drops what a read past a frame's end
    // leaves of it, which this model does not follow.
    bool fits(std::size_t i, std::size_t k) const {
        if (k > n_ - i) return false;
        return !frame_end_ || i + k <= frame_end_;
    }
    bool skip(std::size_t& i, std::size_t k) {
        if (!fits(i, k)) return false;
        i += k;
        return true;
    }
    bool counted(std::size_t& i, std::size_t width, std::string_view* out) {
        if (!fits(i, width)) return false;
        std::uint64_t len = le(p_ + i, width);
        i += width;
        if (len > n_ - i || !fits(i, static_cast<std::size_t>(len))) return false;
        if (out) *out = std::string_view(reinterpret_cast<const char*>(p_ + i), len);
        i += len;
        return true;
    }

    // Keys the model can compare: strings and atoms it never looks up.
    // Containers are unhashable (the loader fails); placeholders hash by
    // identity and equal only themselves.
    bool hashable(int key) const {
        Kind k = nodes_[key].kind;
        if (k == Kind::tuple || k == Kind::frozenset) {
            for (int e = nodes_[key].head; e >= 0; e = edges_[e].next)
                if (!hashable(edges_[e].value)) return false;
            return true;
        }
        return k == Kind::str || k == Kind::atom || k == Kind::global || k == Kind::obj;
    }

    bool set_item(int dict, int key, int value) {
        if (!hashable(key)) return false;
        add(dict, key);
        add(dict, value);
        return true;
    }

    bool set_into(int target, int key, int value) {
        Kind k = nodes_[target].kind;
        if (k == Kind::dict) return set_item(target, key, value);
        return k == Kind::obj && hashable(key);  // placeholder __setitem__: kept aside
    }

    bool append(int target, const int* items, std::size_t count) {
        Kind k = nodes_[target].kind;
        if (k == Kind::list) {
            for (std::size_t i = 0; i < count; ++i) add(target, items[i]);
            return true;
        }
        return k == Kind::obj;  // placeholder append/extend
    }

    // The value of a string key as a dict would hold it (the last one set);
    // a key of another kind never equals a string.
    int lookup(int dict, std::string_view key) const {
        int found = -1;
        for (int e = nodes_[dict].head; e >= 0 && edges_[e].next >= 0;
             e = edges_[edges_[e].next].next) {
            const Node& kn = nodes_[edges_[e].value];
            if (kn.kind == Kind::str && kn.text == key) found = edges_[edges_[e].next].value;
        }
        return found;
    }

    const unsigned char* p_ = nullptr;
    std::size_t n_ = 0;
    std::vector<Node> nodes_;
    std::vector<Edge> edges_;
    std::vector<int> stack_;
    std::vector<std::size_t> marks_;
    std::vector<int> memo_;
    std::size_t memo_count_ = 0;
    std::size_t frame_end_ = 0;  // 0: not inside a frame
};

}  // namespace detail

// The loader's view of a call record (writer.describe_call), or undecided.
inline Description describe(const unsigned char* p, std::size_t n) {
    Description out;
    thread_local detail::Machine m;
    m.reset(p, n);
    int top;
    if (!m.run(top)) return out;
    out.decided = true;
    using detail::Kind;
    if (m.node(top).kind != Kind::obj) return out;
    int meta = m.field(top, "function_metadata");
    if (meta >= 0 && m.node(meta).kind == Kind::obj) {
        int name = m.field(meta, "full_name");
        if (name >= 0 && m.node(name).kind == Kind::str) {
            out.has_name = true;
            out.name = m.node(name).text;
        }
    }
    int external = m.field(top, "external_calls");
    if (external >= 0 && m.node(external).kind == Kind::list)
        out.external_calls = m.node(external).count;
    return out;
}

}  // namespace record_scan
