// The Engine type (the native base of Policy) and the Evaluator type: struct,
// lifecycle and GC, the evaluation, call paths, attributes, types.
#include "engine.hpp"
#include "limits.hpp"

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace qba::engine {

// One behaviour as the evaluation reads it, taken apart at construction.
struct Step {
    PyObject* stage;      // strong: the trigger's stage
    PyObject* where;      // strong, or nullptr when the trigger has no predicate
    PyObject* fn;         // strong: the rule's one-event function
    PyObject* action;     // strong, or nullptr when the behaviour has none
    PyObject* name;       // strong: the behaviour's name
    PyObject* rule_name;  // strong
    PyObject* flag_hit;   // strong: Hit(name, rule_name, "FLAG")
    PyObject* ask_hit;    // strong: Hit(name, rule_name, "ASK")
    PyObject* block_hit;  // strong: Hit(name, rule_name, "BLOCK")
};

// A decision whose every hit has the standard FLAG, ASK or BLOCK string is
// the same value each time the same behaviours flag, ask and block, so it is
// made once: keyed by two bits for each of the first 32 behaviours (its
// verdict's code, `kFlagCode` to `kBlockCode`), in a small table where a key
// may sit in any of kCacheWays slots from its own, so that a few patterns
// that land on the same slot do not keep replacing each other.
inline constexpr int kKeyedSteps = 32;
inline constexpr int kCacheBits = 6;
inline constexpr int kCacheSlots = 1 << kCacheBits;
inline constexpr int kCacheWays = 4;
inline constexpr std::uint64_t kFlagCode = 1;
inline constexpr std::uint64_t kAskCode = 2;
inline constexpr std::uint64_t kBlockCode = 3;

struct CachedDecision {
    std::uint64_t key;   // 0 for an empty slot
    PyObject* decision;  // strong, or nullptr
};

static std::size_t cache_slot(std::uint64_t key) noexcept {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> (64 - kCacheBits));
}

struct Engine {
    PyObject_HEAD
    PyObject* behaviours;  // strong: the tuple; nullptr once the collector cleared the engine
    // strong: each plain-string trigger stage -> its offset in `picks`; nullptr
    // when some trigger stage is neither an exact str nor None, so that every
    // stage is compared with each trigger's, one behaviour at a time.
    PyObject* by_stage;
    Step* steps;           // owned, `nsteps` of them
    Py_ssize_t nsteps;
    // owned: for each plain-string stage, the number of its behaviours then
    // their indices, in policy order.
    Py_ssize_t* picks;
    CachedDecision* cache;  // owned, kCacheSlots of them; made on first use
    PyObject* limits;       // strong: the policy's Limits, or nullptr without limits
    // owned: for each behaviour, the index of its limit or -1; nullptr without limits
    Py_ssize_t* limit_at;
    Py_ssize_t others;      // the offset in `picks` of the limits of every stage, or -1
};

static Engine* as_engine(PyObject* self) noexcept { return reinterpret_cast<Engine*>(self); }

// ------------------------------------------------------------ lifecycle, GC

static void clear_step(Step& step) noexcept {
    Py_CLEAR(step.stage);
    Py_CLEAR(step.where);
    Py_CLEAR(step.fn);
    Py_CLEAR(step.action);
    Py_CLEAR(step.name);
    Py_CLEAR(step.rule_name);
    Py_CLEAR(step.flag_hit);
    Py_CLEAR(step.ask_hit);
    Py_CLEAR(step.block_hit);
}

// Detaches everything before releasing it: a finalizer run by a release may
// reach this engine again, and must find it empty, not half freed.
static int engine_clear(PyObject* self) noexcept {
    Engine* e = as_engine(self);
    Step* steps = e->steps;
    Py_ssize_t nsteps = e->nsteps;
    Py_ssize_t* picks = e->picks;
    PyObject* behaviours = e->behaviours;
    PyObject* by_stage = e->by_stage;
    CachedDecision* cache = e->cache;
    PyObject* limits = e->limits;
    Py_ssize_t* limit_at = e->limit_at;
    e->limits = nullptr;
    e->limit_at = nullptr;
    e->cache = nullptr;
    e->steps = nullptr;
    e->nsteps = 0;
    e->picks = nullptr;
    e->behaviours = nullptr;
    e->by_stage = nullptr;
    for (Py_ssize_t i = 0; i < nsteps; ++i) {
        clear_step(steps[i]);
    }
    if (cache) {
        for (int i = 0; i < kCacheSlots; ++i) {
            Py_XDECREF(cache[i].decision);
        }
    }
    PyMem_Free(cache);
    PyMem_Free(steps);
    PyMem_Free(picks);
    Py_XDECREF(behaviours);
    Py_XDECREF(by_stage);
    Py_XDECREF(limits);
    PyMem_Free(limit_at);
    return 0;
}

