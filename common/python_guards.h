// What the Python bindings of both modules share to stay safe with careless callers: snapshots of
// Python containers that own their items, a type caster that refuses objects whose C++ state was
// never made, and the hook that turns a pending signal (Ctrl-C) into its Python exception during
// long calls. Only binding units include this header.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "interrupt.h"

namespace velloran::python {

// Runs the interpreter's signal handlers; a handler's exception (KeyboardInterrupt) is thrown.
// Needs the interpreter lock.
inline void raise_pending_signals_locked() {
    if (PyErr_CheckSignals() != 0) throw pybind11::error_already_set();
}

// The items of any iterable, each held by a reference of our own, so callbacks made while one item
// is read (or another thread) may change the container but never free what is being parsed. A
// list or tuple is copied without running Python code, so the snapshot is its state at the call.
inline std::vector<pybind11::object> owned_items(const pybind11::handle& iterable) {
    std::vector<pybind11::object> items;
    for (const pybind11::handle item : pybind11::iter(iterable)) {
        items.push_back(pybind11::reinterpret_borrow<pybind11::object>(item));
    }
    return items;
}

// Polls for signals while long Python-facing loops hold the interpreter lock.
inline void poll_signals_locked(size_t iteration) {
    if ((iteration & 1023) == 1023) raise_pending_signals_locked();
}

namespace detail {

// The interpreter's main thread, recorded when the module is imported: signal handlers run only
// there, so other threads have nothing to poll. (Read at import, not on first use: a first use in
// several threads at once would run Python code under a static initialisation guard and deadlock.)
inline std::atomic<unsigned long> main_thread_ident{0};

inline bool on_main_thread() {
    const unsigned long main_ident = main_thread_ident.load(std::memory_order_relaxed);
    return main_ident != 0 && PyThread_get_thread_ident() == main_ident;
}

inline void raise_pending_signals_unlocked() {
    pybind11::gil_scoped_acquire acquire;
    raise_pending_signals_locked();
}

}  // namespace detail

// Called by each module's initialisation, with the interpreter lock held.
inline void remember_main_thread() {
    const auto ident =
        pybind11::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    detail::main_thread_ident.store(ident, std::memory_order_relaxed);
}

// Created with the interpreter lock held, before it is released around engine work: the engine's
// interrupt polls then check for signals (main thread only), and raise KeyboardInterrupt between
// units of work.
class SignalPolling : public InterruptScope {
public:
    SignalPolling() : InterruptScope(detail::on_main_thread() ? &detail::raise_pending_signals_unlocked : nullptr) {}
};

// Refuses an instance of T whose C++ object was never constructed (made by T.__new__ without a
// factory, or by copy.copy): its methods would otherwise read uninitialised memory.
template <typename T>
void require_constructed(pybind11::handle src, const char* message) {
    const pybind11::handle type = pybind11::detail::get_type_handle(typeid(T), false);
    // The exact type test: isinstance() can be fooled by a __class__ attribute.
    if (!type || !PyObject_TypeCheck(src.ptr(), reinterpret_cast<PyTypeObject*>(type.ptr()))) return;
    auto* instance = reinterpret_cast<pybind11::detail::instance*>(src.ptr());
    const auto value_and_holder =
        instance->get_value_and_holder(pybind11::detail::get_type_info(typeid(T)), false);
    if (!value_and_holder || !value_and_holder.holder_constructed()) throw pybind11::type_error(message);
}

}  // namespace velloran::python

// Makes every argument of the bound class T, by reference or by holder, pass the construction
// check first; MESSAGE is the TypeError's text. Used at global scope, in the header that every
// binding unit of T's module includes.
#define VELLORAN_CONSTRUCTED_ONLY(T, MESSAGE)                                                   \
    namespace pybind11::detail {                                                                \
    template <>                                                                                 \
    class type_caster<T> : public type_caster_base<T> {                                         \
    public:                                                                                     \
        bool load(handle src, bool convert) {                                                   \
            velloran::python::require_constructed<T>(src, MESSAGE);                             \
            return type_caster_base<T>::load(src, convert);                                     \
        }                                                                                       \
    };                                                                                          \
    template <>                                                                                 \
    class type_caster<std::shared_ptr<T>> : public copyable_holder_caster<T, std::shared_ptr<T>> { \
    public:                                                                                     \
        bool load(handle src, bool convert) {                                                   \
            velloran::python::require_constructed<T>(src, MESSAGE);                             \
            return copyable_holder_caster<T, std::shared_ptr<T>>::load(src, convert);           \
        }                                                                                       \
    };                                                                                          \
    }
