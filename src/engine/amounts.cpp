// Exact amounts: reading an event's amount as the decimal it shows, and the
// sums and comparisons of the windows, in 128-bit integers while they fit
// and in Python ints beyond.
#include "limits.hpp"

#include <cmath>
#include <cstring>

namespace qba::engine {

namespace {

// An amount's digits reach at most this many places either side of the
// point: every float's repr does, and the sums stay a bounded size.
constexpr std::int32_t kMaxPlaces = 400;

constexpr u128 kMax = ~static_cast<u128>(0);

// 10^0 to 10^38, and the most each can multiply without overflow.
struct Powers {
    u128 of[39];
    u128 most[39];
    constexpr Powers() : of(), most() {
        u128 p = 1;
        for (int i = 0; i < 39; ++i) {
            of[i] = p;
            most[i] = ~static_cast<u128>(0) / p;
            p *= 10;
        }
    }
};
constexpr Powers kPow10;

// 10^0 to 10^22: the powers of ten that a double holds exactly.
constexpr double kPow10d[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

constexpr int kNativeUnsigned = Py_ASNATIVEBYTES_NATIVE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER;

bool scale_small(u128 coef, std::int32_t by, u128& out) noexcept {
    if (coef == 0) {
        out = 0;
        return true;
    }
    if (by > 38 || coef > kPow10.most[by]) {
        return false;
    }
    out = coef * kPow10.of[by];
    return true;
}

PyObject* long_of(u128 value) noexcept {
    return PyLong_FromUnsignedNativeBytes(&value, sizeof value, kNativeUnsigned);
}

// `a`'s coefficient at the exponent `exp` (at most a's) as a Python int.
PyObject* long_at(const Num& a, std::int32_t exp) noexcept {
    Ref coef = a.is_big() ? Ref::borrow(a.big()) : Ref::steal(long_of(a.small()));
    if (!coef || a.exp() == exp) {
        return coef.release();
    }
    Ref ten = Ref::steal(PyLong_FromLong(10));
    Ref places = Ref::steal(PyLong_FromLong(a.exp() - exp));
    Ref power = ten && places ? Ref::steal(PyNumber_Power(ten.get(), places.get(), Py_None)) : Ref();
    return power ? PyNumber_Multiply(coef.get(), power.get()) : nullptr;
}

// Both coefficients at the smaller exponent, as small integers when they fit.
bool align_small(const Num& a, const Num& b, u128& x, u128& y, std::int32_t& exp) noexcept {
    if (a.is_big() || b.is_big()) {
        return false;
    }
    exp = a.exp() < b.exp() ? a.exp() : b.exp();
    return scale_small(a.small(), a.exp() - exp, x) && scale_small(b.small(), b.exp() - exp, y);
}

bool align_big(const Num& a, const Num& b, Ref& x, Ref& y, std::int32_t& exp) noexcept {
    exp = a.exp() < b.exp() ? a.exp() : b.exp();
    x = Ref::steal(long_at(a, exp));
    y = x ? Ref::steal(long_at(b, exp)) : Ref();
    return static_cast<bool>(y);
}

}  // namespace

Num Num::of_long(PyObject* value, std::int32_t exp) noexcept {
    Num made;
    made.exp_ = exp;
    u128 small = 0;
    Py_ssize_t size = PyLong_AsNativeBytes(value, &small, sizeof small, kNativeUnsigned);
    if (size >= 0 && static_cast<size_t>(size) <= sizeof small) {
        made.small_ = small;
        Py_DECREF(value);
    } else {
        PyErr_Clear();
        made.big_ = value;
    }
    return made;
}

bool num_add(const Num& a, const Num& b, Num& out) noexcept {
    u128 x, y;
    std::int32_t exp;
    if (align_small(a, b, x, y, exp) && x <= kMax - y) {
        out = Num(x + y, exp);
        return true;
    }
    Ref bx, by;
    if (!align_big(a, b, bx, by, exp)) {
        return false;
    }
    PyObject* sum = PyNumber_Add(bx.get(), by.get());
    if (!sum) {
        return false;
    }
    out = Num::of_long(sum, exp);
    return true;
}

bool num_sub(const Num& a, const Num& b, Num& out) noexcept {
    u128 x, y;
    std::int32_t exp;
    if (align_small(a, b, x, y, exp)) {
        out = Num(x >= y ? x - y : 0, exp);
        return true;
    }
    Ref bx, by;
    if (!align_big(a, b, bx, by, exp)) {
        return false;
    }
    Ref difference = Ref::steal(PyNumber_Subtract(bx.get(), by.get()));
    if (!difference) {
        return false;
    }
    Ref zero = Ref::steal(PyLong_FromLong(0));
    int negative = zero ? PyObject_RichCompareBool(difference.get(), zero.get(), Py_LT) : -1;
    if (negative < 0) {
        return false;
    }
    out = negative ? Num(0, exp) : Num::of_long(difference.release(), exp);
    return true;
}

bool num_cmp(const Num& a, const Num& b, int& sign) noexcept {
    u128 x, y;
    std::int32_t exp;
    if (align_small(a, b, x, y, exp)) {
        sign = x < y ? -1 : (x > y ? 1 : 0);
        return true;
    }
    Ref bx, by;
    if (!align_big(a, b, bx, by, exp)) {
        return false;
    }
    int less = PyObject_RichCompareBool(bx.get(), by.get(), Py_LT);
    int more = less == 0 ? PyObject_RichCompareBool(bx.get(), by.get(), Py_GT) : 0;
    if (less < 0 || more < 0) {
        return false;
    }
    sign = less ? -1 : (more ? 1 : 0);
    return true;
}

// ---------------------------------------------------------------- text

static void digits_of(u128 value, std::string& out) noexcept {
    char buffer[40];
    int at = 40;
    do {
        buffer[--at] = static_cast<char>('0' + static_cast<int>(value % 10));
        value /= 10;
    } while (value != 0);
    out.append(buffer + at, 40 - at);
}

bool num_text(const Num& value, std::string& out) noexcept {
    std::string digits;
    if (value.is_big()) {
        Ref text = Ref::steal(PyObject_Str(value.big()));
        Py_ssize_t size = 0;
        const char* data = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
        if (!data) {
            return false;
        }
        digits.assign(data, static_cast<size_t>(size));
    } else {
        digits_of(value.small(), digits);
    }
    out.clear();
    std::int32_t exp = value.exp();
    if (digits == "0") {
        out = "0";
        return true;
    }
    if (exp >= 0) {
        out = digits;
        out.append(static_cast<size_t>(exp), '0');
        return true;
    }
    size_t places = static_cast<size_t>(-exp);
    if (digits.size() <= places) {
        digits.insert(0, places - digits.size() + 1, '0');
    }
    size_t point = digits.size() - places;
    size_t end = digits.size();
    while (end > point && digits[end - 1] == '0') {
        --end;
    }
    out.assign(digits, 0, point);
    if (end > point) {
        out += '.';
        out.append(digits, point, end - point);
    }
    return true;
}

PyObject* num_str(const Num& value) noexcept {
    std::string text;
    if (!num_text(value, text)) {
        return nullptr;
    }
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// ---------------------------------------------------------------- reading

int parse_amount(const char* text, Py_ssize_t size, Num& out) noexcept {
    const char* at = text;
    const char* end = text + size;
    bool negative = false;
    if (at < end && (*at == '-' || *at == '+')) {
        negative = *at == '-';
        ++at;
    }
    std::string digits;
    std::int32_t exp = 0;
    bool any = false;
    bool point = false;
    for (; at < end; ++at) {
        char c = *at;
        if (c >= '0' && c <= '9') {
            any = true;
            if (digits.empty() && c == '0') {
                if (point) {
                    --exp;
                }
                continue;  // a leading zero
            }
            digits += c;
            if (point) {
                --exp;
            }
            if (digits.size() > kMaxPlaces * 2 + 2) {
                return 0;
            }
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (!any) {
        return 0;  // Infinity, NaN, or not a number at all
    }
    if (at < end) {
        if (*at != 'e' && *at != 'E') {
            return 0;
        }
        ++at;
        bool down = false;
        if (at < end && (*at == '-' || *at == '+')) {
            down = *at == '-';
            ++at;
        }
        if (at == end) {
            return 0;
        }
        long shift = 0;
        for (; at < end; ++at) {
            if (*at < '0' || *at > '9') {
                return 0;
            }
            shift = shift * 10 + (*at - '0');
            if (shift > 100000) {
                shift = 100000;  // far beyond the range either way
            }
        }
        exp += static_cast<std::int32_t>(down ? -shift : shift);
    }
    if (digits.empty()) {
        out = Num(0, 0);
        return 1;
    }
    if (negative) {
        return 0;
    }
    std::int32_t adjusted = exp + static_cast<std::int32_t>(digits.size()) - 1;
    if (exp < -kMaxPlaces || adjusted > kMaxPlaces) {
        return 0;
    }
    if (digits.size() <= 38) {
        u128 coef = 0;
        for (char c : digits) {
            coef = coef * 10 + static_cast<u128>(c - '0');
        }
        out = Num(coef, exp);
        return 1;
    }
    PyObject* coef = PyLong_FromString(digits.c_str(), nullptr, 10);
    if (!coef) {
        return -1;
    }
    out = Num::of_long(coef, exp);
    return 1;
}

namespace {

PyObject* decimal_type = nullptr;  // decimal.Decimal, made once
PyObject* decimal_str = nullptr;   // Decimal.__str__: the value's own text, not a subclass's
PyObject* long_limit = nullptr;    // 10 ** (kMaxPlaces + 1)

bool init_decimal() noexcept {
    if (decimal_type) {
        return true;
    }
    Ref module = Ref::steal(PyImport_ImportModule("decimal"));
    Ref type = module ? Ref::steal(PyObject_GetAttrString(module.get(), "Decimal")) : Ref();
    Ref str = type ? Ref::steal(PyObject_GetAttrString(type.get(), "__str__")) : Ref();
    Ref ten = Ref::steal(PyLong_FromLong(10));
    Ref places = Ref::steal(PyLong_FromLong(kMaxPlaces + 1));
    Ref limit = ten && places ? Ref::steal(PyNumber_Power(ten.get(), places.get(), Py_None)) : Ref();
    if (!str || !limit) {
        return false;
    }
    decimal_type = type.release();
    decimal_str = str.release();
    long_limit = limit.release();
    return true;
}

int read_text_of(PyObject* text, Num& out) noexcept {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    return data ? parse_amount(data, size, out) : -1;
}

}  // namespace

int decimal_text(PyObject* value, PyObject** text) noexcept {
    if (!init_decimal()) {
        return -1;
    }
    int is_decimal = PyObject_IsInstance(value, decimal_type);
    if (is_decimal <= 0) {
        return is_decimal;
    }
    *text = PyObject_CallOneArg(decimal_str, value);
    return *text ? 1 : -1;
}

int read_amount(PyObject* value, Num& out) noexcept {
    if (value == Py_None || value == Py_False) {
        out = Num(0, 0);
        return 1;
    }
    if (PyLong_Check(value)) {
        // bool True reads as 1, as a threshold rule reads it.
        u128 small = 0;
        Py_ssize_t size = PyLong_AsNativeBytes(value, &small, sizeof small,
                                               kNativeUnsigned | Py_ASNATIVEBYTES_REJECT_NEGATIVE);
        if (size < 0) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
                return -1;
            }
            PyErr_Clear();
            return 0;  // negative
        }
        if (static_cast<size_t>(size) <= sizeof small) {
            out = Num(small, 0);
            return 1;
        }
        if (!init_decimal()) {
            return -1;
        }
        int over = PyObject_RichCompareBool(value, long_limit, Py_GE);
        if (over != 0) {
            return over < 0 ? -1 : 0;
        }
        PyObject* exact = PyNumber_Long(value);  // a plain int, whatever the subclass
        if (!exact) {
            return -1;
        }
        out = Num::of_long(exact, 0);
        return 1;
    }
    if (PyFloat_Check(value)) {
        double v = PyFloat_AS_DOUBLE(value);
        if (std::isnan(v) || std::isinf(v) || v < 0) {
            return 0;
        }
        if (v == 0) {
            out = Num(0, 0);
            return 1;
        }
        if (v < 9007199254740992.0 && v == std::floor(v)) {
            out = Num(static_cast<u128>(static_cast<std::uint64_t>(v)), 0);
            return 1;
        }
        // A decimal of at most 15 digits that the float is the nearest double
        // to is the only one (doubles keep 15 digits), so it is the value of
        // the float's repr. m / 10^k with both exact doubles rounds once.
        double scaled;
        for (int k = 1; k <= 22; ++k) {
            scaled = v * kPow10d[k];
            if (scaled >= 1e15) {
                break;
            }
            double m = std::nearbyint(scaled);
            if (m / kPow10d[k] == v) {
                out = Num(static_cast<u128>(static_cast<std::uint64_t>(m)), -k);
                return 1;
            }
        }
        // Else the decimal that the float's repr shows.
        char* text = PyOS_double_to_string(v, 'r', 0, 0, nullptr);
        if (!text) {
            return -1;
        }
        int read = parse_amount(text, static_cast<Py_ssize_t>(std::strlen(text)), out);
        PyMem_Free(text);
        return read;
    }
    PyObject* text = nullptr;
    int is_decimal = decimal_text(value, &text);
    if (is_decimal != 0) {
        Ref owned = Ref::steal(text);
        return is_decimal < 0 ? -1 : read_text_of(text, out);
    }
    int truth = PyObject_IsTrue(value);
    if (truth < 0) {
        return -1;
    }
    if (truth == 0) {
        out = Num(0, 0);
        return 1;
    }
    return 0;  // a text, a list, any other true value: not a number
}

}  // namespace qba::engine