static int engine_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Engine* e = as_engine(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(e->behaviours);
    Py_VISIT(e->by_stage);
    Py_VISIT(e->limits);
    for (Py_ssize_t i = 0; i < e->nsteps; ++i) {
        const Step& step = e->steps[i];
        Py_VISIT(step.stage);
        Py_VISIT(step.where);
        Py_VISIT(step.fn);
        Py_VISIT(step.action);
        Py_VISIT(step.name);
        Py_VISIT(step.rule_name);
        Py_VISIT(step.flag_hit);
        Py_VISIT(step.ask_hit);
        Py_VISIT(step.block_hit);
    }
    if (e->cache) {
        for (int i = 0; i < kCacheSlots; ++i) {
            Py_VISIT(e->cache[i].decision);
        }
    }
    return 0;
}

static void engine_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, engine_dealloc)
    engine_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

// ---------------------------------------------------------------- construction

// `value` (a new reference) stored in `*slot`, None read as nullptr.
static bool take_unless_none(PyObject** slot, PyObject* value) noexcept {
    if (!value) {
        return false;
    }
    if (value == Py_None) {
        Py_DECREF(value);
    } else {
        *slot = value;
    }
    return true;
}

// Each read only once the one before succeeded: the first error is the one
// that propagates.
static bool read_step(PyObject* item, Step& step) noexcept {
    Ref on = Ref::steal(PyObject_GetAttrString(item, "on"));
    if (!on) {
        return false;
    }
    Ref rule = Ref::steal(PyObject_GetAttrString(item, "rule"));
    if (!rule) {
        return false;
    }
    if (!(step.stage = PyObject_GetAttrString(on.get(), "stage")) ||
        !take_unless_none(&step.where, PyObject_GetAttrString(on.get(), "where")) ||
        !(step.fn = PyObject_GetAttrString(rule.get(), "fn")) ||
        !(step.rule_name = PyObject_GetAttrString(rule.get(), "name")) ||
        !(step.name = PyObject_GetAttrString(item, "name")) ||
        !take_unless_none(&step.action, PyObject_GetAttrString(item, "action"))) {
        return false;
    }
    return (step.flag_hit = make_hit(step.name, step.rule_name, state.flag)) &&
           (step.ask_hit = make_hit(step.name, step.rule_name, state.ask)) &&
           (step.block_hit = make_hit(step.name, step.rule_name, state.block));
}

// Groups the behaviours by plain-string stage, when every trigger stage is a
// plain string or None: then a plain-string stage selects its behaviours by
// one dict lookup, which agrees with comparing it to each trigger's stage.
// A limit of stage None applies at every stage.
static bool every_stage(const Engine* e, Py_ssize_t i) noexcept {
    return e->limit_at && e->limit_at[i] >= 0 && e->steps[i].stage == Py_None;
}

