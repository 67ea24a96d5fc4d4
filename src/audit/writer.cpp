// Writer: the whole record path of a decision log opened from a path, in one
// call: the body, the time, the line, its hash or signature, the file's lock,
// the write, and with fsync the wait for the disk, shared by the threads
// whose records one fdatasync covers (group commit).
#include "audit.hpp"

#include <cerrno>
#include <charconv>
#include <climits>
#include <new>

#include <csignal>
#include <ctime>

#include <pthread.h>
#include <sys/file.h>
#include <sys/uio.h>
#include <unistd.h>

namespace qba::audit {

namespace {

constexpr std::size_t kLinkSize = 2 * kDigestSize;

struct Writer {
    PyObject_HEAD
    PyObject* log;   // strong: a weak reference to the DecisionLog this writes for (which holds the writer)
    long long seq;      // the last record's seq, unless seq_big holds it
    PyObject* seq_big;  // strong: a seq beyond a long long, else null
    HmacKey* key;    // owned (PyMem_Raw), or null for a log without a key
    PyObject* layout;  // strong, or null: the Layout of a decision's record, for record()
    long long end;   // the file's size after this log last read or wrote it
    int fd;          // the log's file, owned by the log's stream; -1 before it is set
    bool fsync;
    bool closed;
    bool broken;     // a write or a sync failed: what reached the file is unknown
    bool forked;     // in a child process until its log gives the file it opened anew (fd)
    // The records waiting for the thread that leads, under the GIL.
    struct Pending* queue;
    struct Pending** queue_end;
    bool leading;    // a thread is writing the queue (and takes what comes meanwhile)
    char prev[kLinkSize];  // the last record's link: the next record's "prev"
    PyMutex lock;    // held by the thread that writes, and by close()
    // Group commit: records counted as written and as on the disk.
    pthread_mutex_t sync_lock;
    pthread_cond_t sync_done;
    unsigned long long written;
    unsigned long long synced;
    unsigned long long syncs;  // fdatasync calls made
    bool syncing;
    int sync_error;  // the errno of a failed fdatasync: no later record is on the disk
    // The lease of the file's lock: kept from one batch to the next while
    // records come, so that no other writer can append in between and the
    // file's end need not be read again. The keeper thread gives it back
    // once the writer has been idle for a while; the writer itself after
    // holding it for long. All under lease_lock, which needs no GIL.
    pthread_mutex_t lease_lock;
    pthread_cond_t lease_wake;  // the keeper: a lease taken, or the writer closing
    pthread_t keeper;
    bool keeping;        // the keeper thread runs
    bool keeper_failed;  // it could not be started: the lock is given back after each batch
    bool keeper_parked;  // it waits for a lease to be taken, with no time set
    bool lease_stop;     // the keeper is to end
    bool leased;         // this writer holds the lock of lease_fd
    bool lease_busy;     // a batch is being written under it
    int lease_fd;
    long long lease_taken;  // CLOCK_MONOTONIC ns
    long long lease_used;   // when the last batch under it ended
    long long lease_yielded;  // when it was last given back for having been held long
    long long lease_shared;   // when another writer was last seen
};

Writer* as_writer(PyObject* self) noexcept { return reinterpret_cast<Writer*>(self); }

void init_sync(Writer* w) noexcept {
    pthread_mutex_init(&w->sync_lock, nullptr);
    pthread_cond_init(&w->sync_done, nullptr);
    w->written = w->synced = 0;
    w->syncing = false;
}

// ---------------------------------------------------------------- the lease

// How long an idle writer keeps the file's lock, and how long a busy one
// keeps it at most. Where another writer was seen lately (it held the lock,
// or appended), a busy writer that gave the lock back waits a little before
// taking it again, so that the other one, woken by the release, can take it
// first; alone, it loses no time to that.
constexpr long long kLeaseIdleNs = 1'000'000;
constexpr long long kLeaseMostNs = 4'000'000;
constexpr long long kLeaseYieldNs = 100'000;
constexpr long long kSharedForNs = 1'000'000'000;

long long monotonic_ns() noexcept {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void init_lease(Writer* w) noexcept {
    pthread_mutex_init(&w->lease_lock, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&w->lease_wake, &attr);
    pthread_condattr_destroy(&attr);
    w->keeping = w->keeper_failed = w->keeper_parked = w->lease_stop = false;
    w->leased = w->lease_busy = false;
    w->lease_fd = -1;
    w->lease_yielded = w->lease_shared = LLONG_MIN / 2;
}

// Under lease_lock.
void give_back(Writer* w) noexcept {
    if (w->leased) {
        flock(w->lease_fd, LOCK_UN);
        w->leased = false;
    }
}

// The keeper: gives the lock back once no batch has been written under it
// for kLeaseIdleNs.
void* keep_lease(void* arg) noexcept {
    Writer* w = static_cast<Writer*>(arg);
    pthread_mutex_lock(&w->lease_lock);
    while (!w->lease_stop) {
        if (!w->leased) {
            w->keeper_parked = true;
            pthread_cond_wait(&w->lease_wake, &w->lease_lock);
            w->keeper_parked = false;
            continue;
        }
        const long long now = monotonic_ns();
        long long due = w->lease_used + kLeaseIdleNs;
        if (!w->lease_busy && now >= due) {
            give_back(w);
            continue;
        }
        if (w->lease_busy) {
            due = now + kLeaseIdleNs;
        }
        timespec until{static_cast<time_t>(due / 1'000'000'000), static_cast<long>(due % 1'000'000'000)};
        pthread_cond_timedwait(&w->lease_wake, &w->lease_lock, &until);
    }
    pthread_mutex_unlock(&w->lease_lock);
    return nullptr;
}

// Starts the keeper, under lease_lock; with every signal blocked in it, so
// that they go to the threads that handle them.
void start_keeper(Writer* w) noexcept {
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 1 << 16);
    const bool started = pthread_create(&w->keeper, &attr, keep_lease, w) == 0;
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    w->keeping = started;
    w->keeper_failed = !started;
}

// Gives the lock back and ends the keeper, under the GIL (so that no batch
// is being written): for good on close and before the writer is freed
// (`closing`), else until the next batch starts it again.
void end_lease(Writer* w, bool closing) noexcept {
    pthread_mutex_lock(&w->lease_lock);
    give_back(w);
    const bool joining = w->keeping;
    w->lease_stop = true;
    w->keeping = false;
    pthread_cond_signal(&w->lease_wake);
    pthread_mutex_unlock(&w->lease_lock);
    if (joining) {
        pthread_join(w->keeper, nullptr);
    }
    pthread_mutex_lock(&w->lease_lock);
    w->lease_stop = closing;
    pthread_mutex_unlock(&w->lease_lock);
}

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"log", "key", "fsync", "layout", nullptr};
    PyObject* log = nullptr;
    PyObject* key = Py_None;
    int fsync = 0;
    PyObject* layout = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$pO:Writer", const_cast<char**>(keywords), &log,
                                     &key, &fsync, &layout)) {
        return nullptr;
    }
    if (key != Py_None && !PyBytes_Check(key)) {
        return PyErr_Format(PyExc_TypeError, "key takes bytes or None, not %T", key);
    }
    if (layout != Py_None && !PyObject_TypeCheck(layout, state.layout_type)) {
        return PyErr_Format(PyExc_TypeError, "layout takes a Layout or None, not %T", layout);
    }
    Ref log_ref = Ref::steal(PyWeakref_NewRef(log, nullptr));
    if (!log_ref) {
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) {
        return nullptr;
    }
    Writer* w = as_writer(self);
    w->log = log_ref.release();
    w->layout = layout == Py_None ? nullptr : Py_NewRef(layout);
    w->fd = -1;
    w->queue_end = &w->queue;
    w->fsync = fsync != 0;
    std::memset(w->prev, '0', kLinkSize);
    init_sync(w);
    init_lease(w);
    if (key != Py_None) {
        void* room = PyMem_RawMalloc(sizeof(HmacKey));
        if (!room) {
            Py_DECREF(self);
            return PyErr_NoMemory();
        }
        w->key = new (room) HmacKey(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(key)),
                                    static_cast<std::size_t>(PyBytes_GET_SIZE(key)), state.compress);
    }
    return self;
}

