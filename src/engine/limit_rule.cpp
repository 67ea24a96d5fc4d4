// The LimitRule type (the rule of a budget, a rate limit or a repeat limit)
// and the reading of an event's fields and keys for a limit.
#include "limits.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

namespace qba::engine {

LimitTypes limit_types;

// ---------------------------------------------------------------- fields

namespace {

PyObject* library_get = nullptr;  // quindle_brevault_agent.library._get, made once
PyObject* kwargs_name = nullptr;  // "kwargs"
PyObject* action_type_name = nullptr;  // "action_type"

bool init_reading() noexcept {
    if (library_get) {
        return true;
    }
    Ref library = Ref::steal(PyImport_ImportModule("quindle_brevault_agent.library"));
    Ref get = library ? Ref::steal(PyObject_GetAttrString(library.get(), "_get")) : Ref();
    Ref kwargs = Ref::steal(PyUnicode_InternFromString("kwargs"));
    Ref action_type = Ref::steal(PyUnicode_InternFromString("action_type"));
    if (!get || !kwargs || !action_type) {
        return false;
    }
    library_get = get.release();
    kwargs_name = kwargs.release();
    action_type_name = action_type.release();
    return true;
}

}  // namespace

// An exact dict read with an exact str field as the library's rules read
// it; anything else through the library's own `_get`.
PyObject* read_field(PyObject* event, PyObject* field) noexcept {
    if (!init_reading()) {
        return nullptr;
    }
    if (!PyDict_CheckExact(event) || !PyUnicode_CheckExact(field)) {
        return PyObject_CallFunctionObjArgs(library_get, event, field, nullptr);
    }
    PyObject* value;
    int found = PyDict_GetItemRef(event, field, &value);
    if (found != 0) {
        return value;
    }
    Ref kwargs;
    found = PyDict_GetItemRef(event, kwargs_name, kwargs.out());
    if (found <= 0) {
        return found < 0 ? nullptr : Py_NewRef(Py_None);
    }
    if (!PyDict_CheckExact(kwargs.get())) {
        return PyObject_CallFunctionObjArgs(library_get, event, field, nullptr);
    }
    found = PyDict_GetItemRef(kwargs.get(), field, &value);
    return found == 0 ? Py_NewRef(Py_None) : value;
}

// ---------------------------------------------------------------- keys

namespace {

void encode_string(PyObject* text, std::string& out) noexcept {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
            out += static_cast<char>(c);
            continue;
        }
        auto unit = [&](unsigned u) {
            out += "\\u";
            out += hex[(u >> 12) & 15];
            out += hex[(u >> 8) & 15];
            out += hex[(u >> 4) & 15];
            out += hex[u & 15];
        };
        if (c > 0xffff) {
            c -= 0x10000;
            unit(0xd800 + (c >> 10));
            unit(0xdc00 + (c & 0x3ff));
        } else {
            unit(c);
        }
    }
    out += '"';
}

bool encode(PyObject* value, std::string& out) noexcept;

bool encode_text_of(PyObject* value, std::string& out) noexcept {
    Ref text = Ref::steal(PyObject_Str(value));
    if (!text) {
        return false;
    }
    encode_string(text.get(), out);
    return true;
}

bool encode_float(double v, std::string& out) noexcept {
    if (std::isnan(v)) {
        out += "NaN";
        return true;
    }
    if (std::isinf(v)) {
        out += v > 0 ? "Infinity" : "-Infinity";
        return true;
    }
    if (v == std::floor(v) && std::fabs(v) < 9.0e15) {
        // 1.0 keys as 1, as they are equal.
        char buffer[32];
        PyOS_snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(v));
        out += buffer;
        return true;
    }
    char* text = PyOS_double_to_string(v, 'r', 0, 0, nullptr);
    if (!text) {
        return false;
    }
    out += text;
    PyMem_Free(text);
    return true;
}

bool encode_items(PyObject* dict, std::string& out) noexcept {
    std::vector<std::pair<std::string, std::string>> items;
    // A copy of the items: the str() of a value of the caller's own type may
    // change the dict while it is read.
    Ref pairs = Ref::steal(PyDict_Items(dict));
    if (!pairs) {
        return false;
    }
    Py_ssize_t n = PyList_GET_SIZE(pairs.get());
    items.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = PyList_GET_ITEM(pairs.get(), i);
        std::string k, v;
        if (!encode(PyTuple_GET_ITEM(pair, 0), k) || !encode(PyTuple_GET_ITEM(pair, 1), v)) {
            return false;
        }
        items.emplace_back(std::move(k), std::move(v));
    }
    std::sort(items.begin(), items.end());
    out += '{';
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) {
            out += ',';
        }
        out += items[i].first;
        out += ':';
        out += items[i].second;
    }
    out += '}';
    return true;
}

bool encode_sequence(PyObject* sequence, std::string& out) noexcept {
    Ref items = Ref::steal(PySequence_Tuple(sequence));
    if (!items) {
        return false;
    }
    out += '[';
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        if (i) {
            out += ',';
        }
        if (!encode(PyTuple_GET_ITEM(items.get(), i), out)) {
            return false;
        }
    }
    out += ']';
    return true;
}