static bool group_by_stage(Engine* e) noexcept {
    Py_ssize_t grouped = 0;
    Py_ssize_t every = 0;  // limits of every stage: in each group, and a group of their own
    for (Py_ssize_t i = 0; i < e->nsteps; ++i) {
        PyObject* stage = e->steps[i].stage;
        every += every_stage(e, i) ? 1 : 0;
        if (stage == Py_None) {
            continue;
        }
        if (!PyUnicode_CheckExact(stage)) {
            return true;
        }
        ++grouped;
    }
    Ref by_stage = Ref::steal(PyDict_New());
    if (!by_stage) {
        return false;
    }
    // First the number of behaviours of each stage...
    for (Py_ssize_t i = 0; i < e->nsteps; ++i) {
        PyObject* stage = e->steps[i].stage;
        if (stage == Py_None) {
            continue;
        }
        PyObject* count = nullptr;
        if (PyDict_GetItemRef(by_stage.get(), stage, &count) < 0) {
            return false;
        }
        Ref next = Ref::steal(PyLong_FromSsize_t(count ? PyLong_AsSsize_t(count) + 1 : 1 + every));
        Py_XDECREF(count);
        if (!next || PyDict_SetItem(by_stage.get(), stage, next.get()) < 0) {
            return false;
        }
    }
    // ...then each stage's place in `picks`, and its indices filled in order.
    Py_ssize_t nstages = PyDict_GET_SIZE(by_stage.get());
    e->picks = PyMem_New(Py_ssize_t, nstages * (every + 1) + grouped + every + 2);
    if (!e->picks) {
        PyErr_NoMemory();
        return false;
    }
    Py_ssize_t pos = 0;
    Py_ssize_t offset = 0;
    PyObject* stage = nullptr;
    PyObject* count = nullptr;
    while (PyDict_Next(by_stage.get(), &pos, &stage, &count)) {
        Py_ssize_t n = PyLong_AsSsize_t(count);
        Ref place = Ref::steal(PyLong_FromSsize_t(offset));
        if (!place || PyDict_SetItem(by_stage.get(), stage, place.get()) < 0) {
            return false;
        }
        e->picks[offset] = 0;
        offset += n + 1;
    }
    e->others = every ? offset : -1;
    e->picks[offset] = 0;
    for (Py_ssize_t i = 0; i < e->nsteps; ++i) {
        PyObject* step_stage = e->steps[i].stage;
        if (every_stage(e, i)) {
            // In policy order among each stage's own behaviours.
            Py_ssize_t pos = 0;
            PyObject* key = nullptr;
            PyObject* place = nullptr;
            while (PyDict_Next(by_stage.get(), &pos, &key, &place)) {
                Py_ssize_t* group = e->picks + PyLong_AsSsize_t(place);
                group[1 + group[0]++] = i;
            }
            Py_ssize_t* group = e->picks + offset;
            group[1 + group[0]++] = i;
            continue;
        }
        if (step_stage == Py_None) {
            continue;
        }
        PyObject* place = PyDict_GetItemWithError(by_stage.get(), step_stage);  // borrowed
        if (!place) {
            return false;
        }
        Py_ssize_t* group = e->picks + PyLong_AsSsize_t(place);
        group[1 + group[0]++] = i;
    }
    e->by_stage = by_stage.release();
    return true;
}

// The policy's limits, when some of its rules are limits: checked and
// admitted after the other behaviours, in the store given.
static bool attach_limits(Engine* e, PyObject* behaviours, PyObject* store, PyObject* clock) noexcept {
    e->others = -1;
    bool any = false;
    for (Py_ssize_t i = 0; i < e->nsteps; ++i) {
        any = any || Py_TYPE(e->steps[i].fn) == limit_types.rule;
    }
    if (!any) {
        return true;
    }
    Ref limits = Ref::steal(make_limits(behaviours, store, clock));
    if (!limits) {
        return false;
    }
    e->limit_at = PyMem_New(Py_ssize_t, e->nsteps);
    if (!e->limit_at) {
        PyErr_NoMemory();
        return false;
    }
    for (Py_ssize_t i = 0; i < e->nsteps; ++i) {
        e->limit_at[i] = limit_index(limits.get(), i);
    }
    e->limits = limits.release();
    return true;
}

static PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* items = nullptr;
    PyObject* store = nullptr;
    PyObject* clock = nullptr;
    if ((kwargs && PyDict_GET_SIZE(kwargs) != 0) ||
        !PyArg_UnpackTuple(args, type->tp_name, 1, 3, &items, &store, &clock)) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", type->tp_name);
        }
        return nullptr;
    }
    Ref behaviours = Ref::steal(PySequence_Tuple(items));
    if (!behaviours) {
        return nullptr;
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    Engine* e = as_engine(self.get());
    Py_ssize_t n = PyTuple_GET_SIZE(behaviours.get());
    e->steps = PyMem_New(Step, n > 0 ? n : 1);
    if (!e->steps) {
        return PyErr_NoMemory();
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        e->steps[i] = Step{};
    }
    e->nsteps = n;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!read_step(PyTuple_GET_ITEM(behaviours.get(), i), e->steps[i])) {
            return nullptr;
        }
    }
    if (!attach_limits(e, behaviours.get(), store, clock) || !group_by_stage(e)) {
        return nullptr;
    }
    e->behaviours = behaviours.release();
    return self.release();
}

// ---------------------------------------------------------------- evaluation

// The error raised while evaluating `step` gets one note naming the behaviour
// and its rule. A name whose repr fails is shown the way object.__repr__
// shows it; when even the note cannot be made or added, the error stays as
// it was.
static PyObject* repr_or_plain(PyObject* obj) noexcept {
    PyObject* text = PyObject_Repr(obj);
    if (!text) {
        PyErr_Clear();
        text = PyBaseObject_Type.tp_repr(obj);
    }
    return text;
}