// A writer refers to nothing that could refer back to it (its log only
// weakly), so it takes no part in the garbage collector.
void writer_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    Writer* w = as_writer(self);
    end_lease(w, true);
    Py_CLEAR(w->log);
    Py_CLEAR(w->layout);
    Py_CLEAR(w->seq_big);
    if (w->key) {
        w->key->~HmacKey();
        PyMem_RawFree(w->key);
    }
    pthread_cond_destroy(&w->sync_done);
    pthread_mutex_destroy(&w->sync_lock);
    pthread_cond_destroy(&w->lease_wake);
    pthread_mutex_destroy(&w->lease_lock);
    type->tp_free(self);
    Py_DECREF(type);
}

// Calls the log's method `name` with `arg` (or none); a log already gone is
// a ReferenceError.
PyObject* call_log(Writer* w, PyObject* name, PyObject* arg = nullptr) noexcept {
    PyObject* log = nullptr;
    if (PyWeakref_GetRef(w->log, &log) <= 0) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ReferenceError, "the decision log of this writer is gone");
        }
        return nullptr;
    }
    Ref held = Ref::steal(log);
    return arg ? PyObject_CallMethodOneArg(log, name, arg) : PyObject_CallMethodNoArgs(log, name);
}

// ---------------------------------------------------------------- the file

