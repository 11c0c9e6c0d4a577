// add_traceback_entry and its process-wide cache of empty code objects, kept
// sorted and searched by bisection. An entry is keyed by the source line (or
// the negated native position) together with the function name and, for native
// positions, the source line and native file: one native failure point may
// serve several source lines, and two functions may fail at the same line.
//
// Making a code object or a frame can run Python code (a collection, a function
// watcher, a globals key with its own __eq__), which may add entries and move
// the array. So no pointer into it is kept across those calls: the code object
// is copied out as an owned reference, and the cache is searched again before
// it is written. Each entry gets a frame of its own: a frame's locals and
// trace function are open to Python code, and must not reach a later traceback.
#include "runtime/traceback.h"

#include <frameobject.h>

#include <cstring>

#include "module/state.h"
#include "runtime/cpython_internal.h"
#include "runtime/lookup.h"
#include "runtime/ref.h"

namespace rt {

namespace {

struct CacheKey {
    int key;                  // source line, or the negated native position
    int py_line;              // the source line again, for native positions
    const char *function;
    const char *native_file;  // null unless the native position is shown
};

struct CacheEntry {
    CacheKey key;
    PyCodeObject *code;  // owned
};

struct CodeCache {
    CacheEntry *entries = nullptr;
    int count = 0;
    int capacity = 0;
};

CodeCache code_cache;  // never shrunk or freed

constexpr int kCacheGrowth = 64;

int compare_text(const char *a, const char *b) noexcept {
    if (a == b) return 0;
    if (!a) return -1;
    if (!b) return 1;
    return std::strcmp(a, b);
}

int compare_numbers(int a, int b) noexcept { return a < b ? -1 : a > b ? 1 : 0; }

// Orders keys by line (or native position), source line, function name, native file.
int compare_keys(const CacheKey &a, const CacheKey &b) noexcept {
    if (int c = compare_numbers(a.key, b.key)) return c;
    if (int c = compare_numbers(a.py_line, b.py_line)) return c;
    if (int c = compare_text(a.function, b.function)) return c;
    return compare_text(a.native_file, b.native_file);
}

int bisect_code_cache(const CacheKey &key) noexcept {
    const CacheEntry *e = code_cache.entries;
    int count = code_cache.count;
    if (count >= 1 && compare_keys(key, e[count - 1].key) > 0) return count;
    int start = 0, end = count - 1, mid = 0;
    while (start < end) {
        mid = start + (end - start) / 2;
        int c = compare_keys(key, e[mid].key);
        if (c < 0)
            end = mid;
        else if (c > 0)
            start = mid + 1;
        else
            return mid;
    }
    return (count > 0 && compare_keys(e[mid].key, key) < 0) ? mid + 1 : mid;
}

// The index of the entry of `key`, or -1. Runs no Python code.
int find_cached_entry(const CacheKey &key) noexcept {
    if (key.key == 0 || !code_cache.entries) return -1;
    int pos = bisect_code_cache(key);
    if (pos >= code_cache.count || compare_keys(code_cache.entries[pos].key, key) != 0) return -1;
    return pos;
}

// A new reference to the code object cached under `key`; empty when absent.
Ref find_cached_code(const CacheKey &key) noexcept {
    int pos = find_cached_entry(key);
    if (pos < 0) return Ref();
    return Ref::borrow(reinterpret_cast<PyObject *>(code_cache.entries[pos].code));
}

// Stores `code` under `key`. What it displaces is released last, once the
// cache is consistent again.
void insert_cached_code(const CacheKey &key, PyCodeObject *code) noexcept {
    if (key.key == 0) return;
    if (!code_cache.entries) {
        auto *entries = static_cast<CacheEntry *>(PyMem_Malloc(kCacheGrowth * sizeof(CacheEntry)));
        if (!entries) return;
        Py_INCREF(code);
        entries[0] = CacheEntry{key, code};
        code_cache.entries = entries;
        code_cache.capacity = kCacheGrowth;
        code_cache.count = 1;
        return;
    }
    int pos = bisect_code_cache(key);
    if (pos < code_cache.count && compare_keys(code_cache.entries[pos].key, key) == 0) {
        CacheEntry &entry = code_cache.entries[pos];
        Ref old_code = Ref::steal(reinterpret_cast<PyObject *>(std::exchange(entry.code, code)));
        Py_INCREF(code);
        return;
    }
    if (code_cache.count == code_cache.capacity) {
        int capacity = code_cache.capacity + kCacheGrowth;
        auto *grown = static_cast<CacheEntry *>(
            PyMem_Realloc(code_cache.entries, static_cast<size_t>(capacity) * sizeof(CacheEntry)));
        if (!grown) return;
        code_cache.entries = grown;
        code_cache.capacity = capacity;
    }
    CacheEntry *e = code_cache.entries;
    std::memmove(e + pos + 1, e + pos, static_cast<size_t>(code_cache.count - pos) * sizeof(CacheEntry));
    Py_INCREF(code);
    e[pos] = CacheEntry{key, code};
    ++code_cache.count;
}

// After Python code ran with the reported exception taken off the thread:
// true when that exception is still the one to report, any Exception raised
// meanwhile being dropped. An interrupt or exit (anything else) goes on
// instead, with the reported exception as its context; `reported` is then
// consumed and false returned.
bool keep_reported_exception(PyObject *&reported) noexcept {
    if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        return true;
    }
    PyObject *stop = PyErr_GetRaisedException();
    PyObject *context = std::exchange(reported, nullptr);
    if (context && context != stop)
        PyException_SetContext(stop, context);
    else
        Py_XDECREF(context);
    PyErr_SetRaisedException(stop);
    return false;
}

// A new frame for `code` in the module globals, made with no exception set:
// its builtins lookup would otherwise give up on a globals dict without
// __builtins__. Empty on failure, which adds no entry; an interrupt raised
// meanwhile goes on.
Ref make_frame(PyThreadState *ts, PyObject *code) noexcept {
    Ref globals = Ref::borrow(state().module_globals);
    if (!globals) return Ref();
    PyObject *raised = PyErr_GetRaisedException();
    Ref frame = Ref::steal(reinterpret_cast<PyObject *>(
        PyFrame_New(ts, reinterpret_cast<PyCodeObject *>(code), globals.get(), nullptr)));
    if (!keep_reported_exception(raised)) return Ref();
    PyErr_SetRaisedException(raised);
    return frame;
}

// A new code object named for the entry; empty with the failure raised instead
// of the exception being reported.
Ref make_code(const char *function, NativePos native, int native_line, int py_line, const char *file) noexcept {
    PyObject *raised = PyErr_GetRaisedException();  // made with no exception set
    Ref formatted;
    const char *name = function;
    if (native_line) {
        formatted = Ref::steal(PyUnicode_FromFormat("%s (%s:%d)", function, native.file, native_line));
        name = formatted ? PyUnicode_AsUTF8(formatted.get()) : nullptr;
    }
    Ref code = name ? Ref::steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty(file, name, py_line))) : Ref();
    if (!code) {
        Py_XDECREF(raised);  // the failure to build the entry is what the caller now sees
        return Ref();
    }
    PyErr_SetRaisedException(raised);
    return code;
}

