// What the files of the decision log's native module share: the
// process-wide objects, the byte buffer a record is built in, and the JSON
// encoding of a record's values.
#pragma once

#include <cstddef>
#include <cstring>

#include "ref.hpp"
#include "sha256.hpp"

namespace qba::audit {

// Made once and never freed. The four functions are the decision log's own
// Python encoding (set by `bind` when the log's module is imported): the
// native encoding calls them for what it does not write itself, and falls
// back on them to give their bytes exactly.
struct State {
    PyObject* plain;        // plain(value, depth): a value as strict JSON can hold it
    PyObject* text;         // _text(value): its str(), or "<TypeName>"
    PyObject* dumps;        // dumps(value): a value as one line of ASCII JSON
    PyObject* hits_text;    // hits_text(hits): a decision's hits as dumps writes them
    PyObject* bit_length;   // "bit_length"
    PyObject* resync;       // "_continue": the log takes its chain from its file's end
    PyObject* failed;       // "_failed": the log is told that a write failed
    PyObject* refuse;       // "_refuse": raises the error of a log that takes no more records
    PyObject* record;       // "record": the log's own record, for what Writer.record leaves to it
    PyObject* redact;       // "redact"
    PyObject* limits;       // "limits"
    PyObject* verdict;      // "verdict"
    PyObject* hits;         // "hits"
    PyTypeObject* layout_type;
    PyTypeObject* writer_type;
    Compress compress;
};

extern State state;

// A growable run of bytes (PyMem_Raw, so that it may be read and written
// without the GIL). A failed allocation sets `broken` and MemoryError is
// raised by whoever checks it.
class Buffer {
public:
    Buffer() noexcept = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer();

    bool reserve(std::size_t more) noexcept {
        return size_ + more <= capacity_ || grow(more);
    }
    void put(const char* text, std::size_t size) noexcept {
        if (reserve(size)) {
            std::memcpy(data_ + size_, text, size);
            size_ += size;
        }
    }
    template <std::size_t N>
    void put(const char (&text)[N]) noexcept { put(text, N - 1); }
    void put(char c) noexcept {
        if (reserve(1)) {
            data_[size_++] = c;
        }
    }
    // Only after reserve() said there is room.
    void put_unchecked(char c) noexcept { data_[size_++] = c; }
    char* end() noexcept { return data_ + size_; }
    void advance(std::size_t size) noexcept { size_ += size; }

    char* data() noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    void truncate(std::size_t size) noexcept { size_ = size; }
    bool broken() const noexcept { return broken_; }

private:
    bool grow(std::size_t more) noexcept;

    char* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = sizeof inline_;
    bool broken_ = false;
    char inline_[1024];
};

// Kinds of a record's field: how its value is written.
enum FieldKind : int {
    kValue = 0,  // as dumps writes it
    kHits = 1,   // a decision's hits, as dumps writes their dicts
    kText = 2,   // a str of ASCII JSON, written as it is
};

// Writes `value` of the given kind as the Python encoding would: false with
// an exception set when that encoding would raise.
bool encode_field(Buffer& out, PyObject* value, int kind) noexcept;

// A str as json.dumps(ensure_ascii=True) writes it.
void encode_string(Buffer& out, PyObject* text) noexcept;

// The time now, as "2026-01-31T12:00:00.123456Z" (27 characters), in UTC.
inline constexpr std::size_t kTimeSize = 27;
void format_time(char out[kTimeSize]) noexcept;

bool init_layout_type(PyObject* module) noexcept;
bool init_writer_type(PyObject* module) noexcept;

// The body of a record (", \"stage\": ..." and on) for a Layout and its
// values; false with an exception set.
bool encode_body(Buffer& out, PyObject* layout, PyObject* values) noexcept;

}  // namespace qba::audit