// Raises OSError for `error` (an errno).
bool raise_errno(int error) noexcept {
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
}

// The file's exclusive lock, waited for without the GIL when another process
// holds it (`waited`); a signal handler that raises ends the wait.
bool lock_file(int fd, bool* waited) noexcept {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        return true;
    }
    *waited = true;
    while (errno == EWOULDBLOCK || errno == EINTR) {
        if (errno == EINTR && PyErr_CheckSignals() < 0) {
            return false;
        }
        int done;
        Py_BEGIN_ALLOW_THREADS
        done = flock(fd, LOCK_EX);
        Py_END_ALLOW_THREADS
        if (done == 0) {
            return true;
        }
    }
    return raise_errno(errno);
}

// The file's lock for a batch: 1 when the writer's lease still holds it (no
// other writer can have appended since its last batch), 0 when it was taken
// anew, -1 with an exception set.
int enter_lease(Writer* w, int fd) noexcept {
    pthread_mutex_lock(&w->lease_lock);
    if (w->leased && w->lease_fd == fd) {
        w->lease_busy = true;
        pthread_mutex_unlock(&w->lease_lock);
        return 1;
    }
    give_back(w);  // of another file, when the log's file was opened anew
    const long long wait = w->lease_yielded - w->lease_shared < kSharedForNs
                               ? w->lease_yielded + kLeaseYieldNs - monotonic_ns()
                               : 0;
    pthread_mutex_unlock(&w->lease_lock);
    if (wait > 0) {
        timespec pause{0, static_cast<long>(wait)};
        Py_BEGIN_ALLOW_THREADS
        nanosleep(&pause, nullptr);
        Py_END_ALLOW_THREADS
    }
    bool waited = false;
    if (!lock_file(fd, &waited)) {
        return -1;
    }
    pthread_mutex_lock(&w->lease_lock);
    w->leased = w->lease_busy = true;
    w->lease_fd = fd;
    w->lease_taken = w->lease_used = monotonic_ns();
    if (waited) {
        w->lease_shared = w->lease_taken;
    }
    if (!w->keeping && !w->keeper_failed && !w->lease_stop) {
        start_keeper(w);
    } else if (w->keeper_parked) {
        pthread_cond_signal(&w->lease_wake);
    }
    pthread_mutex_unlock(&w->lease_lock);
    return 0;
}

// The batch is written (`keep`), or failed: the lock is kept for the next
// batch, unless it failed, no keeper could be started to give it back, or
// it has been held for kLeaseMostNs.
void leave_lease(Writer* w, bool keep) noexcept {
    pthread_mutex_lock(&w->lease_lock);
    const long long now = monotonic_ns();
    w->lease_busy = false;
    w->lease_used = now;
    if (!keep || !w->keeping) {
        give_back(w);
    } else if (now - w->lease_taken >= kLeaseMostNs) {
        give_back(w);
        w->lease_yielded = now;
    }
    pthread_mutex_unlock(&w->lease_lock);
}

// The write (or the sync) failed: what reached the file is unknown, so no
// record may follow. The log is told, and the error goes on to the caller.
Py_NO_INLINE void fail(Writer* w) noexcept {
    w->broken = true;
    PyObject* error = PyErr_GetRaisedException();
    Ref told = Ref::steal(call_log(w, state.failed, error));
    if (!told) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(error);
}

// ---------------------------------------------------------------- group commit

