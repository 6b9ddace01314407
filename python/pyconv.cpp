#include "pyconv.hpp"

// NumPy's API table of this unit; every module linking pyconv.cpp gets its
// own copy, filled by import_numpy().
#define PY_ARRAY_UNIQUE_SYMBOL varnel_pyconv_ARRAY_API
#include <numpy/arrayobject.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <type_traits>

#include "base/errors.hpp"

namespace varnel_py {

namespace {

constexpr const char* kVectorCapsule = "varnel.vector";

// TypeError "'<qualname>' object is not an instance of '<expected>'", or
// "'None' is not an instance of '<expected>'" for None.  Always false.
bool raise_not_instance(PyObject* obj, const char* expected) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return false;
    }
    PyRef qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (!qualname) return false;
    PyErr_Format(PyExc_TypeError, "'%S' object is not an instance of '%s'", qualname.get(), expected);
    return false;
}

// A str is a sequence, but never one of numbers.
bool refuse_str(PyObject* obj) {
    PyRef qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (!qualname) return false;
    PyErr_Format(PyExc_TypeError, "expected a sequence of numbers, got a '%S' object", qualname.get());
    return false;
}

bool is_float64(PyArrayObject* a) {
    PyArray_Descr* want = PyArray_DescrFromType(NPY_DOUBLE);
    if (want == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool same = PyArray_EquivTypes(PyArray_DESCR(a), want) && PyArray_ISNOTSWAPPED(a);
    Py_DECREF(want);
    return same;
}

double load(const char* p) noexcept {
    double v;
    std::memcpy(&v, p, sizeof v);  // the array need not be aligned
    return v;
}

// Reads a 1-D NumPy array of a native integer type; false (and nothing
// raised) when it holds a negative value, so that the element-wise path can
// raise the interpreter's own error for it.
template <class T>
bool read_counts(PyArrayObject* a, std::vector<std::uint64_t>& out) {
    const auto n = static_cast<std::size_t>(PyArray_DIM(a, 0));
    const npy_intp stride = PyArray_STRIDE(a, 0);
    const char* p = static_cast<const char*>(PyArray_DATA(a));
    out.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        T v;
        std::memcpy(&v, p + static_cast<npy_intp>(i) * stride, sizeof v);
        if constexpr (std::is_signed_v<T>) {
            if (v < 0) return false;
        }
        out[i] = static_cast<std::uint64_t>(v);
    }
    return true;
}

// Fast path for a 1-D NumPy array of native integers; false when the array
// does not qualify (out is then to be filled element by element).
bool counts_from_array(PyObject* obj, std::vector<std::uint64_t>& out) {
    if (!PyArray_Check(obj)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(a) != 1 || !PyArray_ISNOTSWAPPED(a)) return false;
    switch (PyArray_TYPE(a)) {
    case NPY_BYTE: return read_counts<npy_byte>(a, out);
    case NPY_UBYTE: return read_counts<npy_ubyte>(a, out);
    case NPY_SHORT: return read_counts<npy_short>(a, out);
    case NPY_USHORT: return read_counts<npy_ushort>(a, out);
    case NPY_INT: return read_counts<npy_int>(a, out);
    case NPY_UINT: return read_counts<npy_uint>(a, out);
    case NPY_LONG: return read_counts<npy_long>(a, out);
    case NPY_ULONG: return read_counts<npy_ulong>(a, out);
    case NPY_LONGLONG: return read_counts<npy_longlong>(a, out);
    case NPY_ULONGLONG: return read_counts<npy_ulonglong>(a, out);
    default: return false;
    }
}

// Fast path for a 1-D NumPy array of native float64 values.
bool floats_from_array(PyObject* obj, std::vector<double>& out) {
    if (!PyArray_Check(obj)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(a) != 1 || !is_float64(a)) return false;
    const auto n = static_cast<std::size_t>(PyArray_DIM(a, 0));
    const npy_intp stride = PyArray_STRIDE(a, 0);
    const char* p = static_cast<const char*>(PyArray_DATA(a));
    out.resize(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = load(p + static_cast<npy_intp>(i) * stride);
    return true;
}

// Any sequence but a str, converted element by element with `element`.
template <class T, class Element>
bool sequence_to_vector(PyObject* obj, std::vector<T>& out, Element element) {
    if (PyUnicode_Check(obj)) return refuse_str(obj);
    if (!PySequence_Check(obj)) return raise_not_instance(obj, "Sequence");
    const Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) return false;
    std::vector<T> values;
    values.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyRef item(PySequence_GetItem(obj, i));
        if (!item) return false;
        T v;
        if (!element(item.get(), v)) return false;
        values.push_back(v);
    }
    out = std::move(values);
    return true;
}

