// SPDX-License-Identifier: Apache-2.0
#include "errors.h"

#include <cctype>
#include <cerrno>
#include <cstring>

#include <dgfile.hpp>

namespace dgfile_python {

py::handle PackageClass(const char* name) {
    py::object cls = py::module_::import("dgfile._types").attr(name);
    return cls.release();
}

void Raise(const std::error_code& ec, const char* where, std::size_t moved) {
    if (ec.category() == dgfile::category())
        throw StatusError{ec.value(), std::string(where) + ": " + ec.message(), moved};
    throw SystemError{ec.value()};
}

std::string TypeName(py::handle h) { return Py_TYPE(h.ptr())->tp_name; }

std::string Repr(py::handle h) { return py::repr(h).cast<std::string>(); }

namespace {

// Python's bool, or NumPy's (which NumPy 1 still lets convert through
// __index__, with a warning); neither is a size or an offset.
bool IsBool(PyObject* o) {
    if (PyBool_Check(o)) return true;
    const char* type = Py_TYPE(o)->tp_name;
    return std::strcmp(type, "numpy.bool_") == 0 || std::strcmp(type, "numpy.bool") == 0;
}

}  // namespace

long long IntArg(py::handle h, const std::string& name, long long max) {
    py::object index;  // for an object that is not an int itself, its __index__
    PyObject* n = h.ptr();
    if (!PyLong_CheckExact(n)) {  // the common case skips the conversion
        if (IsBool(n) || !PyIndex_Check(n))
            throw py::type_error(name + " must be an int, not " + TypeName(h));
        index = py::reinterpret_steal<py::object>(PyNumber_Index(n));
        if (!index) throw py::error_already_set();
        n = index.ptr();
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(n, &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow < 0 || (overflow == 0 && v < 0))
        throw py::value_error(name + " must not be negative, got " + Repr(h));
    if (overflow > 0 || v > max)
        throw py::value_error(name + " is too large: " + Repr(h) + " (at most " +
                              std::to_string(max) + ")");
    return v;
}

namespace {

// dgfile.Status: DG_FILE_SUCCESS, then every code of dgfile::errc, by the
// enumerator's name in capitals (errc::dio_not_set is Status.DIO_NOT_SET).
py::object StatusEnum() {
    py::list members;
    members.append(py::make_tuple("SUCCESS", static_cast<int>(DG_FILE_SUCCESS)));
    for (const dgfile::errc_name& e : dgfile::errc_names) {
        std::string name = e.name;
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        members.append(py::make_tuple(name, static_cast<int>(e.code)));
    }
    py::object status = py::module_::import("enum").attr("IntEnum")("Status", members,
                                                                     py::arg("module") = "dgfile");
    status.attr("__doc__") = "A status code: those of dgfile.h (DG_FILE_X is Status.X, same value) "
                             "and the three of the C++ layer, TRANSFER_FAILED, END_OF_FILE and STOPPED.";
    return status;
}

}  // namespace

void DefineErrors(py::module_& m) {
    m.attr("Status") = StatusEnum();
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const StatusError& e) {
            static py::handle error = PackageClass("Error");
            py::object instance = error(e.code, e.message, e.moved);
            PyErr_SetObject(error.ptr(), instance.ptr());
        } catch (const SystemError& e) {
            errno = e.error;
            PyErr_SetFromErrno(PyExc_OSError);
        }
    });
}

}  // namespace dgfile_python