// Waits until the records counted up to `ticket` are on the disk: the first
// thread to find no sync running starts one for every record written so far,
// the others wait for it (and those whose records came after it, for the
// next). Returns the errno of a failed sync, or 0.
int wait_synced(Writer* w, unsigned long long ticket, bool* made_failed_sync) noexcept {
    int error = 0;
    Py_BEGIN_ALLOW_THREADS
    pthread_mutex_lock(&w->sync_lock);
    while (w->synced < ticket && w->sync_error == 0) {
        if (w->syncing) {
            pthread_cond_wait(&w->sync_done, &w->sync_lock);
            continue;
        }
        w->syncing = true;
        const unsigned long long target = w->written;
        const int fd = w->fd;
        pthread_mutex_unlock(&w->sync_lock);
        int done;
        do {
            done = fdatasync(fd);
        } while (done < 0 && errno == EINTR);
        const int failure = done < 0 ? errno : 0;
        pthread_mutex_lock(&w->sync_lock);
        w->syncing = false;
        ++w->syncs;
        if (failure != 0) {
            w->sync_error = failure;
            *made_failed_sync = true;
        } else if (target > w->synced) {
            w->synced = target;
        }
        pthread_cond_broadcast(&w->sync_done);
    }
    error = w->synced >= ticket ? 0 : w->sync_error;
    pthread_mutex_unlock(&w->sync_lock);
    Py_END_ALLOW_THREADS
    return error;
}

// ---------------------------------------------------------------- a record

constexpr char kOpen[] = "{\"decision_log\": 1, \"seq\": ";
constexpr char kTime[] = ", \"time\": \"";
constexpr char kPrev[] = ", \"prev\": \"";
constexpr char kMac[] = ", \"hmac\": \"";
// Room before the body for the fields that come before it (the seq of up
// to 20 digits included); a longer seq moves the body.
constexpr std::size_t kHeadRoom = 96;
// Records written by one writev; more are written by more calls, under the
// same lock of the file.
constexpr int kBatchWrite = 64;

enum class Outcome {
    pending,
    written,
    retry,     // not written: the thread that wrote the others met an error of its own
    refused,   // the log takes no more records
    failed,    // the write failed (`error`), or raised in this record's own thread
};

// A record on its way to the file, on its thread's stack: queued under the
// GIL, written by whichever thread leads (its own, or another).
struct Pending {
    Buffer line;  // room for the head, the body, then the rest of the line
    std::size_t body = kHeadRoom;  // where the body begins (further on after a long seq)
    std::size_t body_end = 0;
    std::size_t start = 0;  // where the line begins
    Pending* next = nullptr;
    PyMutex done{};  // held until the record's outcome is known
    Outcome outcome = Outcome::pending;
    bool lead = false;  // woken to write the queue, this record first
    int error = 0;
    unsigned long long ticket = 0;
};

// The seq after `last`, beyond a long long: its digits, and the int.
Py_NO_INLINE PyObject* next_long_seq(PyObject* last, Buffer& digits) noexcept {
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref next = one ? Ref::steal(PyNumber_Add(last, one.get())) : Ref();
    Ref text = next ? Ref::steal(PyObject_Str(next.get())) : Ref();
    Py_ssize_t size = 0;
    const char* made = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (!made) {
        return nullptr;
    }
    digits.put(made, static_cast<std::size_t>(size));
    return next.release();
}

// Where the chain stands while a batch is sealed: the seq and link of the
// record before.
struct Running {
    long long seq;
    Ref seq_big;  // beyond a long long
    char link[kLinkSize];
};

// Puts the head (seq, time) before `p`'s body and the tail (prev, hash or
// signature) after it; `at` becomes its link. False with an exception set
// when memory runs out, or a seq beyond a long long cannot be made.
bool seal(Writer* w, Pending* p, Running& at) noexcept {
    Buffer head;
    head.put(kOpen);
    if (at.seq_big || at.seq == LLONG_MAX) {
        Ref last = at.seq_big ? Ref::borrow(at.seq_big.get()) : Ref::steal(PyLong_FromLongLong(at.seq));
        at.seq_big = last ? Ref::steal(next_long_seq(last.get(), head)) : Ref();
        if (!at.seq_big) {
            return false;
        }
    } else if (head.reserve(24)) {
        auto done = std::to_chars(head.end(), head.end() + 24, ++at.seq);
        head.advance(static_cast<std::size_t>(done.ptr - head.end()));
    }
    head.put(kTime);
    if (head.reserve(kTimeSize)) {
        format_time(head.end());
        head.advance(kTimeSize);
    }
    head.put('"');
    Buffer& line = p->line;
    line.truncate(p->body_end);
    if (head.size() > p->body && line.reserve(head.size())) {  // a seq too long for the room
        std::memmove(line.data() + head.size(), line.data() + p->body, p->body_end - p->body);
        p->body_end += head.size() - p->body;
        p->body = head.size();
        line.truncate(p->body_end);
    }
    if (head.size() <= p->body) {
        p->start = p->body - head.size();
        std::memcpy(line.data() + p->start, head.data(), head.size());
    }
    line.put(kPrev);
    line.put(at.link, kLinkSize);
    line.put('"');
    if (line.broken() || head.broken() || !line.reserve(sizeof kMac + kLinkSize + 3)) {
        PyErr_NoMemory();
        return false;
    }
    unsigned char digest[kDigestSize];
    if (w->key) {
        w->key->sign(line.data() + p->start, line.size() - p->start, digest);
        to_hex(digest, at.link);
        line.put(kMac);
        line.put(at.link, kLinkSize);
        line.put("\"}");
    } else {
        line.put('}');
        Sha256 hash(state.compress);
        hash.update(line.data() + p->start, line.size() - p->start);
        hash.finish(digest);
        to_hex(digest, at.link);
    }
    line.put('\n');
    return true;
}