Py_NO_INLINE static void add_note(const Step& step) noexcept {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref name = Ref::steal(repr_or_plain(step.name));
    Ref rule = name ? Ref::steal(repr_or_plain(step.rule_name)) : Ref();
    Ref note = rule ? Ref::steal(PyUnicode_FromFormat("while evaluating behaviour %U (rule %U)",
                                                      name.get(), rule.get()))
                    : Ref();
    if (!note || !Ref::steal(PyObject_CallMethodOneArg(error.get(), state.add_note, note.get()))) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(error.release());
}

Py_NO_INLINE static PyObject* raise_cleared() noexcept {
    PyErr_SetString(PyExc_RuntimeError, "the policy was cleared by the garbage collector");
    return nullptr;
}

// The applied behaviours whose verdict is not ALLOW, with their verdicts
// (strong), in policy order. Room for a policy's usual size on the stack.
class Found {
public:
    explicit Found(Py_ssize_t capacity) noexcept
        : items_(capacity <= kInline ? inline_ : PyMem_New(Item, capacity)) {}
    Found(const Found&) = delete;
    Found& operator=(const Found&) = delete;
    ~Found() {
        for (Py_ssize_t i = 0; i < size_; ++i) {
            Py_DECREF(items_[i].verdict);
        }
        if (items_ != inline_) {
            PyMem_Free(items_);
        }
    }
    bool ok() const noexcept { return items_ != nullptr; }
    void add(Py_ssize_t step, PyObject* verdict) noexcept { items_[size_++] = {step, verdict}; }
    Py_ssize_t size() const noexcept { return size_; }
    Py_ssize_t step(Py_ssize_t i) const noexcept { return items_[i].step; }
    PyObject* verdict(Py_ssize_t i) const noexcept { return items_[i].verdict; }

private:
    struct Item {
        Py_ssize_t step;
        PyObject* verdict;
    };
    static constexpr Py_ssize_t kInline = 16;
    Item inline_[kInline];
    Item* items_;
    Py_ssize_t size_ = 0;
};

// What to evaluate: every behaviour (`picked` nullptr, `stage` nullptr), the
// behaviours at `picked` (a count then indices), or every behaviour whose
// trigger stage `stage` is not unequal to, compared one at a time.
struct Selection {
    const Py_ssize_t* picked;
    PyObject* stage;
};

// Straight through the callee's vectorcall slot when it has one (the
// library's functions, Python functions, builtins), else the generic call.
static PyObject* call_one(PyObject* fn, PyObject* event) noexcept {
    PyObject* args[2] = {nullptr, event};
    constexpr size_t nargsf = 1 | PY_VECTORCALL_ARGUMENTS_OFFSET;
    if (vectorcallfunc direct = PyVectorcall_Function(fn)) {
        return direct(fn, args + 1, nargsf, nullptr);
    }
    return PyObject_Vectorcall(fn, args + 1, nargsf, nullptr);
}

// Takes the reference to `result`; True and False are immortal, and have no
// reference to drop.
static int truth_of(PyObject* result) noexcept {
    if (result == Py_True) {
        return 1;
    }
    if (result == Py_False) {
        return 0;
    }
    int truth = PyObject_IsTrue(result);
    Py_DECREF(result);
    return truth;
}

// -1 on error, 0 when the behaviour does not apply, 1 when it does.
Py_ALWAYS_INLINE static inline int applies(const Step& step, PyObject* stage, PyObject* event) noexcept {
    if (stage) {
        // `!=` itself, not an identity shortcut: a stage's own __ne__ decides.
        PyObject* differs = PyObject_RichCompare(stage, step.stage, Py_NE);
        if (!differs) {
            return -1;
        }
        int truth = PyObject_IsTrue(differs);
        Py_DECREF(differs);
        if (truth != 0) {
            return truth < 0 ? -1 : 0;
        }
    }
    if (!step.where) {
        return 1;
    }
    PyObject* result = call_one(step.where, event);
    return result ? truth_of(result) : -1;
}

static PyObject* hit_for(const Step& step, PyObject* verdict) noexcept {
    if (verdict == state.block) {
        return Py_NewRef(step.block_hit);
    }
    if (verdict == state.flag) {
        return Py_NewRef(step.flag_hit);
    }
    if (verdict == state.ask) {
        return Py_NewRef(step.ask_hit);
    }
    return make_hit(step.name, step.rule_name, verdict);
}

static PyObject* build_decision(const Step* steps, const Found& found,
                                PyObject* verdict) noexcept {
    Py_ssize_t nhits = found.size();
    Ref hits = Ref::steal(PyTuple_New(nhits));
    if (!hits) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nhits; ++i) {
        PyObject* hit = hit_for(steps[found.step(i)], found.verdict(i));
        if (!hit) {
            return nullptr;
        }
        PyTuple_SET_ITEM(hits.get(), i, hit);
    }
    return make_decision(verdict, hits.get());
}