bool encode_value(PyObject* value, std::string& out) noexcept {
    if (value == Py_None) {
        out += "null";
        return true;
    }
    if (PyBool_Check(value)) {
        out += value == Py_True ? "true" : "false";
        return true;
    }
    if (PyLong_Check(value)) {
        Ref text = Ref::steal(PyLong_Type.tp_repr(value));
        Py_ssize_t size = 0;
        const char* data = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
        if (!data) {
            return false;
        }
        out.append(data, static_cast<size_t>(size));
        return true;
    }
    if (PyFloat_Check(value)) {
        return encode_float(PyFloat_AS_DOUBLE(value), out);
    }
    if (PyUnicode_Check(value)) {
        encode_string(value, out);
        return true;
    }
    if (PyList_Check(value) || PyTuple_Check(value)) {
        return encode_sequence(value, out);
    }
    if (PyDict_Check(value)) {
        return encode_items(value, out);
    }
    PyObject* text = nullptr;
    int is_decimal = decimal_text(value, &text);
    if (is_decimal != 0) {
        Ref owned = Ref::steal(text);
        Py_ssize_t size = 0;
        const char* data = is_decimal > 0 ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
        if (!data) {
            return false;
        }
        out.append(data, static_cast<size_t>(size));
        return true;
    }
    return encode_text_of(value, out);
}

// A value's canonical text: JSON with the keys of an object sorted, ASCII
// only, so that equal values read from any event give the same key.
bool encode(PyObject* value, std::string& out) noexcept {
    if (Py_EnterRecursiveCall(" while reading a limit's key")) {
        return false;
    }
    bool done = encode_value(value, out);
    Py_LeaveRecursiveCall();
    return done;
}

}  // namespace

bool key_text(const LimitRule& rule, PyObject* event, std::string& out) noexcept {
    out.clear();
    if (rule.kind == LimitKind::repeat) {
        // The action type and the arguments: the same call again.
        if (!init_reading()) {
            return false;
        }
        Ref action = Ref::steal(read_field(event, action_type_name));
        Ref arguments = action ? Ref::steal(read_field(event, kwargs_name)) : Ref();
        if (!arguments) {
            return false;
        }
        out += '[';
        if (!encode(action.get(), out)) {
            return false;
        }
        out += ',';
        if (!encode(arguments.get(), out)) {
            return false;
        }
        out += ']';
        return true;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(rule.key);
    if (n == 0) {
        return true;
    }
    out += '[';
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref value = Ref::steal(read_field(event, PyTuple_GET_ITEM(rule.key, i)));
        if (!value) {
            return false;
        }
        if (i) {
            out += ',';
        }
        if (!encode(value.get(), out)) {
            return false;
        }
    }
    out += ']';
    return true;
}

// ---------------------------------------------------------------- LimitRule

static LimitRule* as_rule(PyObject* self) noexcept { return reinterpret_cast<LimitRule*>(self); }

static const char* const kKindNames[] = {"budget", "rate_limit", "repeat_limit"};

// Every field is there until the collector clears the rule.
Py_NO_INLINE static PyObject* raise_cleared_rule() noexcept {
    PyErr_SetString(PyExc_RuntimeError, "the limit's rule was cleared by the garbage collector");
    return nullptr;
}

// The budget's one-event check: an amount that is not one refuses.
static PyObject* rule_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                                 PyObject* kwnames) noexcept {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 1 || (kwnames && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, "a limit's rule takes exactly one argument, the event");
        return nullptr;
    }
    LimitRule* rule = as_rule(self);
    if (!rule->name) {
        return raise_cleared_rule();
    }
    if (rule->kind != LimitKind::budget) {
        return Py_NewRef(state.allow);
    }
    Ref value = Ref::steal(read_field(args[0], rule->field));
    if (!value) {
        return nullptr;
    }
    Num amount;
    int read = read_amount(value.get(), amount);
    if (read < 0) {
        return nullptr;
    }
    return Py_NewRef(read ? state.allow : rule->verdict);
}