// Writes the lines of the batch from `first` on, in order, as few calls as
// the iovec limit allows; false with an exception set, and `error` the
// errno of a write that failed (0 when a signal handler raised).
bool write_batch(int fd, Pending* first, int* error) noexcept {
    iovec parts[kBatchWrite];
    for (Pending* p = first; p;) {
        int count = 0;
        for (; p && count < kBatchWrite; p = p->next, ++count) {
            parts[count].iov_base = p->line.data() + p->start;
            parts[count].iov_len = p->line.size() - p->start;
        }
        iovec* rest = parts;
        while (count > 0) {
            ssize_t done = writev(fd, rest, count);
            if (done < 0) {
                if (errno == EINTR) {
                    if (PyErr_CheckSignals() < 0) {
                        return false;
                    }
                    continue;
                }
                *error = errno;
                return raise_errno(errno);
            }
            auto left = static_cast<std::size_t>(done);
            while (count > 0 && left >= rest->iov_len) {
                left -= rest->iov_len;
                ++rest;
                --count;
            }
            if (count > 0) {
                rest->iov_base = static_cast<char*>(rest->iov_base) + left;
                rest->iov_len -= left;
            }
        }
    }
    return true;
}

// Writes the records queued from `batch` on under the file's lock, after any
// other writer's, and sets each one's outcome. An error of the leading
// thread's own (a signal handler, a chain that cannot go on) is left set
// for its record (`mine`); the others are tried again.
void write_records(Writer* w, Pending* batch, Pending* mine) noexcept {
    auto settle = [batch](Outcome outcome, int error = 0) {
        for (Pending* p = batch; p; p = p->next) {
            p->outcome = outcome;
            p->error = error;
        }
    };
    if (w->closed || w->broken) {
        settle(Outcome::refused);
        return;
    }
    if (w->fd < 0) {
        settle(Outcome::retry);
        mine->outcome = Outcome::failed;
        PyErr_SetString(PyExc_ValueError, "the decision log has no file to write to");
        return;
    }
    const int fd = w->fd;
    // The GIL is kept through the lock, the seek and the write of a local
    // file (microseconds): letting it go costs more in handoffs between
    // threads than their records gain. It is let go where a call can wait:
    // for another process's lock on the file (the records of this process's
    // other threads queue meanwhile, and go in one write), and for the disk.
    auto mine_failed = [&](bool locked) {
        if (locked) {
            leave_lease(w, false);
        }
        settle(Outcome::retry);
        mine->outcome = Outcome::failed;
    };
    const int held = enter_lease(w, fd);
    if (held < 0) {
        mine_failed(false);
        return;
    }
    long long end = held ? w->end : lseek(fd, 0, SEEK_END);
    if (end < 0) {
        int error = errno;
        mine_failed(true);
        errno = error;
        PyErr_SetFromErrno(PyExc_OSError);
        return;
    }
    if (end != w->end) {
        // Another writer added to the file: the chain goes on after its records.
        pthread_mutex_lock(&w->lease_lock);
        w->lease_shared = monotonic_ns();
        pthread_mutex_unlock(&w->lease_lock);
        Ref fd_number = Ref::steal(PyLong_FromLong(fd));
        Ref size = fd_number ? Ref::steal(call_log(w, state.resync, fd_number.get())) : Ref();
        end = size ? PyLong_AsLongLong(size.get()) : -1;
        if (end == -1 && PyErr_Occurred()) {
            mine_failed(true);
            return;
        }
    }
    Running at{w->seq, w->seq_big ? Ref::borrow(w->seq_big) : Ref(), {}};
    std::memcpy(at.link, w->prev, kLinkSize);
    long long written = 0;
    int count = 0;
    for (Pending* p = batch; p; p = p->next, ++count) {
        if (!seal(w, p, at)) {
            mine_failed(true);
            return;
        }
        written += static_cast<long long>(p->line.size() - p->start);
    }
    int error = 0;
    if (!write_batch(fd, batch, &error)) {
        // What reached the file is unknown: the log takes no more records.
        fail(w);
        leave_lease(w, false);
        settle(error ? Outcome::failed : Outcome::refused, error);
        mine->outcome = Outcome::failed;
        return;
    }
    leave_lease(w, true);
    w->end = end + written;
    w->seq = at.seq;
    Py_XSETREF(w->seq_big, at.seq_big.release());
    std::memcpy(w->prev, at.link, kLinkSize);
    unsigned long long ticket = 0;
    if (w->fsync) {
        pthread_mutex_lock(&w->sync_lock);
        ticket = w->written;
        w->written += static_cast<unsigned long long>(count);
        pthread_mutex_unlock(&w->sync_lock);
    }
    for (Pending* p = batch; p; p = p->next) {
        p->outcome = Outcome::written;
        p->ticket = w->fsync ? ++ticket : 0;
    }
}

