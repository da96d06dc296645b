// The `tarnwick` extension module: multi-phase initialisation whose execution step adds
// `TarnwickManager` and `__version__`, each also listed in `__all__`.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/manager.h"
#include "python/py_ref.h"

namespace tarnwick::python {
namespace {

constexpr const char kVersion[] = "0.1.3";

// Sets `name` on the module and appends it to `__all__`.
bool add_exported(PyObject* module, PyObject* all, const char* name, PyRef value) {
  if (!value || PyModule_AddObjectRef(module, name, value.get()) != 0) return false;
  PyRef name_object(PyUnicode_FromString(name));
  return name_object && PyList_Append(all, name_object.get()) == 0;
}

int exec_module(PyObject* module) {
  PyRef all(PyList_New(0));
  if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) != 0) return -1;
  bool ok = add_exported(module, all.get(), "TarnwickManager", PyRef(create_manager_type(module))) &&
            add_exported(module, all.get(), "__version__", PyRef(PyUnicode_FromString(kVersion)));
  return ok ? 0 : -1;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tarnwick",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = kSlots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace tarnwick::python

PyMODINIT_FUNC PyInit_tarnwick() { return PyModuleDef_Init(&tarnwick::python::kModule); }
