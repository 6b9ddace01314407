#include "checks.hpp"

#include <cmath>

namespace varnel_py {

std::string Dimensions::rows() const {
    return sparse ? "n is " + std::to_string(nobs) : "x has " + std::to_string(nobs) + " rows";
}

std::string Dimensions::columns() const {
    return sparse ? "p is " + std::to_string(nvars) : "x has " + std::to_string(nvars) + " columns";
}

std::string repr(double v) {
    char* text = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (text == nullptr) {
        PyErr_Clear();
        return std::to_string(v);
    }
    std::string out(text);
    PyMem_Free(text);
    return out;
}

namespace {

bool check_length(const char* name, const std::optional<varnel_core::Vec>& v, std::uint64_t want,
                  const std::string& have) {
    if (!v || v->size() == want) return true;
    return raise(PyExc_ValueError,
                 std::string(name) + " has " + std::to_string(v->size()) + " entries but " + have);
}

}  // namespace

bool check_finite(const char* name, std::span<const double> values) {
    const auto bad = first_non_finite(values);
    if (!bad) return true;
    return raise(PyExc_ValueError, std::string(name) + " must be finite, but " + name + "[" +
                                       std::to_string(*bad) + "] is " + repr(values[*bad]));
}

std::optional<varnel_core::StridedMatrix> in_place(const FloatArray& a) {
    constexpr std::ptrdiff_t size = sizeof(double);
    if (reinterpret_cast<std::uintptr_t>(a.data) % alignof(double) != 0 ||
        a.strides[0] % size != 0 || a.strides[1] % size != 0)
        return std::nullopt;
    return varnel_core::StridedMatrix{reinterpret_cast<const double*>(a.data), a.shape[0],
                                      a.shape[1], a.strides[0] / size, a.strides[1] / size};
}


bool refuse_non_finite(const varnel_core::StridedMatrix& x, std::pair<std::size_t, std::size_t> at) {
    const auto [i, j] = at;
    return raise(PyExc_ValueError, "x must be finite, but x[" + std::to_string(i) + ", " +
                                       std::to_string(j) + "] is " + repr(x.at(i, j)));
}

bool check_options(const varnel_core::FitConfig& c, const Dimensions& d) {
    if (!c.user_lambda && !(c.lambda_min_ratio < 1.0))
        return raise(PyExc_ValueError,
                     "lambda_min_ratio must be less than 1 when user_lambda is not given, got " +
                         repr(c.lambda_min_ratio));
    if (c.user_lambda) {
        const auto& lam = *c.user_lambda;
        for (std::size_t k = 0; k < lam.size(); ++k)
            if (!std::isfinite(lam[k]) || lam[k] < 0.0)
                return raise(PyExc_ValueError,
                             "user_lambda must hold finite, non-negative values, but user_lambda[" +
                                 std::to_string(k) + "] is " + repr(lam[k]));
    }
    return check_length("penalty_factor", c.penalty_factor, d.nvars, d.columns()) &&
           check_length("lower_limits", c.lower_limits, d.nvars, d.columns()) &&
           check_length("upper_limits", c.upper_limits, d.nvars, d.columns()) &&
           check_length("weights", c.weights, d.nobs, d.rows()) &&
           (!c.weights || check_finite("weights", *c.weights));
}

bool check_rows(const Dimensions& d) {
    if (d.nobs > 0 || d.nvars == 0) return true;
    return raise(PyExc_ValueError, (d.sparse ? "n is 0 but p is " + std::to_string(d.nvars)
                                             : "x has no rows but " + std::to_string(d.nvars) +
                                                   " columns") +
                                       "; at least one observation is needed");
}

bool copy_contiguous_response(const FloatArray& y, std::vector<double>& out) {
    if (y.size() > 0 && !y.contiguous)
        return raise(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
    out = copy_vector(y);
    return true;
}

}  // namespace varnel_py