static PyObject* rule_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"kind", "limit", "per", "field", "key", "verdict", "name",
                                     nullptr};
    const char* kind = nullptr;
    PyObject* limit = nullptr;
    double per = 0;
    PyObject* field = nullptr;
    PyObject* key = nullptr;
    PyObject* verdict = nullptr;
    PyObject* name = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sOdOO!OO:LimitRule",
                                     const_cast<char**>(keywords), &kind, &limit, &per, &field,
                                     &PyTuple_Type, &key, &verdict, &name)) {
        return nullptr;
    }
    int which = -1;
    for (int i = 0; i < 3; ++i) {
        if (std::strcmp(kind, kKindNames[i]) == 0) {
            which = i;
        }
    }
    if (which < 0) {
        PyErr_Format(PyExc_ValueError, "unknown kind of limit %s", kind);
        return nullptr;
    }
    if (!(per > 0) || std::isinf(per)) {
        PyErr_SetString(PyExc_ValueError, "per must be a finite number of seconds above 0");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(key); ++i) {
        if (!PyUnicode_Check(PyTuple_GET_ITEM(key, i))) {
            PyErr_SetString(PyExc_TypeError, "key must be a tuple of field names");
            return nullptr;
        }
    }
    Num cap;
    int read = read_amount(limit, cap);
    if (read <= 0) {
        if (read == 0) {
            PyErr_Format(PyExc_ValueError,
                         "limit must be a finite number at least 0 (an int, float or Decimal), not %R",
                         limit);
        }
        return nullptr;
    }
    LimitRule* self = reinterpret_cast<LimitRule*>(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    new (&self->cap) Num(std::move(cap));
    self->vectorcall = rule_vectorcall;
    self->kind = static_cast<LimitKind>(which);
    self->per = per;
    self->limit = Py_NewRef(limit);
    self->field = Py_NewRef(field);
    self->key = Py_NewRef(key);
    self->verdict = Py_NewRef(verdict);
    self->name = Py_NewRef(name);
    return reinterpret_cast<PyObject*>(self);
}

static int rule_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    LimitRule* rule = as_rule(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(rule->limit);
    Py_VISIT(rule->field);
    Py_VISIT(rule->key);
    Py_VISIT(rule->verdict);
    Py_VISIT(rule->name);
    return 0;
}

static int rule_clear(PyObject* self) noexcept {
    LimitRule* rule = as_rule(self);
    Py_CLEAR(rule->limit);
    Py_CLEAR(rule->field);
    Py_CLEAR(rule->key);
    Py_CLEAR(rule->verdict);
    Py_CLEAR(rule->name);
    return 0;
}

static void rule_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    rule_clear(self);
    as_rule(self)->cap.~Num();
    type->tp_free(self);
    Py_DECREF(type);
}

static PyObject* rule_repr(PyObject* self) noexcept {
    LimitRule* rule = as_rule(self);
    if (!rule->name) {
        return raise_cleared_rule();
    }
    return PyUnicode_FromFormat("<%s rule %R>", kKindNames[static_cast<int>(rule->kind)],
                                rule->name);
}

static PyObject* get_kind(PyObject* self, void*) noexcept {
    return PyUnicode_FromString(kKindNames[static_cast<int>(as_rule(self)->kind)]);
}

static PyObject* get_per(PyObject* self, void*) noexcept {
    return PyFloat_FromDouble(as_rule(self)->per);
}

static PyObject* rule_reduce(PyObject* self, PyObject*) noexcept {
    LimitRule* rule = as_rule(self);
    if (!rule->name) {
        return raise_cleared_rule();
    }
    return Py_BuildValue("O(sOdOOOO)", Py_TYPE(self), kKindNames[static_cast<int>(rule->kind)],
                         rule->limit, rule->per, rule->field, rule->key, rule->verdict,
                         rule->name);
}

static PyMemberDef rule_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(LimitRule, vectorcall), Py_READONLY,
     nullptr},
    {"limit", Py_T_OBJECT_EX, offsetof(LimitRule, limit), Py_READONLY,
     "The limit: an amount for a budget, a count for the others."},
    {"field", Py_T_OBJECT_EX, offsetof(LimitRule, field), Py_READONLY,
     "The field a budget sums; None for the others."},
    {"key", Py_T_OBJECT_EX, offsetof(LimitRule, key), Py_READONLY,
     "The fields whose values split the limit, a tuple."},
    {"verdict", Py_T_OBJECT_EX, offsetof(LimitRule, verdict), Py_READONLY,
     "The verdict of an event the limit refuses."},
    {"name", Py_T_OBJECT_EX, offsetof(LimitRule, name), Py_READONLY, "The rule's name."},
    {nullptr, 0, 0, 0, nullptr},
};

static PyGetSetDef rule_getset[] = {
    {"kind", get_kind, nullptr, "\"budget\", \"rate_limit\" or \"repeat_limit\".", nullptr},
    {"per", get_per, nullptr, "The window, in seconds.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyMethodDef rule_methods[] = {
    {"__reduce__", rule_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyType_Slot rule_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(rule_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(rule_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(rule_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(rule_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(rule_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, rule_members},
    {Py_tp_getset, rule_getset},
    {Py_tp_methods, rule_methods},
    {Py_tp_doc, const_cast<char*>(
                    "LimitRule(kind, limit, per, field, key, verdict, name)\n--\n\n"
                    "The rule of a limit behaviour. Called on one event it checks what\n"
                    "needs no memory: a budget's amount that is not one (not a number,\n"
                    "NaN, infinite or negative) gets `verdict`, anything else \"ALLOW\".\n"
                    "What the windows hold is checked by the policy's store.")},
    {0, nullptr},
};

static PyType_Spec rule_spec = {
    "quindle_brevault_agent._engine.LimitRule",
    sizeof(LimitRule),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE,
    rule_slots,
};

bool init_limit_rule_type(PyObject* module) noexcept {
    limit_types.rule =
        reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &rule_spec, nullptr));
    return limit_types.rule != nullptr;
}

}  // namespace qba::engine
