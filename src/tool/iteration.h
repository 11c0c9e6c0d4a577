// A `for` loop's walk over a sequence: exact lists and tuples by index (their
// length read again before each item), anything else through its iterator.
#pragma once
#include <Python.h>

#include "runtime/ref.h"

class ItemWalk {
public:
    // 0, or -1 when no iterator can be had.
    int start(PyObject *iterable) noexcept {
        if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
            sequence_ = rt::Ref::borrow(iterable);
            return 0;
        }
        iterator_ = rt::Ref::steal(PyObject_GetIter(iterable));
        return iterator_ ? 0 : -1;
    }

    // 1 with the next item in `item`, 0 at the end, -1 on failure.
    int next(rt::Ref &item) noexcept {
        if (PyObject *seq = sequence_.get()) {
            Py_ssize_t size = PyList_CheckExact(seq) ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
            if (index_ >= size) return 0;
            PyObject *value = PyList_CheckExact(seq) ? PyList_GET_ITEM(seq, index_) : PyTuple_GET_ITEM(seq, index_);
            ++index_;
            item = rt::Ref::borrow(value);
            return 1;
        }
        PyObject *value = Py_TYPE(iterator_.get())->tp_iternext(iterator_.get());
        if (value) {
            item = rt::Ref::steal(value);
            return 1;
        }
        if (PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return -1;
            PyErr_Clear();
        }
        return 0;
    }

private:
    rt::Ref sequence_;
    rt::Ref iterator_;
    Py_ssize_t index_ = 0;
};
