// The MemoryStore type: the windows of every limit in this process, admitted
// and refunded under the GIL, which makes each admission one atomic step.
#include "limits.hpp"

#include <algorithm>
#include <deque>
#include <memory>
#include <new>
#include <unordered_map>

namespace qba::engine {

struct Entry {
    double expires;  // counts while the clock is before this
    std::uint64_t id;
    Num amount;
};

// One key's window: its entries by expiry (then by id), and their sum.
struct Window {
    std::deque<Entry> entries;
    Num total;
};

struct Slot {
    Window keyless;  // the window of a limit without a key
    std::unordered_map<std::string, Window> windows;
};

struct MemoryStore {
    PyObject_HEAD
    std::unordered_map<std::string, std::unique_ptr<Slot>>* slots;  // owned
    std::uint64_t last_id;
    std::size_t windows;      // keyed windows, over every slot
    std::size_t since_sweep;  // admissions since the last sweep
};

static MemoryStore* as_store(PyObject* self) noexcept { return reinterpret_cast<MemoryStore*>(self); }

bool is_memory_store(PyObject* store) noexcept { return Py_TYPE(store) == limit_types.memory_store; }

Slot* memory_slot(PyObject* store, PyObject* limit_id) noexcept {
    Py_ssize_t size = 0;
    const char* id = PyUnicode_AsUTF8AndSize(limit_id, &size);
    if (!id) {
        return nullptr;
    }
    try {
        auto& slot = (*as_store(store)->slots)[std::string(id, static_cast<size_t>(size))];
        if (!slot) {
            slot = std::make_unique<Slot>();
        }
        return slot.get();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
}

// Drops the entries that no longer count at `now`.
static bool expire(Window& window, double now) noexcept {
    auto& entries = window.entries;
    while (!entries.empty() && entries.front().expires <= now) {
        Num left;
        if (!num_sub(window.total, entries.front().amount, left)) {
            return false;
        }
        window.total = std::move(left);
        entries.pop_front();
    }
    if (entries.empty()) {
        window.total = Num(0, 0);  // and back to a small coefficient
    }
    return true;
}

static void insert(Window& window, Entry&& entry) {
    auto& entries = window.entries;
    if (entries.empty() || entries.back().expires <= entry.expires) {
        entries.push_back(std::move(entry));
        return;
    }
    // A clock that went back: kept in order of expiry all the same.
    auto at = std::upper_bound(entries.begin(), entries.end(), entry.expires,
                               [](double expires, const Entry& e) { return expires < e.expires; });
    entries.insert(at, std::move(entry));
}

static bool remove(Window& window, std::uint64_t id, double expires) noexcept {
    auto& entries = window.entries;
    auto at = std::lower_bound(entries.begin(), entries.end(), expires,
                               [](const Entry& e, double when) { return e.expires < when; });
    for (; at != entries.end() && at->expires == expires; ++at) {
        if (at->id == id) {
            Num left;
            if (!num_sub(window.total, at->amount, left)) {
                return false;
            }
            window.total = std::move(left);
            entries.erase(at);
            return true;
        }
    }
    return true;  // expired, or refunded already
}

// Every so often, as many admissions as there are windows: the windows of
// keys not seen again are emptied and dropped.
static void sweep(MemoryStore* store, double now) noexcept {
    store->since_sweep = 0;
    std::size_t kept = 0;
    for (auto& [id, slot] : *store->slots) {
        (void)id;
        expire(slot->keyless, now);
        for (auto it = slot->windows.begin(); it != slot->windows.end();) {
            if (expire(it->second, now) && it->second.entries.empty()) {
                it = slot->windows.erase(it);
            } else {
                ++it;
                ++kept;
            }
        }
    }
    PyErr_Clear();  // a window that could not be expired now is kept
    store->windows = kept;
}

static Window* window_of(MemoryStore* store, Slot* slot, const std::string& key, bool make) {
    if (key.empty()) {
        return &slot->keyless;
    }
    if (!make) {
        auto found = slot->windows.find(key);
        return found == slot->windows.end() ? nullptr : &found->second;
    }
    auto [at, made] = slot->windows.try_emplace(key);
    if (made) {
        ++store->windows;
    }
    return &at->second;
}

bool memory_admit(PyObject* self, Request* requests, Py_ssize_t count, double now) noexcept {
    MemoryStore* store = as_store(self);
    try {
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (requests[i].asked) {
                requests[i].window = window_of(store, requests[i].slot, requests[i].key, true);
            }
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    bool refused = false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Request& request = requests[i];
        if (!request.asked) {
            continue;
        }
        Window& window = *request.window;
        int sign = 0;
        // `used` holds the sum with the amount until it is known to be admitted.
        if (!expire(window, now) || !num_add(window.total, request.amount, request.used) ||
            !num_cmp(request.used, request.rule->cap, sign)) {
            return false;
        }
        request.fits = sign <= 0;
        refused = refused || (!request.fits && request.blocks);
    }
    if (!refused) {
        Py_ssize_t made = 0;
        try {
            for (; made < count; ++made) {
                Request& request = requests[made];
                if (!request.asked) {
                    continue;
                }
                request.id = ++store->last_id;
                request.expires = now + request.rule->per;
                insert(*request.window, Entry{request.expires, request.id, request.amount});
            }
        } catch (const std::bad_alloc&) {
            for (Py_ssize_t i = 0; i < made; ++i) {
                if (!requests[i].asked) {
                    continue;
                }
                auto& entries = requests[i].window->entries;
                std::uint64_t id = requests[i].id;
                entries.erase(std::remove_if(entries.begin(), entries.end(),
                                             [id](const Entry& e) { return e.id == id; }),
                              entries.end());
            }
            PyErr_NoMemory();
            return false;
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            Request& request = requests[i];
            if (request.asked) {
                request.window->total = request.used;
                request.admitted = true;
            }
        }
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!requests[i].asked) {
            continue;
        }
        if (refused) {
            requests[i].used = requests[i].window->total;
        }
        requests[i].window = nullptr;
    }
    if (++store->since_sweep > std::max<std::size_t>(store->windows, 1024)) {
        sweep(store, now);
    }
    return true;
}

void memory_refund(PyObject* self, Slot* slot, const std::string& key, std::uint64_t id,
                   double expires) noexcept {
    MemoryStore* store = as_store(self);
    Window* window = nullptr;
    try {
        window = window_of(store, slot, key, false);
    } catch (...) {
        window = nullptr;
    }
    if (window && !remove(*window, id, expires)) {
        PyErr_Clear();  // the sums of Python ints failed: out of memory
    }
}

// ---------------------------------------------------------------- the type

static PyObject* store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "MemoryStore() takes no arguments");
        return nullptr;
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    auto* slots = new (std::nothrow) std::unordered_map<std::string, std::unique_ptr<Slot>>();
    if (!slots) {
        return PyErr_NoMemory();
    }
    as_store(self.get())->slots = slots;
    return self.release();
}

