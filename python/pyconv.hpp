// Conversion machinery shared by the extension modules: argument binding with
// the interpreter's own messages, conversion of Python values to native ones,
// the mapping of C++ exceptions to Python exceptions, and the NumPy arrays a
// result is returned in.
//
// Only the limited API (3.9) is used.  NumPy's C API is reached through a
// table private to pyconv.cpp, so this header does not include NumPy and the
// including unit may set up NumPy on its own however it likes.
//
// Conventions: a function returning bool returns false with a Python
// exception set; a function returning PyObject* returns a new reference or
// nullptr with an exception set.  Unless it says otherwise, a function may
// also throw std::bad_alloc; entry points run their body through `guarded`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/format.hpp"
#include "base/interrupt.hpp"
#include "base/config.hpp"

namespace varnel_py {

// ---------------------------------------------------------------------------
// Owned references

// Owns one reference to a Python object (or nothing).
class PyRef {
public:
    PyRef() noexcept = default;
    explicit PyRef(PyObject* owned) noexcept : obj_(owned) {}  // takes over the reference
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : obj_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~PyRef() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    void reset(PyObject* owned = nullptr) noexcept { Py_XDECREF(std::exchange(obj_, owned)); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    PyObject* obj_ = nullptr;
};

// ---------------------------------------------------------------------------
// NumPy

// Makes NumPy's C API usable by the functions of this header (cheap after
// the first success).  Call it from a module's exec step; the functions
// below that need NumPy also call it themselves.  0, or -1 with an exception.
int import_numpy() noexcept;

// ---------------------------------------------------------------------------
// Errors

// Sets the Python exception for the C++ exception being handled; call it
// only inside a catch block.  varnel_core::Interrupted keeps the exception
// that the signal handler set (KeyboardInterrupt when there is none);
// varnel_core::PreconditionError and varnel_core::InputError become
// ValueError with their what();
// std::bad_alloc and std::length_error MemoryError; any other exception
// RuntimeError.
void set_error_from_exception() noexcept;

// Runs `body` (returning PyObject*) so that no C++ exception leaves it: an
// exception becomes a Python exception and the result nullptr.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_exception();
        return nullptr;
    }
}

// Sets `type` with the UTF-8 `text` (invalid bytes replaced); always false.
bool raise(PyObject* type, std::string_view text) noexcept;

// Adds `note` to the current exception through its add_note method.  When
// there is no such method (before Python 3.11) or it fails, the exception is
// left as it was, without the note.
void add_note(const char* note) noexcept;

using varnel_core::quoted;

// ---------------------------------------------------------------------------
// Argument binding

// A function's parameters.  The first `positional` parameters may be given
// by position or keyword and are required; the rest are keyword-only and
// optional.  `function` is the name shown in messages.
struct Signature {
    const char* function;
    std::span<const char* const> names;
    std::size_t positional;
};

// Binds the (args, kwargs) of a METH_VARARGS | METH_KEYWORDS call to the
// parameters, raising TypeError with the interpreter's own texts (unexpected
// keyword, multiple values, too many positional arguments, missing required
// arguments, in the interpreter's order).  On success slots[i] holds a
// reference to the argument of parameter i, or nothing when it was omitted;
// slots.size() must equal sig.names.size().
bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs,
                    std::span<PyRef> slots);

// ---------------------------------------------------------------------------
// Conversions of one value

// Anything the interpreter converts to a float (float, int, __float__, __index__).
bool to_float(PyObject* obj, double& out);
// An int or an object with __index__, from 0 to 2^64 - 1 (OverflowError
// outside, TypeError for other types, a float included).
bool to_count(PyObject* obj, std::uint64_t& out);
// A bool or a NumPy bool scalar; anything else (an int included) is a TypeError.
bool to_flag(PyObject* obj, bool& out);
// A str (or subclass), as UTF-8.
bool to_text(PyObject* obj, std::string& out);
// Any sequence but a str; each element as by to_float / to_count.
bool to_float_vector(PyObject* obj, std::vector<double>& out);
bool to_count_vector(PyObject* obj, std::vector<std::uint64_t>& out);

// A borrowed, read-only view of a NumPy array of native 64-bit floats.
struct FloatArray {
    PyObject* array = nullptr;         // borrowed from the caller's arguments
    const char* data = nullptr;        // address of element 0 (strides may be negative)
    int ndim = 0;
    std::size_t shape[2] = {0, 0};
    std::ptrdiff_t strides[2] = {0, 0};  // in bytes
    bool contiguous = false;           // C-contiguous and aligned

    std::size_t size() const noexcept { return ndim == 1 ? shape[0] : shape[0] * shape[1]; }
};

