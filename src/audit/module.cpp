// The module frame of quindle_brevault_agent._audit: the decision log's
// records, natively (their JSON, their SHA-256 or HMAC, their write).
#include "audit.hpp"

#include <cstdint>

namespace qba::audit {

State state;

namespace {

const char kModuleDoc[] =
    "The native record path of quindle_brevault_agent.enforce.decision_log.\n"
    "\n"
    "A record's body is written as the log's Python encoding writes it (the\n"
    "same bytes, which the log's tests compare), hashed with SHA-256 or signed\n"
    "with HMAC-SHA256, and appended by a Writer under the file's lock.";

std::int64_t owner_interpreter = -1;

PyObject* bind(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 4) {
        return PyErr_Format(PyExc_TypeError, "bind() takes plain, text, dumps and hits_text (%zd given)",
                            nargs);
    }
    for (Py_ssize_t at = 0; at < nargs; ++at) {
        if (!PyCallable_Check(args[at])) {
            return PyErr_Format(PyExc_TypeError, "bind() takes callables, not %T", args[at]);
        }
    }
    // A later bind (the log's module imported anew) replaces the functions;
    // a call under way holds its own reference.
    Py_XSETREF(state.plain, Py_NewRef(args[0]));
    Py_XSETREF(state.text, Py_NewRef(args[1]));
    Py_XSETREF(state.dumps, Py_NewRef(args[2]));
    Py_XSETREF(state.hits_text, Py_NewRef(args[3]));
    Py_RETURN_NONE;
}

PyObject* body(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 2) {
        return PyErr_Format(PyExc_TypeError, "body() takes a layout and a tuple of values (%zd given)", nargs);
    }
    Buffer out;
    if (!encode_body(out, args[0], args[1])) {
        return nullptr;
    }
    return PyUnicode_DecodeASCII(out.data(), static_cast<Py_ssize_t>(out.size()), "strict");
}

PyObject* hex_digest(const unsigned char digest[kDigestSize]) noexcept {
    char text[2 * kDigestSize];
    to_hex(digest, text);
    return PyUnicode_FromStringAndSize(text, sizeof text);
}

PyObject* sha256(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"", "portable", nullptr};
    Py_buffer data;
    int portable = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*|$p:sha256", const_cast<char**>(keywords), &data,
                                     &portable)) {
        return nullptr;
    }
    Sha256 hash(portable ? compress_portable : state.compress);
    hash.update(data.buf, static_cast<std::size_t>(data.len));
    PyBuffer_Release(&data);
    unsigned char digest[kDigestSize];
    hash.finish(digest);
    return hex_digest(digest);
}

PyObject* hmac_sha256(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"", "", "portable", nullptr};
    Py_buffer key;
    Py_buffer data;
    int portable = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*y*|$p:hmac_sha256", const_cast<char**>(keywords), &key,
                                     &data, &portable)) {
        return nullptr;
    }
    HmacKey signer(static_cast<const unsigned char*>(key.buf), static_cast<std::size_t>(key.len),
                   portable ? compress_portable : state.compress);
    unsigned char mac[kDigestSize];
    signer.sign(data.buf, static_cast<std::size_t>(data.len), mac);
    PyBuffer_Release(&key);
    PyBuffer_Release(&data);
    return hex_digest(mac);
}

PyMethodDef module_methods[] = {
    {"bind", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bind)), METH_FASTCALL,
     PyDoc_STR("bind(plain, text, dumps, hits_text, /)\n--\n\n"
               "The decision log's Python encoding, which the native one calls and falls back on.")},
    {"body", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(body)), METH_FASTCALL,
     PyDoc_STR("body(layout, values, /)\n--\n\nThe fields of a record after \"time\", as ASCII JSON text.")},
    {"sha256", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sha256)),
     METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("sha256(data, /, *, portable=False)\n--\n\n"
               "The SHA-256 of `data` in hex; `portable` leaves the processor's SHA instructions aside.")},
    {"hmac_sha256", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hmac_sha256)),
     METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("hmac_sha256(key, data, /, *, portable=False)\n--\n\nThe HMAC-SHA256 of `data` under `key`, in hex.")},
    {nullptr, nullptr, 0, nullptr},
};

bool init_state(PyObject* module) noexcept {
    state.compress = best_compress();
    return (state.bit_length = PyUnicode_InternFromString("bit_length")) != nullptr &&
           (state.resync = PyUnicode_InternFromString("_continue")) != nullptr &&
           (state.failed = PyUnicode_InternFromString("_failed")) != nullptr &&
           (state.refuse = PyUnicode_InternFromString("_refuse")) != nullptr &&
           (state.record = PyUnicode_InternFromString("record")) != nullptr &&
           (state.redact = PyUnicode_InternFromString("redact")) != nullptr &&
           (state.limits = PyUnicode_InternFromString("limits")) != nullptr &&
           (state.verdict = PyUnicode_InternFromString("verdict")) != nullptr &&
           (state.hits = PyUnicode_InternFromString("hits")) != nullptr &&
           init_layout_type(module) && init_writer_type(module);
}

bool add_objects(PyObject* module) noexcept {
    return PyModule_AddObjectRef(module, "Layout", reinterpret_cast<PyObject*>(state.layout_type)) == 0 &&
           PyModule_AddObjectRef(module, "Writer", reinterpret_cast<PyObject*>(state.writer_type)) == 0 &&
           PyModule_AddIntConstant(module, "VALUE", kValue) == 0 &&
           PyModule_AddIntConstant(module, "HITS", kHits) == 0 &&
           PyModule_AddIntConstant(module, "TEXT", kText) == 0 &&
           PyModule_AddIntConstant(module, "SHA_EXTENSIONS", state.compress != compress_portable) == 0;
}

// The process-wide objects are made by the first exec and kept for good; a
// later exec (the module imported anew) binds the same ones.
int module_exec(PyObject* module) noexcept {
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return -1;
    }
    if (owner_interpreter == -1) {
        owner_interpreter = current;
    } else if (owner_interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "quindle_brevault_agent._audit can only be loaded into one interpreter per process");
        return -1;
    }
    if (!state.writer_type && !init_state(module)) {
        // What was made stays: nothing frees it, and a retried import makes it anew.
        state.layout_type = nullptr;
        state.writer_type = nullptr;
        return -1;
    }
    return add_objects(module) ? 0 : -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_audit", kModuleDoc, 0, module_methods, module_slots, nullptr, nullptr,
    nullptr,
};

}  // namespace

}  // namespace qba::audit

extern "C" PyMODINIT_FUNC PyInit__audit() { return PyModuleDef_Init(&qba::audit::module_def); }