// `key` with the hit of behaviour `index` added; 0 when it cannot be keyed.
static std::uint64_t hit_key(Py_ssize_t index, PyObject* verdict, std::uint64_t key) noexcept {
    if (index >= kKeyedSteps) {
        return 0;
    }
    std::uint64_t code;
    if (verdict == state.flag) {
        code = kFlagCode;
    } else if (verdict == state.block) {
        code = kBlockCode;
    } else if (verdict == state.ask) {
        code = kAskCode;
    } else {
        return 0;
    }
    return key | (code << (2 * index));
}

Py_NO_INLINE static Ref cache_miss(Engine* e, std::uint64_t key, const Found& found,
                                   PyObject* verdict) noexcept {
    Ref decision = Ref::steal(build_decision(e->steps, found, verdict));
    if (!decision) {
        return decision;
    }
    if (!e->cache) {
        e->cache = PyMem_New(CachedDecision, kCacheSlots);
        if (!e->cache) {
            return decision;  // uncached, but right
        }
        for (int i = 0; i < kCacheSlots; ++i) {
            e->cache[i] = CachedDecision{0, nullptr};
        }
    }
    // The first free slot of the key's ways, else the key's own slot.
    std::size_t home = cache_slot(key);
    std::size_t at = home;
    for (int way = 0; way < kCacheWays; ++way) {
        std::size_t probe = (home + way) & (kCacheSlots - 1);
        if (e->cache[probe].key == 0) {
            at = probe;
            break;
        }
    }
    CachedDecision& slot = e->cache[at];
    PyObject* old = slot.decision;
    slot.key = key;
    slot.decision = Py_NewRef(decision.get());
    Py_XDECREF(old);
    return decision;
}

static Ref cached_decision(Engine* e, std::uint64_t key, const Found& found,
                           PyObject* verdict) noexcept {
    if (e->cache) {
        std::size_t home = cache_slot(key);
        for (int way = 0; way < kCacheWays; ++way) {
            const CachedDecision& slot = e->cache[(home + way) & (kCacheSlots - 1)];
            if (slot.key == key) {
                return Ref::borrow(slot.decision);
            }
        }
    }
    return cache_miss(e, key, found, verdict);
}

// The decision once the limits that applied are checked and admitted, or,
// when it asks a person first, checked and held for `Limits.admit`.
Py_NO_INLINE static PyObject* with_limits(Engine* e, PyObject* event, PyObject* decision,
                                          const Found& found, const Indices& applied,
                                          bool asks) noexcept {
    Indices positions(found.size());
    if (!positions.ok()) {
        return PyErr_NoMemory();
    }
    for (Py_ssize_t i = 0; i < found.size(); ++i) {
        positions.add(found.step(i));
    }
    return decide_limits(e->limits, event, decision, positions.data(), applied.data(),
                         applied.size(), asks);
}

// The rank of the standard verdicts, which the library's rules return, with
// no call; any other by rank_of.
Py_ALWAYS_INLINE static inline int rank_here(PyObject* verdict) noexcept {
    if (verdict == state.allow) {
        return kAllowRank;
    }
    if (verdict == state.flag) {
        return kFlagRank;
    }
    if (verdict == state.block) {
        return kBlockRank;
    }
    return rank_of(verdict);
}

// What the decision of a policy without limits keeps of its limits: nothing.
struct NoLimits {
    explicit NoLimits(Py_ssize_t) noexcept {}
    static constexpr bool ok() noexcept { return true; }
    static constexpr Py_ssize_t size() noexcept { return 0; }
};