// A NumPy array whose element type is equivalent to float64 with exactly
// `ndim` (1 or 2) dimensions; any strides and memory order.  TypeError
// "'<type>' object is not an instance of 'ndarray'" otherwise (or for a wrong
// element type or dimension count, a text naming the expected and the given).
bool to_float_array(PyObject* obj, int ndim, FloatArray& out);

// A number (no dimension), a sequence of numbers (one dimension), or a
// float64 array of at most three dimensions, copied row-major whatever its
// strides.
bool to_table(PyObject* obj, varnel_core::Table& out);

// A 1-D, C-contiguous, aligned NumPy array of native uint64, or of int64
// without a negative entry, viewed in place as counts; nullopt (no error
// set) when the array does not qualify.
std::optional<std::span<const std::uint64_t>> count_view(PyObject* obj);
// The same array's place and length without reading its entries (no check
// for a negative one): for the polls that ask whether an array read in
// place is still where it was, which must not cost a pass over it.
std::optional<std::span<const std::uint64_t>> count_extent(PyObject* obj);
// The same for native float64 values.
std::optional<std::span<const double>> float_view(PyObject* obj);

// Fills `out` (resized to rows * cols) with a 2-D array in column-major
// order, element (i, j) at j * rows + i; touches no Python object, so it may
// run without the interpreter's lock while the array is held (`interrupt`
// is polled once per block of rows).
void copy_column_major(const FloatArray& a, std::vector<double>& out,
                       const varnel_core::Interrupt& interrupt = {});
std::vector<double> copy_column_major(const FloatArray& a);
// Fresh copy of a 1-D array, in index order, whatever its strides.
std::vector<double> copy_vector(const FloatArray& a);
// Fresh copy of a 1-D or 2-D array, row-major, whatever its strides.
std::vector<double> copy_row_major(const FloatArray& a);

// ---------------------------------------------------------------------------
// Conversion of one parameter

// Converts the argument `obj` of parameter `name` into `out`.  An omitted
// argument (nullptr) leaves `out` as it is; None leaves an optional absent
// and fails for any other kind.  On failure, C++ exceptions included, the
// Python exception carries the note "while processing '<name>'".
bool convert(const char* name, PyObject* obj, double& out);
bool convert(const char* name, PyObject* obj, std::uint64_t& out);
bool convert(const char* name, PyObject* obj, bool& out);
bool convert(const char* name, PyObject* obj, std::string& out);
bool convert(const char* name, PyObject* obj, std::vector<double>& out);
bool convert(const char* name, PyObject* obj, std::vector<std::uint64_t>& out);
bool convert(const char* name, PyObject* obj, std::optional<double>& out);
bool convert(const char* name, PyObject* obj, std::optional<std::string>& out);
bool convert(const char* name, PyObject* obj, std::optional<std::uint64_t>& out);
bool convert(const char* name, PyObject* obj, std::optional<std::vector<double>>& out);
bool convert(const char* name, PyObject* obj, std::optional<std::vector<std::uint64_t>>& out);
bool convert(const char* name, PyObject* obj, std::optional<varnel_core::Table>& out);
// The same for a float array parameter of `ndim` dimensions.
bool convert_array(const char* name, PyObject* obj, int ndim, FloatArray& out);
// The same for a float array of one dimension or two (a 2-D array has two,
// anything else is taken as of one).
bool convert_vector_or_matrix(const char* name, PyObject* obj, FloatArray& out);

// ---------------------------------------------------------------------------
// Value checks

// Index of the first NaN or infinite value, if any.
std::optional<std::size_t> first_non_finite(std::span<const double> values,
                                            const varnel_core::Interrupt& interrupt = {});

// ---------------------------------------------------------------------------
// Results

// A 1-D float64 array that takes over the vector's buffer without copying
// it: the array's base object owns the vector and frees it with the array.
PyObject* vector_to_array(std::vector<double>&& values);
// A new 1-D int64 array holding a copy of the counts.
PyObject* counts_to_array(const std::vector<std::uint64_t>& counts);
// A new C-ordered (rows, cols) float64 array allocated by NumPy; `data`
// receives its first element.
PyObject* new_matrix(std::size_t rows, std::size_t cols, double*& data);
// The same with three dimensions (d0, d1, d2).
PyObject* new_array3(std::size_t d0, std::size_t d1, std::size_t d2, double*& data);

// ---------------------------------------------------------------------------
// Module setup

// Creates a function from `def` bound to `module`, sets it as the module
// attribute def->ml_name and, when `listed`, appends that name to the
// module's __all__ list (created when missing).
bool add_function(PyObject* module, PyMethodDef* def, bool listed = true);

}  // namespace varnel_py
