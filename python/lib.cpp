// Temporary module body; the entry points are being built.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static int tarvex_exec(PyObject* module) {
  return PyModule_AddStringConstant(module, "__version__", "0.1.0");
}

static PyModuleDef_Slot tarvex_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(tarvex_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr}};

static PyModuleDef tarvex_module = {PyModuleDef_HEAD_INIT, "_tarvex", nullptr, 0, nullptr,
                                    tarvex_slots, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit__tarvex(void) { return PyModuleDef_Init(&tarvex_module); }