// Writes the queue, this thread's record (`mine`) among it, and hands the
// next queue to the first of its threads; under the GIL.
void lead(Writer* w, Pending* mine) noexcept {
    PyMutex_Lock(&w->lock);
    Pending* batch = w->queue;
    w->queue = nullptr;
    w->queue_end = &w->queue;
    write_records(w, batch, mine);
    PyMutex_Unlock(&w->lock);
    for (Pending* p = batch; p;) {
        Pending* next = p->next;  // read first: once told, its thread may go on and take it away
        PyMutex_Unlock(&p->done);
        p = next;
    }
    if (w->queue) {
        w->queue->lead = true;
        PyMutex_Unlock(&w->queue->done);
    } else {
        w->leading = false;
    }
}

PyObject* append_record(Writer* w, PyObject* layout, PyObject* values) noexcept {
    Pending me;
    if (!me.line.reserve(kHeadRoom)) {
        return PyErr_NoMemory();
    }
    me.line.advance(kHeadRoom);
    if (!encode_body(me.line, layout, values)) {
        return nullptr;
    }
    me.body_end = me.line.size();
    for (;;) {
        PyMutex_Lock(&me.done);  // this thread's own: the writer of the record lets it go
        me.outcome = Outcome::pending;
        me.lead = false;
        me.next = nullptr;
        *w->queue_end = &me;
        w->queue_end = &me.next;
        if (!w->leading) {
            w->leading = true;
            lead(w, &me);
        } else {
            PyMutex_Lock(&me.done);  // waits, without the GIL, for the thread that leads
            if (me.lead) {
                lead(w, &me);
            } else {
                PyMutex_Unlock(&me.done);
            }
        }
        switch (me.outcome) {
            case Outcome::written:
                break;
            case Outcome::retry:
                continue;
            case Outcome::refused: {
                Ref refused = Ref::steal(call_log(w, state.refuse));
                if (refused) {
                    PyErr_SetString(PyExc_ValueError, "the decision log takes no more records");
                }
                return nullptr;
            }
            case Outcome::failed:
            case Outcome::pending:
                if (!PyErr_Occurred()) {
                    errno = me.error;
                    PyErr_SetFromErrno(PyExc_OSError);
                }
                return nullptr;
        }
        break;
    }
    if (me.ticket > 0) {
        bool made_failed_sync = false;
        if (int error = wait_synced(w, me.ticket, &made_failed_sync); error != 0) {
            errno = error;
            PyErr_SetFromErrno(PyExc_OSError);
            if (made_failed_sync) {
                fail(w);
            } else {
                w->broken = true;
            }
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject* writer_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 2) {
        return PyErr_Format(PyExc_TypeError, "append() takes a layout and a tuple of values (%zd given)",
                            nargs);
    }
    return append_record(as_writer(self), args[0], args[1]);
}

// The log's own record(event, stage, decision), for what Writer.record leaves to it.
Py_NO_INLINE PyObject* log_record(PyObject* log, PyObject* const* args) noexcept {
    PyObject* call_args[] = {log, args[0], args[1], args[2]};
    return PyObject_VectorcallMethod(state.record, call_args, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// record(event, stage, decision): the log's record of a decision that did not
// ask, written here while the log would write it as it is (nothing to redact,
// no limits, the file its own), else by the log.
PyObject* writer_record(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 3) {
        return PyErr_Format(PyExc_TypeError, "record() takes an event, a stage and a decision (%zd given)",
                            nargs);
    }
    Writer* w = as_writer(self);
    PyObject* log = nullptr;
    if (PyWeakref_GetRef(w->log, &log) <= 0) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ReferenceError, "the decision log of this writer is gone");
        }
        return nullptr;
    }
    Ref held = Ref::steal(log);
    if (!w->layout || w->forked) {
        return log_record(log, args);
    }
    Ref redact = Ref::steal(PyObject_GetAttr(log, state.redact));
    int redacting = redact ? PyObject_IsTrue(redact.get()) : -1;
    if (redacting != 0) {
        return redacting < 0 ? nullptr : log_record(log, args);
    }
    Ref uses;
    if (PyObject_GetOptionalAttr(args[2], state.limits, uses.out()) < 0) {
        return nullptr;
    }
    int limited = uses ? PyObject_IsTrue(uses.get()) : 0;
    if (limited != 0) {
        return limited < 0 ? nullptr : log_record(log, args);
    }
    Ref verdict = Ref::steal(PyObject_GetAttr(args[2], state.verdict));
    Ref hits = verdict ? Ref::steal(PyObject_GetAttr(args[2], state.hits)) : Ref();
    Ref values = hits ? Ref::steal(PyTuple_Pack(4, args[1], verdict.get(), hits.get(), args[0])) : Ref();
    if (!values) {
        return nullptr;
    }
    return append_record(w, w->layout, values.get());
}

