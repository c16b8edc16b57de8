/* SPDX-License-Identifier: Apache-2.0 */
/*
 * dgfile._simswitch: QRVD_SIM as the simulated driver reads it, through its
 * one reader, qrvd_sim_env_force() of qrv_platform.h.  For
 * dgfile/_platform.py, which decides before anything of the GPU platform is
 * loaded: so it links no library but the C library, and imports on any
 * machine.  It reads the process's environment itself (os.environ does not
 * see a change made by C code or os.putenv).  Any thread.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <qrv_platform.h>

static PyObject* force(PyObject* self, PyObject* unused) {
    (void)self;
    (void)unused;
    return PyLong_FromLong(qrvd_sim_env_force());
}

static PyMethodDef methods[] = {
    {"force", force, METH_NOARGS,
     "1 when QRVD_SIM says on (\"1\", \"on\" or \"yes\", any case), 0 when it says off "
     "(\"0\", \"off\" or \"no\"), -1 when it is not set or says neither."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_simswitch",
    .m_doc = "QRVD_SIM as the simulated driver reads it.",
    .m_size = -1,
    .m_methods = methods,
};

PyMODINIT_FUNC PyInit__simswitch(void) { return PyModule_Create(&module); }
