// The two RAII helpers of the binding: an owned reference to a Python object, and a scope in
// which the interpreter lock is released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tarnwick::python {

// Owns one reference; releases it when destroyed. Must only be destroyed with the interpreter
// lock held.
class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (nullptr is allowed: a failed call's result).
  explicit PyRef(PyObject* owned) : object_(owned) {}
  static PyRef borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  // Hands the reference to the caller, e.g. as a function's return value.
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// Releases the interpreter lock for the scope's lifetime. Nothing inside may touch a Python
// object.
class GilReleased {
 public:
  GilReleased() : state_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(state_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

// Runs `work` with the interpreter lock released and returns its result once the lock is back.
template <class Work>
auto without_gil(Work&& work) {
  GilReleased released;
  return std::forward<Work>(work)();
}

}  // namespace tarnwick::python