static void store_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    delete as_store(self)->slots;
    type->tp_free(self);
    Py_DECREF(type);
}

static PyObject* store_repr(PyObject* self) noexcept {
    MemoryStore* store = as_store(self);
    std::size_t entries = 0;
    for (auto& [id, slot] : *store->slots) {
        (void)id;
        entries += slot->keyless.entries.size();
        for (auto& [key, window] : slot->windows) {
            (void)key;
            entries += window.entries.size();
        }
    }
    return PyUnicode_FromFormat("<MemoryStore: %zu limits, %zu entries>", store->slots->size(),
                                entries);
}

static PyObject* store_reduce(PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError,
                    "a MemoryStore holds the windows of one process and cannot be pickled; "
                    "share a SQLiteStore or a RedisStore between processes");
    return nullptr;
}

static PyMethodDef store_methods[] = {
    {"__reduce__", store_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyType_Slot store_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(store_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(store_repr)},
    {Py_tp_methods, store_methods},
    {Py_tp_doc, const_cast<char*>(
                    "MemoryStore()\n--\n\n"
                    "The windows of limits in this process's memory: the default store.\n"
                    "Threads can share it; each admission is one step under the GIL.")},
    {0, nullptr},
};

static PyType_Spec store_spec = {
    "quindle_brevault_agent._engine.MemoryStore",
    sizeof(MemoryStore),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    store_slots,
};

bool init_memory_store_type(PyObject* module) noexcept {
    limit_types.memory_store =
        reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &store_spec, nullptr));
    return limit_types.memory_store != nullptr;
}

}  // namespace qba::engine
