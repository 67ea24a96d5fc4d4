// A record's values as JSON, written as the decision log's Python encoding
// writes them: json.dumps(plain(value)) with its ASCII escapes, float repr,
// separators and fallbacks. What this file does not write itself (objects
// of other types, dicts with keys that are not str, very large ints, values
// nested deeper than plain() goes) it has plain() make, and when that
// encoding would have fallen back to the str() of the whole value, it calls
// dumps() itself, so that the bytes are the same in every case.
#include "audit.hpp"

#include <charconv>
#include <cmath>
#include <ctime>

namespace qba::audit {

// ---------------------------------------------------------------- buffer

Buffer::~Buffer() {
    if (data_ != inline_) {
        PyMem_RawFree(data_);
    }
}

bool Buffer::grow(std::size_t more) noexcept {
    if (broken_) {
        return false;
    }
    std::size_t wanted = capacity_ * 2 > size_ + more ? capacity_ * 2 : size_ + more;
    char* grown = static_cast<char*>(
        data_ == inline_ ? PyMem_RawMalloc(wanted) : PyMem_RawRealloc(data_, wanted));
    if (!grown) {
        broken_ = true;
        return false;
    }
    if (data_ == inline_) {
        std::memcpy(grown, inline_, size_);
    }
    data_ = grown;
    capacity_ = wanted;
    return true;
}

namespace {

enum class Status {
    ok,
    failed,    // an exception is set, and the Python encoding raises it too
    fallback,  // the Python encoding of the whole field gives the bytes
};

// Deeper than this, plain() writes a container (or any object but str,
// bool, None, int and float) as its str().
constexpr int kDeepest = 200;
// plain() writes an int of this many bits or more as its str().
constexpr long kLongestInt = 8000;

// The exceptions that dumps() catches, writing the str() of the whole value
// instead.
Status after_error() noexcept {
    if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_TypeError) ||
        PyErr_ExceptionMatches(PyExc_RecursionError)) {
        PyErr_Clear();
        return Status::fallback;
    }
    return Status::failed;
}

// The characters json.dumps writes as they are.
constexpr bool plain_char(Py_UCS4 c) noexcept { return c >= ' ' && c <= '~' && c != '\\' && c != '"'; }

void escape(Buffer& out, Py_UCS4 c) noexcept {
    static const char digits[] = "0123456789abcdef";
    switch (c) {
        case '\\': out.put_unchecked('\\'); out.put_unchecked('\\'); return;
        case '"': out.put_unchecked('\\'); out.put_unchecked('"'); return;
        case '\b': out.put_unchecked('\\'); out.put_unchecked('b'); return;
        case '\f': out.put_unchecked('\\'); out.put_unchecked('f'); return;
        case '\n': out.put_unchecked('\\'); out.put_unchecked('n'); return;
        case '\r': out.put_unchecked('\\'); out.put_unchecked('r'); return;
        case '\t': out.put_unchecked('\\'); out.put_unchecked('t'); return;
        default: break;
    }
    if (c >= 0x10000) {  // a surrogate pair
        Py_UCS4 v = c - 0x10000;
        escape(out, 0xd800 | ((v >> 10) & 0x3ff));
        escape(out, 0xdc00 | (v & 0x3ff));
        return;
    }
    char* at = out.end();
    at[0] = '\\';
    at[1] = 'u';
    at[2] = digits[(c >> 12) & 15];
    at[3] = digits[(c >> 8) & 15];
    at[4] = digits[(c >> 4) & 15];
    at[5] = digits[c & 15];
    out.advance(6);
}