// Runs one conversion; on failure the exception gets the parameter's note.
template <class Convert>
bool with_note(const char* name, Convert&& convert) noexcept {
    bool ok = false;
    try {
        ok = convert();
    } catch (...) {
        set_error_from_exception();
    }
    if (!ok) {
        try {
            add_note((std::string("while processing '") + name + "'").c_str());
        } catch (...) {
            // no memory for the note: the exception goes without it
        }
    }
    return ok;
}

template <class T, class Convert>
bool convert_optional(const char* name, PyObject* obj, std::optional<T>& out, Convert&& convert) {
    if (obj == nullptr) return true;
    if (obj == Py_None) {
        out.reset();
        return true;
    }
    return with_note(name, [&] {
        T v{};
        if (!convert(obj, v)) return false;
        out = std::move(v);
        return true;
    });
}

template <class T, class Convert>
bool convert_value(const char* name, PyObject* obj, T& out, Convert&& convert) {
    if (obj == nullptr) return true;
    return with_note(name, [&] { return convert(obj, out); });
}

}  // namespace

// ---------------------------------------------------------------------------

int import_numpy() noexcept { return PyArray_ImportNumPyAPI(); }

void set_error_from_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const varnel_core::Interrupted&) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const varnel_core::PreconditionError& e) {
        raise(PyExc_ValueError, e.what());
    } catch (const varnel_core::InputError& e) {
        raise(PyExc_ValueError, e.what());
    } catch (const std::exception& e) {
        raise(PyExc_RuntimeError, e.what());
    } catch (...) {
        raise(PyExc_RuntimeError, "unexpected C++ exception");
    }
}

bool raise(PyObject* type, std::string_view text) noexcept {
    PyRef message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (message) PyErr_SetObject(type, message.get());
    return false;
}

void add_note(const char* note) noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) {
        PyObject* r = PyObject_CallMethod(value, "add_note", "s", note);
        if (r != nullptr)
            Py_DECREF(r);
        else
            PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
}

// ---------------------------------------------------------------------------

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyRef> slots) {
    const std::size_t total = sig.names.size();
    for (auto& s : slots) s.reset();
    const Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs < 0) return false;
    const auto given = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < std::min(given, sig.positional); ++i) {
        PyObject* item = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
        if (item == nullptr) return false;
        Py_INCREF(item);
        slots[i].reset(item);
    }

    // Keywords first, in the order given, as the interpreter does.
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.function);
                return false;
            }
            std::size_t k = 0;
            while (k < total && PyUnicode_CompareWithASCIIString(key, sig.names[k]) != 0) ++k;
            if (k == total) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                             sig.function, key);
                return false;
            }
            if (slots[k]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'",
                             sig.function, key);
                return false;
            }
            Py_INCREF(value);
            slots[k].reset(value);
        }
    }

    if (given > sig.positional) {
        // The short form, whether or not keyword-only arguments came along.
        const std::string text = std::string(sig.function) + "() takes " +
                                 std::to_string(sig.positional) + " positional argument" +
                                 (sig.positional != 1 ? "s" : "") + " but " + std::to_string(given) +
                                 (given == 1 ? " was given" : " were given");
        return raise(PyExc_TypeError, text);
    }

    std::vector<const char*> missing;
    for (std::size_t k = 0; k < sig.positional; ++k)
        if (!slots[k]) missing.push_back(sig.names[k]);
    if (!missing.empty()) {
        std::string names;
        for (std::size_t i = 0; i < missing.size(); ++i) {
            if (i > 0) {
                if (missing.size() > 2) names += ",";
                names += (i + 1 == missing.size()) ? " and " : " ";
            }
            names += std::string("'") + missing[i] + "'";
        }
        const std::string text = std::string(sig.function) + "() missing " +
                                 std::to_string(missing.size()) + " required positional argument" +
                                 (missing.size() != 1 ? "s" : "") + ": " + names;
        return raise(PyExc_TypeError, text);
    }
    return true;
}

// ---------------------------------------------------------------------------