// A policy without limits decides as it always has; one with limits also
// notes the limits that apply, to check and admit them once the other
// behaviours allow the event (and, when they ask, once a person approves).
template <bool kLimited>
static PyObject* decide(Engine* e, PyObject* event, Selection sel) noexcept {
    Py_ssize_t count = sel.picked ? sel.picked[0] : e->nsteps;
    Found found(count);
    if (!found.ok()) {
        return PyErr_NoMemory();
    }
    const Step* steps = e->steps;
    PyObject* verdict = state.allow;  // borrowed from `found` once a behaviour objects
    int worst = kAllowRank;
    std::uint64_t key = 0;  // 0 once a hit cannot be keyed
    std::conditional_t<kLimited, Indices, NoLimits> applied(count);  // the limits that applied
    if (!applied.ok()) {
        return PyErr_NoMemory();
    }
    for (Py_ssize_t k = 0; k < count; ++k) {
        Py_ssize_t index = sel.picked ? sel.picked[k + 1] : k;
        const Step& step = steps[index];
        int apply = applies(step, kLimited && every_stage(e, index) ? nullptr : sel.stage, event);
        if (apply <= 0) {
            if (apply < 0) {
                add_note(step);
                return nullptr;
            }
            continue;
        }
        if constexpr (kLimited) {
            if (Py_ssize_t limit = e->limit_at[index]; limit >= 0) {
                applied.add(limit);  // checked after the others, when they allow
                continue;
            }
        }
        PyObject* result = call_one(step.fn, event);
        int rank = result ? rank_here(result) : -1;
        if (rank <= kAllowRank) {
            Py_XDECREF(result);
            if (rank < 0) {
                add_note(step);
                return nullptr;
            }
            continue;
        }
        found.add(index, result);
        if (found.size() == 1 || key != 0) {
            key = hit_key(index, result, key);
        }
        if (rank > worst) {
            worst = rank;
            verdict = result;
        }
    }
    Py_ssize_t nhits = found.size();
    if (nhits == 0 && applied.size() == 0) {
        return Py_NewRef(state.no_hits);
    }
    Ref decision = nhits == 0  ? Ref::borrow(state.no_hits)
                   : key != 0 ? cached_decision(e, key, found, verdict)
                              : Ref::steal(build_decision(steps, found, verdict));
    if (!decision) {
        return nullptr;
    }
    if constexpr (kLimited) {
        if (applied.size() != 0 && worst < kBlockRank) {
            decision = Ref::steal(
                with_limits(e, event, decision.get(), found, applied, worst == kAskRank));
            if (!decision) {
                return nullptr;
            }
        }
    }
    // Actions once the decision is made, in policy order.
    for (Py_ssize_t i = 0; i < nhits; ++i) {
        const Step& step = steps[found.step(i)];
        if (!step.action) {
            continue;
        }
        PyObject* args[3] = {nullptr, event, found.verdict(i)};
        PyObject* ignored =
            PyObject_Vectorcall(step.action, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        if (!ignored) {
            add_note(step);
            return nullptr;
        }
        Py_DECREF(ignored);
    }
    return decision.release();
}

// Out of the way of the policies without limits.
Py_NO_INLINE static PyObject* decide_limited(Engine* e, PyObject* event, Selection sel) noexcept {
    return decide<true>(e, event, sel);
}

// Where a stage's behaviours are: every behaviour, those at an offset of
// `picks`, none, or those found by comparing the stage with each trigger's.
inline constexpr Py_ssize_t kEvery = -1;
inline constexpr Py_ssize_t kNone = -2;
inline constexpr Py_ssize_t kCompare = -3;

static Py_ssize_t place_of(Engine* e, PyObject* stage) noexcept {
    if (stage == Py_None) {
        return kEvery;
    }
    if (e->by_stage && PyUnicode_CheckExact(stage)) {
        // An exact str looked up among exact strs: nothing can raise.
        PyObject* place = PyDict_GetItemWithError(e->by_stage, stage);  // borrowed
        if (place) {
            return PyLong_AsSsize_t(place);
        }
        return e->others >= 0 ? e->others : kNone;
    }
    return kCompare;
}

// Around the calls out: a rule that evaluates a policy again, or that is
// another policy's evaluator, recurses through here with no Python frame in
// between, so the depth is guarded as the library's functions guard theirs.
// Inlined into both call paths, so that the guard costs no call of its own.
Py_ALWAYS_INLINE static inline PyObject* evaluate_at(Engine* e, PyObject* event,
                                                     PyObject* stage, Py_ssize_t place) noexcept {
    if (place == kNone) {
        return Py_NewRef(state.no_hits);
    }
    Selection sel{place >= 0 ? e->picks + place : nullptr, place == kCompare ? stage : nullptr};
    NestedCall level(" while evaluating a policy");
    if (!level) {
        return nullptr;
    }
    if (e->limit_at) [[unlikely]] {
        return decide_limited(e, event, sel);
    }
    return decide<false>(e, event, sel);
}

// ---------------------------------------------------------------- call paths

// A raw vectorcall may pass keyword names that are not strings.
static bool is_keyword(PyObject* key, PyObject* name) noexcept {
    return key == name || (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0);
}

// A keyword that no call written in Python could pass: a name that is not a
// string, or `stage` twice.
Py_NO_INLINE static PyObject* raise_keyword(const char* function, PyObject* key) noexcept {
    if (PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     function, key);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", function);
    }
    return nullptr;
}

