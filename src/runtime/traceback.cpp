// add_traceback_entry and its process-wide cache of empty code objects, kept
// sorted and searched by bisection. An entry is keyed by the source line (or
// the negated native position) together with the function name, so that two
// functions failing at the same line never share a code object and its name.
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
    const char *function;
    const char *native_file;  // null unless the native position is shown
};

struct CacheEntry {
    CacheKey key;
    PyCodeObject *code;    // owned
    PyFrameObject *frame;  // owned, made on first use; tracebacks share it, as it
                           // carries nothing but the code, the globals and the line
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

// Orders keys by line, then function name, then native file.
int compare_keys(const CacheKey &a, const CacheKey &b) noexcept {
    if (a.key != b.key) return a.key < b.key ? -1 : 1;
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

// The entry of `key`, or null.
CacheEntry *find_cached_code(const CacheKey &key) noexcept {
    if (key.key == 0 || !code_cache.entries) return nullptr;
    int pos = bisect_code_cache(key);
    if (pos >= code_cache.count || compare_keys(code_cache.entries[pos].key, key) != 0) return nullptr;
    return &code_cache.entries[pos];
}

// Stores `code` under `key`; the new entry, or null when it could not be kept.
CacheEntry *insert_cached_code(const CacheKey &key, PyCodeObject *code) noexcept {
    if (key.key == 0) return nullptr;
    if (!code_cache.entries) {
        auto *entries = static_cast<CacheEntry *>(PyMem_Malloc(kCacheGrowth * sizeof(CacheEntry)));
        if (!entries) return nullptr;
        Py_INCREF(code);
        entries[0] = CacheEntry{key, code, nullptr};
        code_cache.entries = entries;
        code_cache.capacity = kCacheGrowth;
        code_cache.count = 1;
        return &entries[0];
    }
    int pos = bisect_code_cache(key);
    if (pos < code_cache.count && compare_keys(code_cache.entries[pos].key, key) == 0) {
        CacheEntry &entry = code_cache.entries[pos];
        PyCodeObject *old = entry.code;
        PyFrameObject *old_frame = entry.frame;
        Py_INCREF(code);
        entry.code = code;
        entry.frame = nullptr;
        Py_DECREF(old);
        Py_XDECREF(old_frame);
        return &entry;
    }
    if (code_cache.count == code_cache.capacity) {
        int capacity = code_cache.capacity + kCacheGrowth;
        auto *grown = static_cast<CacheEntry *>(
            PyMem_Realloc(code_cache.entries, static_cast<size_t>(capacity) * sizeof(CacheEntry)));
        if (!grown) return nullptr;
        code_cache.entries = grown;
        code_cache.capacity = capacity;
    }
    CacheEntry *e = code_cache.entries;
    std::memmove(e + pos + 1, e + pos, static_cast<size_t>(code_cache.count - pos) * sizeof(CacheEntry));
    Py_INCREF(code);
    e[pos] = CacheEntry{key, code, nullptr};
    ++code_cache.count;
    return &e[pos];
}

}  // namespace

int native_line_for_traceback(PyThreadState *ts, int native_line) noexcept {
    const State &st = state();
    if (!st.runtime_module) return native_line;
    // The switch is read with no exception set; the raised one (its
    // traceback rides on it) goes back afterwards.
    PyObject *raised = PyErr_GetRaisedException();
    (void)ts;

    int show = -1;  // -1: the switch is missing
    PyObject **dict_ptr = cpython::instance_dict_ptr(st.runtime_module);
    if (dict_ptr && *dict_ptr) {
        PyObject *flag = cpython::dict_get_known_hash(*dict_ptr, st.str_native_line_in_traceback,
                                                      cpython::stored_hash(st.str_native_line_in_traceback));
        if (flag) {
            Py_INCREF(flag);
            show = flag == Py_True ? 1 : flag == Py_False ? 0 : PyObject_Not(flag) == 0;
            Py_DECREF(flag);
        } else {
            PyErr_Clear();
        }
    } else {
        PyObject *flag = get_attr_no_error(st.runtime_module, st.str_native_line_in_traceback);
        if (flag) {
            show = PyObject_Not(flag) == 0;
            Py_DECREF(flag);
        } else {
            PyErr_Clear();
        }
    }
    if (show < 0) {
        if (PyObject_SetAttr(st.runtime_module, st.str_native_line_in_traceback, Py_False) < 0) PyErr_Clear();
        show = 0;
    }
    PyErr_Clear();  // nothing raised while reading the switch survives
    PyErr_SetRaisedException(raised);
    return show ? native_line : 0;
}

void add_traceback_entry(const char *function, NativePos native, int py_line, const char *file) noexcept {
    PyThreadState *ts = PyThreadState_Get();
    int native_line = native.line;
    if (native_line != 0) native_line = native_line_for_traceback(ts, native_line);

    CacheKey key = native_line ? CacheKey{-native_line, function, native.file} : CacheKey{py_line, function, nullptr};
    CacheEntry *entry = find_cached_code(key);
    Ref uncached_code;  // holds the code when the cache could not keep it
    if (!entry) {
        PyObject *raised = PyErr_GetRaisedException();  // made with no exception set
        Ref formatted;
        const char *name = function;
        if (native_line) {
            formatted = Ref::steal(PyUnicode_FromFormat("%s (%s:%d)", function, native.file, native_line));
            name = formatted ? PyUnicode_AsUTF8(formatted.get()) : nullptr;
        }
        PyCodeObject *code = name ? PyCode_NewEmpty(file, name, py_line) : nullptr;
        if (!code) {
            // The failure to build the entry is what the caller now sees.
            Py_XDECREF(raised);
            return;
        }
        PyErr_SetRaisedException(raised);
        uncached_code = Ref::steal(reinterpret_cast<PyObject *>(code));
        entry = insert_cached_code(key, code);
        if (entry) uncached_code.reset();
    }
    PyFrameObject *frame = entry ? entry->frame : nullptr;
    if (!frame) {
        // The frame is made with no exception set: its builtins lookup would
        // otherwise give up on a globals dict without __builtins__.
        PyObject *raised = PyErr_GetRaisedException();
        PyObject *globals = state().module_globals;
        PyCodeObject *code = entry ? entry->code : reinterpret_cast<PyCodeObject *>(uncached_code.get());
        frame = globals ? PyFrame_New(ts, code, globals, nullptr) : nullptr;
        if (!frame) PyErr_Clear();  // no entry, the reported exception stays
        PyErr_SetRaisedException(raised);
        if (!frame) return;
        if (entry) entry->frame = frame;  // the cache owns it from here
    }
    PyTraceBack_Here(frame);
    if (!entry) Py_DECREF(frame);  // made for this one entry
}

Py_ssize_t cached_code_count() noexcept { return code_cache.count; }
Py_ssize_t cached_code_capacity() noexcept { return code_cache.capacity; }

}  // namespace rt