constexpr int kSwitchMissing = -1;

// compiled_runtime.native_line_in_traceback: 1 on, 0 off, or kSwitchMissing.
// A failure stays raised: a failed lookup counts as missing, a failed truth
// test as off.
int read_switch(const State &st) noexcept {
    PyObject *name = st.str_native_line_in_traceback;
    Ref flag;
    PyObject **dict_ptr = cpython::instance_dict_ptr(st.runtime_module);
    if (dict_ptr && *dict_ptr) {
        Ref dict = Ref::borrow(*dict_ptr);  // a key's __eq__ may run during the lookup
        flag = Ref::borrow(cpython::dict_get_known_hash(dict.get(), name, cpython::stored_hash(name)));
        if (flag.get() == Py_True || flag.get() == Py_False) return flag.get() == Py_True;
    } else {
        flag = Ref::steal(get_attr_no_error(st.runtime_module, name));
    }
    if (!flag) return kSwitchMissing;
    return PyObject_Not(flag.get()) == 0;
}

}  // namespace

int native_line_for_traceback(PyThreadState *, int native_line) noexcept {
    const State &st = state();
    if (!st.runtime_module) return native_line;
    // The switch is read with no exception set; the raised one (its
    // traceback rides on it) goes back afterwards.
    PyObject *raised = PyErr_GetRaisedException();
    int show = read_switch(st);
    bool kept = keep_reported_exception(raised);
    if (kept && show == kSwitchMissing) {
        if (PyObject_SetAttr(st.runtime_module, st.str_native_line_in_traceback, Py_False) < 0)
            kept = keep_reported_exception(raised);
    }
    if (!kept) return -1;
    PyErr_SetRaisedException(raised);
    return show == 1 ? native_line : 0;
}

void add_traceback_entry(const char *function, NativePos native, int py_line, const char *file) noexcept {
    PyThreadState *ts = PyThreadState_Get();
    int native_line = native.line;
    if (native_line != 0) {
        native_line = native_line_for_traceback(ts, native_line);
        if (native_line < 0) return;
    }

    CacheKey key = native_line ? CacheKey{-native_line, py_line, function, native.file}
                               : CacheKey{py_line, 0, function, nullptr};
    Ref code = find_cached_code(key);
    if (!code) {
        code = make_code(function, native, native_line, py_line, file);
        if (!code) return;
        insert_cached_code(key, reinterpret_cast<PyCodeObject *>(code.get()));
    }
    Ref frame = make_frame(ts, code.get());
    if (!frame) return;
    PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

Py_ssize_t cached_code_count() noexcept { return code_cache.count; }
Py_ssize_t cached_code_capacity() noexcept { return code_cache.capacity; }

}  // namespace rt