Py_NO_INLINE static PyObject* raise_arguments(const char* function, Py_ssize_t nargs,
                                              PyObject* unexpected, bool has_event,
                                              bool has_stage) noexcept {
    if (unexpected) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                     unexpected);
    } else if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes 1 positional argument but %zd were given",
                     function, nargs);
    } else if (!has_event) {
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'event'",
                     function);
    } else if (!has_stage) {
        PyErr_Format(PyExc_TypeError,
                     "%s() missing 1 required keyword-only argument: 'stage'", function);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument 'event'", function);
    }
    return nullptr;
}

// evaluate(event, *, stage)
static PyObject* engine_evaluate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
    PyObject* event = nargs >= 1 ? args[0] : nullptr;
    PyObject* stage = nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    bool twice = false;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (is_keyword(key, state.stage)) {
            if (stage) {
                return raise_keyword("evaluate", key);
            }
            stage = args[nargs + i];
        } else if (is_keyword(key, state.event)) {
            twice = twice || event != nullptr;
            event = args[nargs + i];
        } else if (!PyUnicode_Check(key)) {
            return raise_keyword("evaluate", key);
        } else {
            return raise_arguments("evaluate", nargs, key, true, true);
        }
    }
    if (nargs > 1 || !event || !stage || twice) {
        return raise_arguments("evaluate", nargs, nullptr, event != nullptr, stage != nullptr);
    }
    Engine* e = as_engine(self);
    if (!e->behaviours) {
        return raise_cleared();
    }
    return evaluate_at(e, event, stage, place_of(e, stage));
}

static PyObject* get_behaviours(PyObject* self, void*) noexcept {
    Engine* e = as_engine(self);
    return e->behaviours ? Py_NewRef(e->behaviours) : raise_cleared();
}

static PyObject* get_limits(PyObject* self, void*) noexcept {
    Engine* e = as_engine(self);
    if (!e->behaviours) {
        return raise_cleared();
    }
    return Py_NewRef(e->limits ? e->limits : Py_None);
}

// ---------------------------------------------------------------- Evaluator

// A policy's evaluation at one stage, as a one-event callable.
struct Evaluator {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* engine;  // strong
    PyObject* stage;   // strong
    Py_ssize_t place;  // where the stage's behaviours are, worked out once
};

static Evaluator* as_evaluator(PyObject* self) noexcept {
    return reinterpret_cast<Evaluator*>(self);
}

Py_NO_INLINE static PyObject* raise_evaluator_arguments(Py_ssize_t nargs) noexcept {
    PyErr_Format(PyExc_TypeError, "evaluator takes exactly one argument, the event (%zd given)",
                 nargs);
    return nullptr;
}

static PyObject* evaluator_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                                      PyObject* kwnames) noexcept {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 1 || (kwnames && PyTuple_GET_SIZE(kwnames) != 0)) {
        return raise_evaluator_arguments(nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0));
    }
    Evaluator* ev = as_evaluator(self);
    Engine* e = ev->engine ? as_engine(ev->engine) : nullptr;
    if (!e || !e->behaviours) {
        return raise_cleared();
    }
    return evaluate_at(e, args[0], ev->stage, ev->place);
}

static int evaluator_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_evaluator(self)->engine);
    Py_VISIT(as_evaluator(self)->stage);
    return 0;
}

static int evaluator_clear(PyObject* self) noexcept {
    Py_CLEAR(as_evaluator(self)->engine);
    Py_CLEAR(as_evaluator(self)->stage);
    return 0;
}

// An evaluator may be the stage of another, as deep as a caller nests them:
// the trashcan defers the freeing of a deep chain, as in engine_dealloc, and
// repr goes down through it inside the nesting guard.
static void evaluator_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, evaluator_dealloc)
    evaluator_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

static PyObject* evaluator_repr(PyObject* self) noexcept {
    Evaluator* ev = as_evaluator(self);
    if (!ev->engine) {
        return PyUnicode_FromString("<evaluator, cleared>");
    }
    NestedCall level(" while getting the repr of an object");
    return level ? PyUnicode_FromFormat("<evaluator of %T at stage %R>", ev->engine, ev->stage)
                 : nullptr;
}

static PyObject* get_stage(PyObject* self, void*) noexcept {
    Evaluator* ev = as_evaluator(self);
    return ev->stage ? Py_NewRef(ev->stage) : raise_cleared();
}

static PyObject* get_policy(PyObject* self, void*) noexcept {
    Evaluator* ev = as_evaluator(self);
    return ev->engine ? Py_NewRef(ev->engine) : raise_cleared();
}

