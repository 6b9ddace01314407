#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define PY_ARRAY_UNIQUE_SYMBOL varnel_ARRAY_API
#include <numpy/arrayobject.h>

static int exec_module(PyObject* m) {
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    return 0;
}
static PyModuleDef_Slot slots[] = {{Py_mod_exec, (void*)exec_module}, {0, nullptr}};
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "_core", "", 0, nullptr, slots, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&def); }
