// Layout: the fields of one kind of record, after "time" and before "prev",
// each with how its value is written.
#include "audit.hpp"

namespace qba::audit {

namespace {

struct Layout {
    PyObject_HEAD
    PyObject* fields;  // strong: a tuple of (name, kind) pairs of exact str and int
    PyObject* heads;   // strong: a tuple of bytes, each field's `, "name": `
    PyObject* kinds;   // strong: bytes, each field's kind
};

Layout* as_layout(PyObject* self) noexcept { return reinterpret_cast<Layout*>(self); }

PyObject* layout_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"fields", nullptr};
    PyObject* given = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Layout", const_cast<char**>(keywords), &given)) {
        return nullptr;
    }
    Ref pairs = Ref::steal(PySequence_Tuple(given));
    if (!pairs) {
        return nullptr;
    }
    const Py_ssize_t count = PyTuple_GET_SIZE(pairs.get());
    // Made anew of exact types, so that nothing in a layout can refer back to it.
    Ref fields = Ref::steal(PyTuple_New(count));
    Ref heads = Ref::steal(PyTuple_New(count));
    Ref kinds = Ref::steal(PyBytes_FromStringAndSize(nullptr, count));
    if (!fields || !heads || !kinds) {
        return nullptr;
    }
    for (Py_ssize_t at = 0; at < count; ++at) {
        PyObject* field = PyTuple_GET_ITEM(pairs.get(), at);
        PyObject* name = nullptr;
        int kind = 0;
        if (!PyTuple_Check(field) || PyTuple_GET_SIZE(field) != 2) {
            return PyErr_Format(PyExc_TypeError, "Layout takes (name, kind) pairs, not %R", field);
        }
        if (!PyArg_ParseTuple(field, "Ui:Layout", &name, &kind)) {
            return nullptr;
        }
        if (kind != kValue && kind != kHits && kind != kText) {
            return PyErr_Format(PyExc_ValueError, "field %R: kind %d is not one of 0, 1, 2", name, kind);
        }
        Buffer head;
        head.put(", ");
        encode_string(head, name);
        head.put(": ");
        if (head.broken()) {
            return PyErr_NoMemory();
        }
        PyObject* bytes = PyBytes_FromStringAndSize(head.data(), static_cast<Py_ssize_t>(head.size()));
        if (!bytes) {
            return nullptr;
        }
        PyTuple_SET_ITEM(heads.get(), at, bytes);
        PyObject* pair = Py_BuildValue("(Ni)", PyUnicode_FromObject(name), kind);
        if (!pair) {
            return nullptr;
        }
        PyTuple_SET_ITEM(fields.get(), at, pair);
        PyBytes_AS_STRING(kinds.get())[at] = static_cast<char>(kind);
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self) {
        as_layout(self)->fields = fields.release();
        as_layout(self)->heads = heads.release();
        as_layout(self)->kinds = kinds.release();
    }
    return self;
}

void layout_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    Py_CLEAR(as_layout(self)->fields);
    Py_CLEAR(as_layout(self)->heads);
    Py_CLEAR(as_layout(self)->kinds);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* layout_fields(PyObject* self, void*) noexcept { return Py_NewRef(as_layout(self)->fields); }

PyGetSetDef layout_getset[] = {
    {"fields", layout_fields, nullptr, PyDoc_STR("The (name, kind) pairs, in order."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char layout_doc[] =
    "Layout(fields)\n"
    "--\n"
    "\n"
    "The fields of one kind of record, in order: (name, kind) pairs, where kind\n"
    "0 writes the value as dumps() does, 1 writes a decision's hits as dumps()\n"
    "writes their dicts, and 2 writes a str of ASCII JSON as it is.";

PyType_Slot layout_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(layout_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(layout_dealloc)},
    {Py_tp_getset, layout_getset},
    {Py_tp_doc, const_cast<char*>(layout_doc)},
    {0, nullptr},
};

PyType_Spec layout_spec = {
    "quindle_brevault_agent._audit.Layout",
    sizeof(Layout),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    layout_slots,
};

}  // namespace

bool encode_body(Buffer& out, PyObject* layout, PyObject* values) noexcept {
    if (!Py_IS_TYPE(layout, state.layout_type)) {
        PyErr_Format(PyExc_TypeError, "a record's fields are given by a Layout, not %T", layout);
        return false;
    }
    Layout* fields = as_layout(layout);
    const Py_ssize_t count = PyTuple_GET_SIZE(fields->heads);
    if (!PyTuple_CheckExact(values) || PyTuple_GET_SIZE(values) != count) {
        PyErr_Format(PyExc_TypeError, "the layout has %zd fields: their values go in a tuple of %zd",
                     count, count);
        return false;
    }
    const char* kinds = PyBytes_AS_STRING(fields->kinds);
    for (Py_ssize_t at = 0; at < count; ++at) {
        PyObject* head = PyTuple_GET_ITEM(fields->heads, at);
        out.put(PyBytes_AS_STRING(head), static_cast<std::size_t>(PyBytes_GET_SIZE(head)));
        if (!encode_field(out, PyTuple_GET_ITEM(values, at), kinds[at])) {
            return false;
        }
    }
    if (out.broken()) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

bool init_layout_type(PyObject* module) noexcept {
    PyObject* type = PyType_FromModuleAndSpec(module, &layout_spec, nullptr);
    state.layout_type = reinterpret_cast<PyTypeObject*>(type);
    return type != nullptr;
}

}  // namespace qba::audit
