// Limits across calls: what the engine shares with the limit files (the
// exact amounts, the limit rules, the in-memory store, a policy's limits and
// the decisions that carry what they admitted).
//
// A policy's limits are decided in two steps: `check_limits` reads, for each
// limit that applied, its key and amount (calling out to the event as the
// rules do), then `admit_limits` asks the store to admit them all or none.
// The engine runs both after the stateless behaviours, when their decision
// does not block. When it asks a person first, nothing is admitted: the
// decision holds its requests until `Limits.admit`, called once the person
// approved, admits them (the order is decide, ask, admit).
#pragma once

#include "engine.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace qba::engine {

__extension__ typedef unsigned __int128 u128;  // GCC and Clang have it

// ---------------------------------------------------------------- amounts

// An exact non-negative decimal, coef * 10^exp. The coefficient is a 128-bit
// integer while it fits, else a Python int (`big`, strong); the result of
// every operation is exact.
class Num {
public:
    Num() noexcept = default;
    Num(u128 coef, std::int32_t exp) noexcept : small_(coef), exp_(exp) {}
    Num(const Num& other) noexcept
        : small_(other.small_), big_(Py_XNewRef(other.big_)), exp_(other.exp_) {}
    Num(Num&& other) noexcept : small_(other.small_), big_(other.big_), exp_(other.exp_) {
        other.big_ = nullptr;
    }
    Num& operator=(const Num& other) noexcept {
        if (this != &other) {
            PyObject* old = big_;
            small_ = other.small_;
            big_ = Py_XNewRef(other.big_);
            exp_ = other.exp_;
            Py_XDECREF(old);
        }
        return *this;
    }
    Num& operator=(Num&& other) noexcept {
        if (this != &other) {
            PyObject* old = big_;
            small_ = other.small_;
            big_ = other.big_;
            exp_ = other.exp_;
            other.big_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Num() { Py_XDECREF(big_); }

    // Takes over a Python int (a new reference, non-negative).
    static Num of_long(PyObject* value, std::int32_t exp) noexcept;

    bool is_zero() const noexcept { return !big_ && small_ == 0; }
    bool is_big() const noexcept { return big_ != nullptr; }
    u128 small() const noexcept { return small_; }
    PyObject* big() const noexcept { return big_; }
    std::int32_t exp() const noexcept { return exp_; }

private:
    u128 small_ = 0;
    PyObject* big_ = nullptr;  // strong, or nullptr while the coefficient is small
    std::int32_t exp_ = 0;
};

// out = a + b, out = a - b (a >= b), and the sign of a - b; false with an
// exception set when Python's ints fail (out of memory).
bool num_add(const Num& a, const Num& b, Num& out) noexcept;
bool num_sub(const Num& a, const Num& b, Num& out) noexcept;
bool num_cmp(const Num& a, const Num& b, int& sign) noexcept;

// The decimal's plain text ("1000", "0.1"), without trailing zeros after
// the point; false with an exception set on failure.
bool num_text(const Num& value, std::string& out) noexcept;
PyObject* num_str(const Num& value) noexcept;

// How an event's amount reads: 1 with `out` set, 0 when it is not an amount
// (not a number; NaN, infinite or negative; beyond the range amounts take),
// -1 with an exception set. None and false values are 0.
int read_amount(PyObject* value, Num& out) noexcept;

// 1 with `*text` (a new reference) the value's own text when `value` is a
// Decimal, 0 when it is not one, -1 with an exception set.
int decimal_text(PyObject* value, PyObject** text) noexcept;

// A text as a decimal amount ("12.50", "1e-7"); the same answers.
int parse_amount(const char* text, Py_ssize_t size, Num& out) noexcept;

// ---------------------------------------------------------------- limit rules

enum class LimitKind : int { budget = 0, rate = 1, repeat = 2 };

// The rule of a limit behaviour: what it limits, and, as a one-event
// function called on its own (the engine checks limits in their own step),
// the part of it that needs no memory: a budget refuses an amount that is
// not one.
struct LimitRule {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    LimitKind kind;
    Num cap;
    double per;
    PyObject* limit;    // strong: the limit as given
    PyObject* field;    // strong: the amount's field (a budget's), else None
    PyObject* key;      // strong: a tuple of field names
    PyObject* verdict;  // strong
    PyObject* name;     // strong: the rule's name
};

// The types of the limit files, made once at module exec like the engine's.
struct LimitTypes {
    PyTypeObject* rule;
    PyTypeObject* memory_store;
    PyTypeObject* limits;
    PyTypeObject* decision;  // LimitedDecision
    PyTypeObject* use;       // the LimitUse named tuple
};

extern LimitTypes limit_types;

bool init_limit_rule_type(PyObject* module) noexcept;

// ---------------------------------------------------------------- keys

// The event's field as the rules read it: top level, then kwargs.
PyObject* read_field(PyObject* event, PyObject* field) noexcept;

// The canonical text of a limit's key for `event` ("" for a limit without
// a key); false with an exception set.
bool key_text(const LimitRule& rule, PyObject* event, std::string& out) noexcept;

// ---------------------------------------------------------------- the in-memory store

struct Window;
struct Slot;

// The windows of one limit (by its identity) in a MemoryStore; it lives as
// long as the store.
Slot* memory_slot(PyObject* store, PyObject* limit_id) noexcept;

// One limit's request in an admission, and then what it admitted.
struct Request {
    Request() noexcept = default;
    Request(Request&& other) noexcept { *this = std::move(other); }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    Request& operator=(Request&& other) noexcept;
    ~Request() { Py_XDECREF(token); }

    Py_ssize_t spec = 0;  // which limit of the policy
    const LimitRule* rule = nullptr;
    Slot* slot = nullptr;
    std::string key;
    Num amount;
    bool blocks = true;  // a refusal blocks (else it flags or asks, and admits)
    bool asks = false;   // the limit's verdict is ASK: over it, a person is asked first
    bool hit = false;    // the limit's hit is in the decision that holds the request
    bool readable = true;  // false: the amount is not one, and the limit refuses it
    bool asked = false;    // sent to the store
    // Filled by the admission:
    bool fits = false;
    bool admitted = false;
    Num used;  // the window's sum after the admission (before it, when refused)
    std::uint64_t id = 0;
    double expires = 0;
    PyObject* token = nullptr;  // strong: a Python store's entry, or nullptr
    Window* window = nullptr;  // the MemoryStore's, while it admits
};

// Admits all the requests that are `asked` or none, in one step of the
// store (under the GIL, with no call out to Python); false with an
// exception set.
bool memory_admit(PyObject* store, Request* requests, Py_ssize_t count, double now) noexcept;
void memory_refund(PyObject* store, Slot* slot, const std::string& key, std::uint64_t id,
                   double expires) noexcept;
bool is_memory_store(PyObject* store) noexcept;
bool init_memory_store_type(PyObject* module) noexcept;

// ---------------------------------------------------------------- a policy's limits

// The limits of a policy, made with the engine: for each behaviour at
// `position`, the index of its limit, or -1.
PyObject* make_limits(PyObject* behaviours, PyObject* store, PyObject* clock) noexcept;
Py_ssize_t limit_index(PyObject* limits, Py_ssize_t position) noexcept;
Py_ssize_t limit_count(PyObject* limits) noexcept;
PyObject* limits_store(PyObject* limits) noexcept;
PyObject* limits_clock(PyObject* limits) noexcept;

// The decision on an event whose stateless decision (`decision`, whose hits
// come from the behaviours at `hit_positions`) does not block, once the
// limits at `applied` (their indices, in policy order) are checked and
// admitted: a new LimitedDecision, or nullptr with an exception set. When
// the stateless decision `asks`, or a limit whose verdict is ASK does not
// fit, nothing is admitted: the decision asks and holds its requests.
PyObject* decide_limits(PyObject* limits, PyObject* event, PyObject* decision,
                        const Py_ssize_t* hit_positions, const Py_ssize_t* applied,
                        Py_ssize_t napplied, bool asks) noexcept;

bool init_limits_types(PyObject* module) noexcept;
bool add_limits_objects(PyObject* module) noexcept;

// Room on the stack for a few indices, on the heap for more.
class Indices {
public:
    explicit Indices(Py_ssize_t capacity) noexcept
        : items_(capacity <= kInline ? inline_ : PyMem_New(Py_ssize_t, capacity)) {}
    Indices(const Indices&) = delete;
    Indices& operator=(const Indices&) = delete;
    ~Indices() {
        if (items_ != inline_) {
            PyMem_Free(items_);
        }
    }
    bool ok() const noexcept { return items_ != nullptr; }
    void add(Py_ssize_t index) noexcept { items_[size_++] = index; }
    Py_ssize_t size() const noexcept { return size_; }
    const Py_ssize_t* data() const noexcept { return items_; }

private:
    static constexpr Py_ssize_t kInline = 16;
    Py_ssize_t inline_[kInline];
    Py_ssize_t* items_;
    Py_ssize_t size_ = 0;
};

}  // namespace qba::engine
