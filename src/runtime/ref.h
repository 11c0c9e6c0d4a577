// The one owned-reference type of the module. A raw PyObject* anywhere else is borrowed.
#pragma once
#include <Python.h>
#include <utility>

namespace rt {

// Owns one strong reference, or nothing. An empty Ref straight after an API
// call means: failed, exception set.
class Ref {
public:
    Ref() noexcept = default;
    ~Ref() { Py_XDECREF(p_); }

    // Adopt a reference we already own (an API result documented "new").
    [[nodiscard]] static Ref steal(PyObject *p) noexcept { return Ref(p); }
    // Take a reference of our own to a borrowed pointer.
    [[nodiscard]] static Ref borrow(PyObject *p) noexcept { return Ref(Py_XNewRef(p)); }

    Ref(Ref &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept {
        Ref displaced(std::move(other));  // the old value dies last, after
        std::swap(p_, displaced.p_);      // this Ref is consistent again
        return *this;
    }
    Ref(const Ref &) = delete;             // an added reference is written out:
    Ref &operator=(const Ref &) = delete;  // Ref::borrow(r.get()) or r.new_ref()

    PyObject *get() const noexcept { return p_; }  // borrowed view
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // A second strong reference for a caller; this Ref keeps its own.
    [[nodiscard]] PyObject *new_ref() const noexcept { return Py_XNewRef(p_); }
    // Hand our reference on: a return value, PyTuple_SET_ITEM, an owned field.
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Ref dropped(std::move(*this)); }

private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

// Store a new reference in an owned field, then drop the old value: its
// destructor may run Python code that reads this very field.
inline void replace_owned(PyObject *&field, PyObject *value) noexcept {
    PyObject *old = std::exchange(field, Py_XNewRef(value));
    Py_XDECREF(old);
}

// Empty an owned field before releasing what it held, for the same reason.
inline void clear_owned(PyObject *&field) noexcept {
    PyObject *old = std::exchange(field, nullptr);
    Py_XDECREF(old);
}

}  // namespace rt