PyObject* writer_close(PyObject* self, PyObject*) noexcept {
    Writer* w = as_writer(self);
    PyMutex_Lock(&w->lock);
    w->closed = true;
    PyMutex_Unlock(&w->lock);
    end_lease(w, true);
    if (w->fsync) {
        // No sync may be left running on the file once it is closed.
        pthread_mutex_lock(&w->sync_lock);
        unsigned long long last = w->written;
        pthread_mutex_unlock(&w->sync_lock);
        bool made_failed_sync = false;
        wait_synced(w, last, &made_failed_sync);
    }
    Py_RETURN_NONE;
}

PyObject* writer_after_fork(PyObject* self, PyObject*) noexcept {
    // In a child process: the threads that held these are not in it.
    Writer* w = as_writer(self);
    w->lock = PyMutex{};
    w->queue = nullptr;
    w->queue_end = &w->queue;
    w->leading = false;
    w->forked = true;
    init_sync(w);
    // The lock of the file the parent leases is the parent's: the child
    // neither gives it back nor writes under it, and leases its own file's.
    init_lease(w);
    Py_RETURN_NONE;
}

// Before a fork (which then finds no thread but the callers') and at exit.
PyObject* writer_release(PyObject* self, PyObject*) noexcept {
    Writer* w = as_writer(self);
    pthread_mutex_lock(&w->lease_lock);
    const bool busy = w->lease_busy;  // a signal handler's fork, in the middle of a batch
    pthread_mutex_unlock(&w->lease_lock);
    if (!busy) {
        end_lease(w, false);
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------- attributes

PyObject* get_seq(PyObject* self, void*) noexcept {
    Writer* w = as_writer(self);
    return w->seq_big ? Py_NewRef(w->seq_big) : PyLong_FromLongLong(w->seq);
}

int set_seq(PyObject* self, PyObject* value, void*) noexcept {
    if (!value || !PyLong_CheckExact(value)) {
        PyErr_SetString(PyExc_TypeError, "seq takes an int");
        return -1;
    }
    Writer* w = as_writer(self);
    int overflow = 0;
    long long seq = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0) {
        Py_XSETREF(w->seq_big, Py_NewRef(value));
    } else {
        Py_CLEAR(w->seq_big);
        w->seq = seq;
    }
    return 0;
}

PyObject* get_prev(PyObject* self, void*) noexcept {
    return PyUnicode_FromStringAndSize(as_writer(self)->prev, kLinkSize);
}

int set_prev(PyObject* self, PyObject* value, void*) noexcept {
    if (!value || !PyUnicode_Check(value) || !PyUnicode_IS_ASCII(value) ||
        PyUnicode_GET_LENGTH(value) != static_cast<Py_ssize_t>(kLinkSize)) {
        PyErr_SetString(PyExc_ValueError, "prev takes 64 hex digits");
        return -1;
    }
    std::memcpy(as_writer(self)->prev, PyUnicode_DATA(value), kLinkSize);
    return 0;
}

PyObject* get_end(PyObject* self, void*) noexcept { return PyLong_FromLongLong(as_writer(self)->end); }

int set_end(PyObject* self, PyObject* value, void*) noexcept {
    long long end = value ? PyLong_AsLongLong(value) : -1;
    if (end == -1 && (!value || PyErr_Occurred())) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "end cannot be deleted");
        }
        return -1;
    }
    as_writer(self)->end = end;
    return 0;
}