void put_ascii(Buffer& out, PyObject* text) noexcept {
    out.put(static_cast<const char*>(PyUnicode_DATA(text)),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
}

Status put_text(Buffer& out, PyObject* value) noexcept;
Status put_value(Buffer& out, PyObject* value, int depth, bool planned) noexcept;

// A callable of the process-wide state called with one or two arguments;
// held for the call, as a call may bind others.
PyObject* call(PyObject* slot, PyObject* first, PyObject* second = nullptr) noexcept {
    Ref callable = Ref::borrow(slot);
    if (!callable) {
        PyErr_SetString(PyExc_RuntimeError, "the decision log's encoding is not bound");
        return nullptr;
    }
    PyObject* args[] = {first, second};
    return PyObject_Vectorcall(callable.get(), args, second ? 2 : 1, nullptr);
}

// _text(value): its str(), or "<TypeName>" when that raises.
Py_NO_INLINE Status put_text(Buffer& out, PyObject* value) noexcept {
    Ref text = Ref::steal(call(state.text, value));
    if (!text) {
        return after_error();
    }
    if (!PyUnicode_Check(text.get())) {
        return Status::fallback;
    }
    encode_string(out, text.get());
    return Status::ok;
}

Py_NO_INLINE Status put_long_int(Buffer& out, PyObject* value) noexcept {
    Ref bits = Ref::steal(PyObject_CallMethodNoArgs(value, state.bit_length));
    if (!bits) {
        return Status::failed;
    }
    long count = PyLong_AsLong(bits.get());
    if (count == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        count = kLongestInt;
    }
    if (count >= kLongestInt) {
        return put_text(out, value);
    }
    Ref digits = Ref::steal(PyObject_Str(value));  // the repr json.dumps writes
    if (!digits) {
        return after_error();  // over the limit of int's str()
    }
    put_ascii(out, digits.get());
    return Status::ok;
}

Status put_int(Buffer& out, PyObject* value) noexcept {
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0) {
        return put_long_int(out, value);
    }
    if (out.reserve(24)) {
        auto done = std::to_chars(out.end(), out.end() + 24, number);
        out.advance(static_cast<std::size_t>(done.ptr - out.end()));
    }
    return Status::ok;
}

Status put_float(Buffer& out, PyObject* value) noexcept {
    double number = PyFloat_AS_DOUBLE(value);
    if (!std::isfinite(number)) {
        // str(): plain() writes NaN and the infinities as text.
        if (std::isnan(number)) {
            out.put("\"nan\"");
        } else if (number > 0) {
            out.put("\"inf\"");
        } else {
            out.put("\"-inf\"");
        }
        return Status::ok;
    }
    char* text = PyOS_double_to_string(number, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!text) {
        return Status::failed;
    }
    out.put(text, std::strlen(text));
    PyMem_Free(text);
    return Status::ok;
}

// plain(value, depth), written: what plain() makes is strict JSON unless an
// object claims a class it is not, which json.dumps refuses.
Py_NO_INLINE Status put_planned(Buffer& out, PyObject* value, int depth) noexcept {
    Ref level = Ref::steal(PyLong_FromLong(depth));
    if (!level) {
        return Status::failed;
    }
    Ref made = Ref::steal(call(state.plain, value, level.get()));
    if (!made) {
        return after_error();
    }
    return put_value(out, made.get(), depth, true);
}

Status put_dict(Buffer& out, PyObject* dict, int depth, bool planned) noexcept {
    Py_ssize_t at = 0;
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    // plain() turns every key into a str, and keeps one item of the keys
    // whose str() is the same: that dict is its to make.
    while (PyDict_Next(dict, &at, &key, &item)) {
        if (planned ? !PyUnicode_Check(key) : !PyUnicode_CheckExact(key)) {
            return planned ? Status::fallback : put_planned(out, dict, depth);
        }
    }
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    out.put('{');
    at = 0;
    bool first = true;
    while (PyDict_Next(dict, &at, &key, &item)) {
        if (!PyUnicode_Check(key)) {  // a str() called on the way put another key in
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return Status::failed;
        }
        Ref held_key = Ref::borrow(key);
        Ref held_item = Ref::borrow(item);
        if (!first) {
            out.put(", ");
        }
        first = false;
        encode_string(out, key);
        out.put(": ");
        Status status = put_value(out, item, depth + 1, planned);
        if (status != Status::ok) {
            return status;
        }
        if (PyDict_GET_SIZE(dict) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return Status::failed;
        }
    }
    out.put('}');
    return Status::ok;
}