bool to_float(PyObject* obj, double& out) {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool to_count(PyObject* obj, std::uint64_t& out) {
    PyRef index(PyNumber_Index(obj));
    if (!index) return false;
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool to_flag(PyObject* obj, bool& out) {
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    if (import_numpy() < 0) return false;
    if (PyArray_IsScalar(obj, Bool)) {
        const int truth = PyObject_IsTrue(obj);
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    return raise_not_instance(obj, "bool");
}

bool to_text(PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) return raise_not_instance(obj, "str");
    PyRef bytes(PyUnicode_AsUTF8String(obj));
    if (!bytes) return false;
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return false;
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

bool to_float_vector(PyObject* obj, std::vector<double>& out) {
    if (import_numpy() < 0) return false;
    if (floats_from_array(obj, out)) return true;
    return sequence_to_vector(obj, out, to_float);
}

bool to_count_vector(PyObject* obj, std::vector<std::uint64_t>& out) {
    if (import_numpy() < 0) return false;
    if (counts_from_array(obj, out)) return true;
    return sequence_to_vector(obj, out, to_count);
}

bool to_float_array(PyObject* obj, int ndim, FloatArray& out) {
    if (import_numpy() < 0) return false;
    if (!PyArray_Check(obj)) return raise_not_instance(obj, "ndarray");
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    if (!is_float64(a)) {
        PyErr_Format(PyExc_TypeError, "expected an array of dtype float64, got dtype %S",
                     reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
        return false;
    }
    if (PyArray_NDIM(a) != ndim) {
        PyErr_Format(PyExc_TypeError, "expected a %d-dimensional array, got a %d-dimensional one",
                     ndim, PyArray_NDIM(a));
        return false;
    }
    out.array = obj;
    out.data = static_cast<const char*>(PyArray_DATA(a));
    out.ndim = ndim;
    for (int d = 0; d < ndim; ++d) {
        out.shape[d] = static_cast<std::size_t>(PyArray_DIM(a, d));
        out.strides[d] = PyArray_STRIDE(a, d);
    }
    out.contiguous = PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISALIGNED(a);
    return true;
}

namespace {

// A 1-D C-contiguous aligned native array (the caller checks the type).
bool plain_vector(PyObject* obj) {
    if (import_numpy() < 0) {
        PyErr_Clear();
        return false;
    }
    if (!PyArray_Check(obj)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    return PyArray_NDIM(a) == 1 && PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISALIGNED(a) &&
           PyArray_ISNOTSWAPPED(a);
}

}  // namespace

std::optional<std::span<const std::uint64_t>> count_extent(PyObject* obj) {
    if (!plain_vector(obj)) return std::nullopt;
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    const int type = PyArray_TYPE(a);
    const bool is_u64 = (type == NPY_ULONG || type == NPY_ULONGLONG) && PyArray_ITEMSIZE(a) == 8;
    const bool is_i64 = (type == NPY_LONG || type == NPY_LONGLONG) && PyArray_ITEMSIZE(a) == 8;
    if (!is_u64 && !is_i64) return std::nullopt;
    return std::span<const std::uint64_t>(static_cast<const std::uint64_t*>(PyArray_DATA(a)),
                                          static_cast<std::size_t>(PyArray_DIM(a, 0)));
}

std::optional<std::span<const std::uint64_t>> count_view(PyObject* obj) {
    const auto view = count_extent(obj);
    if (!view) return std::nullopt;
    const int type = PyArray_TYPE(reinterpret_cast<PyArrayObject*>(obj));
    // a negative entry goes through the conversion, which names it
    if (type == NPY_LONG || type == NPY_LONGLONG)
        for (const std::uint64_t c : *view)
            if (static_cast<std::int64_t>(c) < 0) return std::nullopt;
    return view;
}

std::optional<std::span<const double>> float_view(PyObject* obj) {
    if (!plain_vector(obj) || !is_float64(reinterpret_cast<PyArrayObject*>(obj))) return std::nullopt;
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    return std::span<const double>(static_cast<const double*>(PyArray_DATA(a)),
                                   static_cast<std::size_t>(PyArray_DIM(a, 0)));
}

bool to_table(PyObject* obj, varnel_core::Table& out) {
    if (import_numpy() < 0) return false;
    if (PyArray_Check(obj)) {
        auto* a = reinterpret_cast<PyArrayObject*>(obj);
        const int ndim = PyArray_NDIM(a);
        if (is_float64(a) && ndim <= 2) {
            FloatArray view;
            if (ndim == 0) {
                out = {{load(static_cast<const char*>(PyArray_DATA(a)))}, {}};
                return true;
            }
            if (!to_float_array(obj, ndim, view)) return false;
            out.shape.assign(view.shape, view.shape + ndim);
            out.values.resize(view.size());
            const std::size_t cols = ndim == 2 ? view.shape[1] : 1;
            for (std::size_t i = 0; i < view.shape[0]; ++i)
                for (std::size_t j = 0; j < cols; ++j)
                    out.values[i * cols + j] =
                        load(view.data + static_cast<std::ptrdiff_t>(i) * view.strides[0] +
                             static_cast<std::ptrdiff_t>(j) * (ndim == 2 ? view.strides[1] : 0));
            return true;
        }
        if (is_float64(a) && ndim == 3) {  // a table per penalty value of K columns
            PyArrayObject* c = PyArray_GETCONTIGUOUS(a);
            if (c == nullptr) return false;
            const auto* data = static_cast<const double*>(PyArray_DATA(c));
            out.shape = {static_cast<std::size_t>(PyArray_DIM(c, 0)),
                         static_cast<std::size_t>(PyArray_DIM(c, 1)),
                         static_cast<std::size_t>(PyArray_DIM(c, 2))};
            out.values.assign(data, data + PyArray_SIZE(c));
            Py_DECREF(c);
            return true;
        }
        if (ndim >= 2) {  // the dtype's or the dimension count's message
            FloatArray refused;
            if (!to_float_array(obj, 2, refused)) return false;
            return raise(PyExc_TypeError, "expected at most two dimensions");
        }
    }
    if (!PySequence_Check(obj) || PyUnicode_Check(obj)) {
        double v = 0.0;
        if (!to_float(obj, v)) return false;
        out = {{v}, {}};
        return true;
    }
    if (!to_float_vector(obj, out.values)) return false;
    out.shape = {out.values.size()};
    return true;
}

std::vector<double> copy_column_major(const FloatArray& a) {
    std::vector<double> out;
    copy_column_major(a, out);
    return out;
}

void copy_column_major(const FloatArray& a, std::vector<double>& out,
                       const varnel_core::Interrupt& interrupt) {
    const std::size_t rows = a.shape[0];
    const std::size_t cols = a.shape[1];
    // zero-filled (and paged in) a piece at a time, between polls
    constexpr std::size_t piece = std::size_t{1} << 18;
    out.reserve(rows * cols);
    while (out.size() < rows * cols) {
        interrupt.tick(piece);
        out.resize(std::min(rows * cols, out.size() + piece));
    }
    // Blocks of rows keep a C-ordered source in cache while the columns of
    // the block are written.
    constexpr std::size_t block = 64;
    for (std::size_t i0 = 0; i0 < rows; i0 += block) {
        interrupt.tick(block * cols);
        const std::size_t i1 = std::min(rows, i0 + block);
        for (std::size_t j = 0; j < cols; ++j) {
            const char* col = a.data + static_cast<std::ptrdiff_t>(j) * a.strides[1];
            double* dst = out.data() + j * rows;
            for (std::size_t i = i0; i < i1; ++i)
                dst[i] = load(col + static_cast<std::ptrdiff_t>(i) * a.strides[0]);
        }
    }
}

std::vector<double> copy_vector(const FloatArray& a) {
    const std::size_t n = a.shape[0];
    std::vector<double> out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = load(a.data + static_cast<std::ptrdiff_t>(i) * a.strides[0]);
    return out;
}

std::vector<double> copy_row_major(const FloatArray& a) {
    if (a.ndim == 1) return copy_vector(a);
    const std::size_t rows = a.shape[0], cols = a.shape[1];
    std::vector<double> out(rows * cols);
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < cols; ++j)
            out[i * cols + j] = load(a.data + static_cast<std::ptrdiff_t>(i) * a.strides[0] +
                                     static_cast<std::ptrdiff_t>(j) * a.strides[1]);
    return out;
}

// ---------------------------------------------------------------------------

bool convert(const char* name, PyObject* obj, double& out) {
    return convert_value(name, obj, out, to_float);
}
bool convert(const char* name, PyObject* obj, std::uint64_t& out) {
    return convert_value(name, obj, out, to_count);
}
bool convert(const char* name, PyObject* obj, bool& out) {
    return convert_value(name, obj, out, to_flag);
}
bool convert(const char* name, PyObject* obj, std::string& out) {
    return convert_value(name, obj, out, to_text);
}
bool convert(const char* name, PyObject* obj, std::vector<double>& out) {
    return convert_value(name, obj, out, to_float_vector);
}
bool convert(const char* name, PyObject* obj, std::vector<std::uint64_t>& out) {
    return convert_value(name, obj, out, to_count_vector);
}
bool convert(const char* name, PyObject* obj, std::optional<double>& out) {
    return convert_optional(name, obj, out, to_float);
}
bool convert(const char* name, PyObject* obj, std::optional<std::string>& out) {
    return convert_optional(name, obj, out, to_text);
}
bool convert(const char* name, PyObject* obj, std::optional<std::uint64_t>& out) {
    return convert_optional(name, obj, out, to_count);
}
bool convert(const char* name, PyObject* obj, std::optional<std::vector<double>>& out) {
    return convert_optional(name, obj, out, to_float_vector);
}
bool convert(const char* name, PyObject* obj, std::optional<std::vector<std::uint64_t>>& out) {
    return convert_optional(name, obj, out, to_count_vector);
}
bool convert(const char* name, PyObject* obj, std::optional<varnel_core::Table>& out) {
    return convert_optional(name, obj, out, to_table);
}
bool convert_array(const char* name, PyObject* obj, int ndim, FloatArray& out) {
    if (obj == nullptr) return true;
    return with_note(name, [&] { return to_float_array(obj, ndim, out); });
}
bool convert_vector_or_matrix(const char* name, PyObject* obj, FloatArray& out) {
    if (obj == nullptr) return true;
    return with_note(name, [&] {
        if (import_numpy() < 0) return false;
        const bool matrix = PyArray_Check(obj) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)) == 2;
        return to_float_array(obj, matrix ? 2 : 1, out);
    });
}

// ---------------------------------------------------------------------------

std::optional<std::size_t> first_non_finite(std::span<const double> values,
                                            const varnel_core::Interrupt& interrupt) {
    constexpr std::size_t chunk = std::size_t{1} << 16;
    for (std::size_t i0 = 0; i0 < values.size(); i0 += chunk) {
        interrupt.tick(chunk);
        const std::size_t i1 = std::min(values.size(), i0 + chunk);
        for (std::size_t i = i0; i < i1; ++i)
            if (!std::isfinite(values[i])) return i;
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------

namespace {
void destroy_vector(PyObject* capsule) {
    delete static_cast<std::vector<double>*>(PyCapsule_GetPointer(capsule, kVectorCapsule));
}
}  // namespace

PyObject* vector_to_array(std::vector<double>&& values) {
    if (import_numpy() < 0) return nullptr;
    npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
    if (values.empty()) {
        // Nothing to take over (and possibly no buffer at all).
        std::vector<double>().swap(values);
        return PyArray_SimpleNew(1, dims, NPY_DOUBLE);
    }
    auto owner = std::make_unique<std::vector<double>>(std::move(values));
    PyRef capsule(PyCapsule_New(owner.get(), kVectorCapsule, destroy_vector));
    if (!capsule) return nullptr;
    double* data = owner.release()->data();  // the capsule owns the vector now
    PyRef array(PyArray_SimpleNewFromData(1, dims, NPY_DOUBLE, data));
    if (!array) return nullptr;
    // Steals the capsule, also on failure.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0)
        return nullptr;
    return array.release();
}

PyObject* counts_to_array(const std::vector<std::uint64_t>& counts) {
    if (import_numpy() < 0) return nullptr;
    npy_intp dims[1] = {static_cast<npy_intp>(counts.size())};
    PyObject* array = PyArray_SimpleNew(1, dims, NPY_INT64);
    if (array == nullptr) return nullptr;
    auto* data = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
    for (std::size_t i = 0; i < counts.size(); ++i) data[i] = static_cast<std::int64_t>(counts[i]);
    return array;
}

PyObject* new_array3(std::size_t d0, std::size_t d1, std::size_t d2, double*& data) {
    if (import_numpy() < 0) return nullptr;
    npy_intp dims[3] = {static_cast<npy_intp>(d0), static_cast<npy_intp>(d1),
                        static_cast<npy_intp>(d2)};
    PyObject* array = PyArray_SimpleNew(3, dims, NPY_DOUBLE);
    if (array == nullptr) return nullptr;
    data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
    return array;
}

PyObject* new_matrix(std::size_t rows, std::size_t cols, double*& data) {
    if (import_numpy() < 0) return nullptr;
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    PyObject* array = PyArray_SimpleNew(2, dims, NPY_DOUBLE);
    if (array == nullptr) return nullptr;
    data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
    return array;
}

// ---------------------------------------------------------------------------

bool add_function(PyObject* module, PyMethodDef* def, bool listed) {
    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) return false;
    PyRef function(PyCFunction_NewEx(def, module, module_name.get()));
    if (!function) return false;
    if (PyObject_SetAttrString(module, def->ml_name, function.get()) < 0) return false;
    if (!listed) return true;

    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all.reset(PyList_New(0));
        if (!all) return false;
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    PyRef name(PyUnicode_FromString(def->ml_name));
    if (!name) return false;
    return PyList_Append(all.get(), name.get()) == 0;
}

}  // namespace varnel_py