PyObject* get_fd(PyObject* self, void*) noexcept { return PyLong_FromLong(as_writer(self)->fd); }

int set_fd(PyObject* self, PyObject* value, void*) noexcept {
    int fd = value ? PyLong_AsInt(value) : -1;
    if (fd == -1 && (!value || PyErr_Occurred())) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "fd cannot be deleted");
        }
        return -1;
    }
    Writer* w = as_writer(self);
    pthread_mutex_lock(&w->lease_lock);
    if (!w->lease_busy) {  // the lock of the file written until now is given back with it
        give_back(w);
    }
    pthread_mutex_unlock(&w->lease_lock);
    w->fd = fd;
    w->forked = false;
    return 0;
}

PyObject* get_syncs(PyObject* self, void*) noexcept {
    Writer* w = as_writer(self);
    pthread_mutex_lock(&w->sync_lock);
    unsigned long long syncs = w->syncs;
    pthread_mutex_unlock(&w->sync_lock);
    return PyLong_FromUnsignedLongLong(syncs);
}

PyGetSetDef writer_getset[] = {
    {"seq", get_seq, set_seq, PyDoc_STR("The last record's seq."), nullptr},
    {"prev", get_prev, set_prev, PyDoc_STR("The next record's prev."), nullptr},
    {"end", get_end, set_end, PyDoc_STR("The file's size after the last record read or written."), nullptr},
    {"fd", get_fd, set_fd, PyDoc_STR("The file written to (owned by the log)."), nullptr},
    {"syncs", get_syncs, nullptr, PyDoc_STR("How many times the file was synced to the disk."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef writer_methods[] = {
    {"append", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(writer_append)), METH_FASTCALL,
     PyDoc_STR("append($self, layout, values, /)\n--\n\nWrites one chained record of the given fields.")},
    {"record", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(writer_record)), METH_FASTCALL,
     PyDoc_STR("record($self, event, stage, decision, /)\n--\n\nThe log's record(event, stage, decision).")},
    {"close", writer_close, METH_NOARGS,
     PyDoc_STR("close($self, /)\n--\n\nTakes no more records, once every sync under way has ended.")},
    {"after_fork", writer_after_fork, METH_NOARGS,
     PyDoc_STR("after_fork($self, /)\n--\n\nIn a child process: the locks start anew.")},
    {"release", writer_release, METH_NOARGS,
     PyDoc_STR("release($self, /)\n--\n\nGives back the file's lock, which the writer keeps between records,\n"
               "and ends the thread that gives it back when idle; the next record takes both again.")},
    {nullptr, nullptr, 0, nullptr},
};

const char writer_doc[] =
    "Writer(log, key=None, *, fsync=False, layout=None)\n"
    "--\n"
    "\n"
    "The records of a decision log opened from a path: each written under the\n"
    "file's lock after any other writer's, chained to the last, signed under\n"
    "`key` when one is given, and with fsync on the disk before append() returns.\n"
    "`layout` is the Layout of a decision's record, which record() writes.";

PyType_Slot writer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(writer_dealloc)},
    {Py_tp_getset, writer_getset},
    {Py_tp_methods, writer_methods},
    {Py_tp_doc, const_cast<char*>(writer_doc)},
    {0, nullptr},
};

PyType_Spec writer_spec = {
    "quindle_brevault_agent._audit.Writer",
    sizeof(Writer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    writer_slots,
};

}  // namespace

bool init_writer_type(PyObject* module) noexcept {
    PyObject* type = PyType_FromModuleAndSpec(module, &writer_spec, nullptr);
    state.writer_type = reinterpret_cast<PyTypeObject*>(type);
    return type != nullptr;
}

}  // namespace qba::audit