Status put_list(Buffer& out, PyObject* list, int depth, bool planned) noexcept {
    out.put('[');
    // The list is read as plain() reads it: its length again at each item.
    for (Py_ssize_t at = 0; at < PyList_GET_SIZE(list); ++at) {
        Ref item = Ref::steal(PyList_GetItemRef(list, at));
        if (!item) {
            return Status::failed;
        }
        if (at > 0) {
            out.put(", ");
        }
        Status status = put_value(out, item.get(), depth + 1, planned);
        if (status != Status::ok) {
            return status;
        }
    }
    out.put(']');
    return Status::ok;
}

Status put_tuple(Buffer& out, PyObject* tuple, int depth, bool planned) noexcept {
    out.put('[');
    for (Py_ssize_t at = 0; at < PyTuple_GET_SIZE(tuple); ++at) {
        if (at > 0) {
            out.put(", ");
        }
        Status status = put_value(out, PyTuple_GET_ITEM(tuple, at), depth + 1, planned);
        if (status != Status::ok) {
            return status;
        }
    }
    out.put(']');
    return Status::ok;
}

// `planned`: `value` is what plain() made, written as json.dumps writes it.
Status put_value(Buffer& out, PyObject* value, int depth, bool planned) noexcept {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) {
        encode_string(out, value);
        return Status::ok;
    }
    if (value == Py_None) {
        out.put("null");
        return Status::ok;
    }
    if (value == Py_True || value == Py_False) {
        if (value == Py_True) {
            out.put("true");
        } else {
            out.put("false");
        }
        return Status::ok;
    }
    if (type == &PyLong_Type) {
        return put_int(out, value);
    }
    if (type == &PyFloat_Type) {
        return put_float(out, value);
    }
    if (planned) {
        if (type == &PyDict_Type) {
            return put_dict(out, value, depth, true);
        }
        if (type == &PyList_Type) {
            return put_list(out, value, depth, true);
        }
        if (PyUnicode_Check(value)) {  // a str() that gave a str subclass
            encode_string(out, value);
            return Status::ok;
        }
        return Status::fallback;
    }
    if (depth > kDeepest) {
        return put_text(out, value);
    }
    if (type == &PyDict_Type) {
        return put_dict(out, value, depth, false);
    }
    if (type == &PyList_Type) {
        return put_list(out, value, depth, false);
    }
    if (type == &PyTuple_Type) {
        return put_tuple(out, value, depth, false);
    }
    return put_planned(out, value, depth);
}

// A hit that is a tuple of at least three items read as tuple's own items.
bool plain_hit(PyObject* hit) noexcept {
    if (!PyTuple_Check(hit) || PyTuple_GET_SIZE(hit) < 3) {
        return false;
    }
    PyMappingMethods* mapping = Py_TYPE(hit)->tp_as_mapping;
    return mapping && mapping->mp_subscript == PyTuple_Type.tp_as_mapping->mp_subscript;
}

// [{"behaviour": hit[0], "rule": hit[1], "verdict": hit[2]}, ...]
Status put_hits(Buffer& out, PyObject* hits) noexcept {
    const bool is_list = PyList_CheckExact(hits);
    if (!is_list && !PyTuple_CheckExact(hits)) {
        return Status::fallback;
    }
    out.put('[');
    for (Py_ssize_t at = 0; at < (is_list ? PyList_GET_SIZE(hits) : PyTuple_GET_SIZE(hits)); ++at) {
        Ref hit = is_list ? Ref::steal(PyList_GetItemRef(hits, at))
                          : Ref::borrow(PyTuple_GET_ITEM(hits, at));
        if (!hit) {
            return Status::failed;
        }
        if (!plain_hit(hit.get())) {
            return Status::fallback;
        }
        if (at > 0) {
            out.put(", ");
        }
        static const char* const heads[] = {"{\"behaviour\": ", ", \"rule\": ", ", \"verdict\": "};
        for (Py_ssize_t item = 0; item < 3; ++item) {
            out.put(heads[item], std::strlen(heads[item]));
            // In a list of dicts: two levels down.
            Status status = put_value(out, PyTuple_GET_ITEM(hit.get(), item), 2, false);
            if (status != Status::ok) {
                return status;
            }
        }
        out.put('}');
    }
    out.put(']');
    return Status::ok;
}