// evaluator(*, stage)
static PyObject* engine_evaluator(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs != 0 || nkw != 1 || !is_keyword(PyTuple_GET_ITEM(kwnames, 0), state.stage)) {
        PyErr_SetString(PyExc_TypeError, "evaluator() takes one keyword-only argument, 'stage'");
        return nullptr;
    }
    Engine* e = as_engine(self);
    if (!e->behaviours) {
        return raise_cleared();
    }
    Evaluator* ev = PyObject_GC_New(Evaluator, state.evaluator_type);
    if (!ev) {
        return nullptr;
    }
    ev->vectorcall = evaluator_vectorcall;
    ev->engine = Py_NewRef(self);
    ev->stage = Py_NewRef(args[0]);
    ev->place = place_of(e, args[0]);
    PyObject_GC_Track(ev);
    return reinterpret_cast<PyObject*>(ev);
}

// ---------------------------------------------------------------- types

static const char evaluate_doc[] =
    "evaluate($self, event, *, stage)\n"
    "--\n"
    "\n"
    "Check every behaviour against `event` and return the `Decision`.\n"
    "\n"
    "A behaviour applies when `stage` is None or equal to its trigger's stage\n"
    "(a stage that is not a plain string is compared with `!=` to each trigger's\n"
    "stage in turn, in policy order), and its trigger's `where` predicate, if\n"
    "any, is true for `event`. An applied behaviour's verdict is whatever its\n"
    "rule returns, None included (None then ranks with BLOCK, like any verdict\n"
    "that is not one of the four: ALLOW, FLAG, ASK, BLOCK).\n"
    "\n"
    "Actions: once the decision is made, the `action` of each applied behaviour\n"
    "whose verdict is not ALLOW is called as ``action(event, verdict)``, in\n"
    "policy order; its return value is ignored.\n"
    "\n"
    "Errors raised by a stage comparison, a trigger predicate, a rule or an\n"
    "action propagate unchanged, with one note added that names the behaviour\n"
    "and its rule. A rule error leaves no action called; an action error leaves\n"
    "the later actions uncalled.";

static const char evaluator_doc[] =
    "evaluator($self, /, *, stage)\n"
    "--\n"
    "\n"
    "A one-event callable: ``evaluator(stage=s)(event)`` is\n"
    "``evaluate(event, stage=s)``, with the behaviours of a plain-string stage\n"
    "looked up once.";

static PyMethodDef engine_methods[] = {
    {"evaluate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_evaluate)),
     METH_FASTCALL | METH_KEYWORDS, evaluate_doc},
    {"evaluator", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_evaluator)),
     METH_FASTCALL | METH_KEYWORDS, evaluator_doc},
    {nullptr, nullptr, 0, nullptr},
};

static PyGetSetDef engine_getset[] = {
    {"behaviours", get_behaviours, nullptr, "The behaviours, in policy order.", nullptr},
    {"limits", get_limits, nullptr,
     "The policy's Limits (its store, clock and limit rules), or None without limits.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyType_Slot engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(engine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(engine_clear)},
    {Py_tp_methods, engine_methods},
    {Py_tp_getset, engine_getset},
    {Py_tp_doc, const_cast<char*>("Engine(behaviours, store=None, clock=None, /)\n--\n\n"
                                  "The evaluation of an ordered tuple of behaviours; the\n"
                                  "windows of their limits are kept in `store`, by `clock`.")},
    {0, nullptr},
};

static PyType_Spec engine_spec = {
    "quindle_brevault_agent._engine.Engine",
    sizeof(Engine),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    engine_slots,
};

static PyMemberDef evaluator_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Evaluator, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

static PyGetSetDef evaluator_getset[] = {
    {"stage", get_stage, nullptr, "The stage it evaluates at.", nullptr},
    {"policy", get_policy, nullptr, "The policy it evaluates.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyType_Slot evaluator_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(evaluator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(evaluator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(evaluator_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(evaluator_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, evaluator_members},
    {Py_tp_getset, evaluator_getset},
    {Py_tp_doc, const_cast<char*>("A policy's evaluation at one stage, as a one-event callable.")},
    {0, nullptr},
};

static PyType_Spec evaluator_spec = {
    "quindle_brevault_agent._engine.Evaluator",
    sizeof(Evaluator),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    evaluator_slots,
};

bool init_engine_types(PyObject* module) noexcept {
    state.engine_type =
        reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &engine_spec, nullptr));
    state.evaluator_type = reinterpret_cast<PyTypeObject*>(
        PyType_FromModuleAndSpec(module, &evaluator_spec, nullptr));
    return state.engine_type && state.evaluator_type;
}

}  // namespace qba::engine