Status put_json_text(Buffer& out, PyObject* text) noexcept {
    if (!PyUnicode_Check(text) || !PyUnicode_IS_ASCII(text)) {
        PyErr_Format(PyExc_TypeError, "a field given as JSON text takes an ASCII str, not %T", text);
        return Status::failed;
    }
    put_ascii(out, text);
    return Status::ok;
}

}  // namespace

void encode_string(Buffer& out, PyObject* text) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    if (kind == PyUnicode_1BYTE_KIND) {
        const auto* chars = static_cast<const unsigned char*>(data);
        Py_ssize_t clean = 0;
        while (clean < length && plain_char(chars[clean])) {
            ++clean;
        }
        if (clean == length) {
            if (out.reserve(static_cast<std::size_t>(length) + 2)) {
                out.put_unchecked('"');
                std::memcpy(out.end(), chars, static_cast<std::size_t>(length));
                out.advance(static_cast<std::size_t>(length));
                out.put_unchecked('"');
            }
            return;
        }
    }
    // Six bytes at most for a character, twelve for a pair of surrogates.
    if (!out.reserve(static_cast<std::size_t>(length) * (kind == PyUnicode_4BYTE_KIND ? 12 : 6) + 2)) {
        return;
    }
    out.put_unchecked('"');
    for (Py_ssize_t at = 0; at < length; ++at) {
        Py_UCS4 c = PyUnicode_READ(kind, data, at);
        if (plain_char(c)) {
            out.put_unchecked(static_cast<char>(c));
        } else {
            escape(out, c);
        }
    }
    out.put_unchecked('"');
}

bool encode_field(Buffer& out, PyObject* value, int kind) noexcept {
    const std::size_t start = out.size();
    Status status = kind == kHits  ? put_hits(out, value)
                    : kind == kText ? put_json_text(out, value)
                                    : put_value(out, value, 0, false);
    if (status == Status::ok) {
        return true;
    }
    if (status == Status::failed) {
        return false;
    }
    out.truncate(start);
    Ref text = Ref::steal(call(kind == kHits ? state.hits_text : state.dumps, value));
    if (!text) {
        return false;
    }
    if (!PyUnicode_Check(text.get()) || !PyUnicode_IS_ASCII(text.get())) {
        PyErr_SetString(PyExc_TypeError, "the decision log's encoding gave no ASCII text");
        return false;
    }
    put_ascii(out, text.get());
    return true;
}

void format_time(char out[kTimeSize]) noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // Microseconds rounded down, as datetime.now() takes them.
    long long seconds = now.tv_sec;
    long micros = now.tv_nsec / 1000;
    long long days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    long long second_of_day = seconds - days * 86400;
    // The civil date of a count of days since 1970-01-01 (proleptic Gregorian).
    long long z = days + 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long day_of_era = z - era * 146097;
    long long year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    long long day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    long long shifted_month = (5 * day_of_year + 2) / 153;
    long long day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
    long long month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    long long year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
    auto two = [](char* at, long long value) {
        at[0] = static_cast<char>('0' + value / 10);
        at[1] = static_cast<char>('0' + value % 10);
    };
    two(out, (year / 100) % 100);
    two(out + 2, year % 100);
    out[4] = '-';
    two(out + 5, month);
    out[7] = '-';
    two(out + 8, day);
    out[10] = 'T';
    two(out + 11, second_of_day / 3600);
    out[13] = ':';
    two(out + 14, second_of_day / 60 % 60);
    out[16] = ':';
    two(out + 17, second_of_day % 60);
    out[19] = '.';
    for (int at = 25; at >= 20; --at) {
        out[at] = static_cast<char>('0' + micros % 10);
        micros /= 10;
    }
    out[26] = 'Z';
}

}  // namespace qba::audit
