// The entry points of a fit from statistics: the statistics of a block of
// rows, a block's sums for one pass of a reweighting family, and the fit
// from the merged statistics (with a Python callable as the source of the
// passes: the lock is taken back only for the call).
#include "statistics_entries.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "checks.hpp"
#include "option_table.hpp"
#include "results.hpp"
#include "unlocked.hpp"

#include "fit/glm_models.hpp"
#include "fit/statistics_fit.hpp"

namespace varnel_py {

namespace {

using varnel_core::RowStatistics;
using varnel_core::StridedMatrix;
using varnel_core::Vec;

// A dict's item (borrowed), or a KeyError naming it; absent optional items
// give nullptr without an error.
bool item(PyObject* dict, const char* what, const char* key, PyObject*& out, bool required = true) {
    if (!PyDict_Check(dict)) return raise(PyExc_TypeError, std::string(what) + " must be a dict");
    out = PyDict_GetItemString(dict, key);
    if (out == nullptr && required)
        return raise(PyExc_KeyError, std::string(what) + " lacks the item '" + key + "'");
    return true;
}

bool vector_item(PyObject* dict, const char* what, const char* key, Vec& out,
                 std::size_t length) {
    PyObject* obj = nullptr;
    if (!item(dict, what, key, obj) || !convert(key, obj, out)) return false;
    if (out.size() != length)
        return raise(PyExc_ValueError, std::string(what) + "['" + key + "'] has " +
                                           std::to_string(out.size()) + " values, not " +
                                           std::to_string(length));
    return true;
}

template <class T>
bool value_item(PyObject* dict, const char* what, const char* key, T& out) {
    PyObject* obj = nullptr;
    return item(dict, what, key, obj) && convert(key, obj, out);
}

// x read in place (or copied column-major when its strides are not whole
// elements into `copy`).
bool matrix_argument(PyObject* obj, StridedMatrix& out, Vec& copy) {
    FloatArray a;
    if (!convert_array("x", obj, 2, a)) return false;
    if (const auto view = in_place(a)) {
        out = *view;
        return true;
    }
    copy = copy_column_major(a);
    out = {copy.data(), a.shape[0], a.shape[1], 1, static_cast<std::ptrdiff_t>(a.shape[0])};
    return true;
}

// The sums of finite rows are finite unless they left the range of doubles:
// ValueError "the data overflow: ... is not finite; scale x (or y) down", as
// a fit on the rows themselves says it, naming the first column whose sums
// are not finite (a product's later column).
bool check_sums(const RowStatistics& s) {
    const std::size_t q = s.centre.size();
    std::optional<std::size_t> column = first_non_finite(s.squares);
    if (!column) column = first_non_finite(s.deviations);
    if (!column) {
        if (const auto k = first_non_finite(s.products)) column = std::max(*k % q, *k / q);
    }
    if (!column) return true;
    if (*column + 1 == q)
        return raise(PyExc_ValueError, "the data overflow: the weighted mean or sum of squares of "
                                       "y is not finite; scale y down");
    return raise(PyExc_ValueError, "the data overflow: the weighted sum of squares of column " +
                                       std::to_string(*column) + " of x is not finite; scale x down");
}

bool statistics_argument(PyObject* obj, RowStatistics& s) {
    const char* what = "statistics";
    std::uint64_t nobs = 0;
    Vec centre;
    PyObject* centre_obj = nullptr;
    if (!value_item(obj, what, "nobs", nobs) || !item(obj, what, "centre", centre_obj) ||
        !convert("centre", centre_obj, centre))
        return false;
    if (centre.empty()) return raise(PyExc_ValueError, "statistics['centre'] is empty");
    const std::size_t q = centre.size();
    PyObject* responses = nullptr;
    std::uint64_t nk = 1;
    if (!item(obj, what, "responses", responses, false) ||
        (responses != nullptr && !convert("responses", responses, nk)))
        return false;
    if (nk < 1 || nk >= q)
        return raise(PyExc_ValueError, "statistics['responses'] must be at least 1 and less than "
                                       "the number of centres");
    s.nobs = nobs;
    s.responses = nk;
    s.nvars = q - nk;
    s.centre = std::move(centre);
    PyObject* products = nullptr;
    if (!item(obj, what, "products", products, false)) return false;
    if (products != nullptr && products != Py_None) {
        FloatArray a;
        if (!convert_array("products", products, 2, a)) return false;
        if (a.shape[0] != q || a.shape[1] != q)
            return raise(PyExc_ValueError, "statistics['products'] must be (p + K, p + K)");
        s.products = copy_column_major(a);
    }
    return vector_item(obj, what, "squares", s.squares, q) &&
           vector_item(obj, what, "deviations", s.deviations, q) &&
           value_item(obj, what, "weight", s.weight) &&
           vector_item(obj, what, "min", s.min, q) && vector_item(obj, what, "max", s.max, q) &&
           vector_item(obj, what, "positive_min", s.positive_min, q) &&
           vector_item(obj, what, "positive_max", s.positive_max, q) &&
           check_sums(s) && check_finite("statistics['centre']", s.centre);
}

// The offset's summary that a block's statistics may carry (the items
// "offset_sum", "offset_min" and "offset_max", absent or None without an
// offset).
bool offset_argument(PyObject* obj, std::optional<varnel_core::OffsetSummary>& out) {
    const char* what = "statistics";
    PyObject* sum = nullptr;
    if (!item(obj, what, "offset_sum", sum, false)) return false;
    if (sum == nullptr || sum == Py_None) return true;
    varnel_core::OffsetSummary o;
    if (!convert("offset_sum", sum, o.weighted_sum) ||
        !value_item(obj, what, "offset_min", o.min) || !value_item(obj, what, "offset_max", o.max))
        return false;
    const Vec values{o.weighted_sum, o.min, o.max};
    if (!check_finite("statistics['offset_sum'], ['offset_min'] and ['offset_max']", values))
        return false;
    out = o;
    return true;
}

// Sets key to a new reference (false after a failure).
bool put(PyObject* dict, const char* key, PyObject* value) {
    PyRef owned(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* statistics_dict(RowStatistics s) {
    PyRef d(PyDict_New());
    if (!d) return nullptr;
    const std::size_t q = s.centre.size();
    PyObject* products = Py_None;
    if (!s.products.empty()) {
        double* out = nullptr;
        products = new_matrix(q, q, out);
        if (products == nullptr) return nullptr;
        std::copy(s.products.begin(), s.products.end(), out);  // symmetric
    } else {
        Py_INCREF(Py_None);
    }
    const bool ok = put(d.get(), "nobs", PyLong_FromUnsignedLongLong(s.nobs)) &&
                    put(d.get(), "centre", vector_to_array(std::move(s.centre))) &&
                    put(d.get(), "products", products) &&
                    put(d.get(), "squares", vector_to_array(std::move(s.squares))) &&
                    put(d.get(), "deviations", vector_to_array(std::move(s.deviations))) &&
                    put(d.get(), "weight", PyFloat_FromDouble(s.weight)) &&
                    put(d.get(), "min", vector_to_array(std::move(s.min))) &&
                    put(d.get(), "max", vector_to_array(std::move(s.max))) &&
                    put(d.get(), "positive_min", vector_to_array(std::move(s.positive_min))) &&
                    put(d.get(), "positive_max", vector_to_array(std::move(s.positive_max)));
    return ok ? d.release() : nullptr;
}

// The rows of a block: x (n x p), y and weights (n), and for a pass the
// offset (None, n or n x K values).
struct Block {
    StridedMatrix x;
    Vec x_copy;
    Vec y;
    Vec w;
    Vec offset;
};

bool block_arguments(PyObject* x, PyObject* y, PyObject* w, PyObject* offset, Block& b) {
    FloatArray ya, wa;
    if (!matrix_argument(x, b.x, b.x_copy) || !convert_array("y", y, 1, ya) ||
        !convert_array("weights", w, 1, wa))
        return false;
    b.y = copy_vector(ya);
    b.w = copy_vector(wa);
    if (offset != nullptr && offset != Py_None) {
        std::optional<varnel_core::Table> t;
        if (!convert("offset", offset, t)) return false;
        b.offset = std::move(t->values);
    }
    const std::size_t n = b.x.nrows;
    if (b.y.size() != n || b.w.size() != n)
        return raise(PyExc_ValueError, "x has " + std::to_string(n) +
                                           " rows but y or weights have another length");
    return check_finite("y", b.y) && check_finite("weights", b.w) &&
           check_finite("offset", b.offset);
}

// Passes over the rows through the caller's callable `source`: each pass
// is one call with a request (a dict, see fit_statistics' docstring), whose
// answer is the sums of every block's block_pass.
class CallbackRows : public varnel_core::RowPasses {
public:
    // `choices`: the family's name, link, power and theta, which every
    // request carries.
    CallbackRows(PyObject* source, Unlocked& unlocked, const varnel_core::FitChoices& choices,
                 std::size_t classes, double total, std::size_t nvars)
        : source_(source), unlocked_(unlocked), family_(choices.family), link_(choices.link),
          power_(choices.power), theta_(choices.theta), nk_(classes), total_(total), p_(nvars) {}

    void standardize(std::span<const double> centre, std::span<const double> scale) override {
        centre_.assign(centre.begin(), centre.end());
        scale_.assign(scale.begin(), scale.end());
    }
    void evaluate(std::span<const double> coef, std::span<const std::size_t> active,
                  std::span<const double> b0, std::span<const std::size_t> cols,
                  varnel_core::RowSums& sums) override {
        coef_.assign(coef.begin(), coef.end());
        active_.assign(active.begin(), active.end());
        b0_.assign(b0.begin(), b0.end());
        call(cols, count_ == 0, sums);
    }
    void products(std::span<const std::size_t> cols, double* out) override {
        varnel_core::RowSums sums;
        call(cols, false, sums);
        std::copy(sums.products.begin(), sums.products.end(), out);
    }
    double saturated_loss() override { return saturated_; }
    std::uint64_t count() const override { return count_; }

private:
    PyObject* request(std::span<const std::size_t> cols, bool saturated) const;
    bool answer(PyObject* sums, std::size_t ncols, bool saturated, varnel_core::RowSums& out);

    void call(std::span<const std::size_t> cols, bool saturated, varnel_core::RowSums& out) {
        const bool ok = unlocked_.locked([&] {
            PyRef req(request(cols, saturated));
            PyRef sums(req ? PyObject_CallFunctionObjArgs(source_, req.get(), nullptr) : nullptr);
            return sums && answer(sums.get(), cols.size(), saturated, out);
        });
        if (!ok) throw varnel_core::Interrupted();  // the source's exception stays set
        ++count_;
    }

    PyObject* source_;
    Unlocked& unlocked_;
    std::string family_;
    std::optional<std::string> link_;
    std::optional<double> power_, theta_;
    std::size_t nk_;
    double total_;
    std::size_t p_;
    Vec centre_, scale_, coef_, b0_;
    std::vector<std::size_t> active_;
    double saturated_ = 0.0;
    std::uint64_t count_ = 0;
};

PyObject* indices(std::span<const std::size_t> v) {
    Vec values(v.begin(), v.end());
    return vector_to_array(std::move(values));
}

PyObject* CallbackRows::request(std::span<const std::size_t> cols, bool saturated) const {
    PyRef d(PyDict_New());
    if (!d) return nullptr;
    Vec coef = coef_.empty() ? Vec(p_ * nk_, 0.0) : coef_;
    const bool ok =
        put(d.get(), "family", PyUnicode_FromString(family_.c_str())) &&
        put(d.get(), "classes", PyLong_FromSize_t(nk_)) &&
        put(d.get(), "weight_total", PyFloat_FromDouble(total_)) &&
        put(d.get(), "centre", vector_to_array(Vec(centre_))) &&
        put(d.get(), "scale", vector_to_array(Vec(scale_))) &&
        put(d.get(), "coef", vector_to_array(std::move(coef))) &&
        put(d.get(), "active", indices(active_)) &&
        put(d.get(), "intercepts", vector_to_array(Vec(b0_))) &&
        put(d.get(), "columns", indices(cols)) &&
        put(d.get(), "saturated", PyBool_FromLong(saturated)) &&
        (!link_ || put(d.get(), "link", PyUnicode_FromString(link_->c_str()))) &&
        (!power_ || put(d.get(), "power", PyFloat_FromDouble(*power_))) &&
        (!theta_ || put(d.get(), "theta", PyFloat_FromDouble(*theta_)));
    return ok ? d.release() : nullptr;
}

bool CallbackRows::answer(PyObject* sums, std::size_t ncols, bool saturated,
                          varnel_core::RowSums& out) {
    const char* what = "the sums of a pass";
    const std::size_t pk = p_ * nk_;
    if (!vector_item(sums, what, "gradient", out.gradient, pk) ||
        !vector_item(sums, what, "weighted", out.weighted, pk) ||
        !vector_item(sums, what, "weight_sums", out.weight_sums, nk_) ||
        !vector_item(sums, what, "residual_sums", out.residual_sums, nk_) ||
        !vector_item(sums, what, "products", out.products, ncols * pk) ||
        !value_item(sums, what, "loss", out.loss) ||
        (saturated && !value_item(sums, what, "saturated_loss", saturated_)))
        return false;
    return check_finite("gradient", out.gradient) && check_finite("products", out.products);
}

}  // namespace

PyObject* block_statistics(PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"x", "y", "weights", "centre", "products"};
    PyRef s[5];
    if (!bind_arguments({"block_statistics", names, 4}, args, kwargs, s)) return nullptr;
    Block b;
    Vec centre;
    bool products = true;
    if (!block_arguments(s[0].get(), s[1].get(), s[2].get(), nullptr, b) ||
        !convert("centre", s[3].get(), centre) || !convert("products", s[4].get(), products))
        return nullptr;
    if (centre.size() != b.x.ncols + 1)
        return raise(PyExc_ValueError, "centre needs p + 1 values (the columns of x, then y)"),
               nullptr;
    if (!check_finite("centre", centre)) return nullptr;
    Unlocked unlocked;
    std::optional<std::pair<std::size_t, std::size_t>> bad;
    RowStatistics st = unlocked.run([&] {
        bad = first_non_finite(b.x, unlocked.interrupt());
        return bad ? RowStatistics{}
                   : varnel_core::block_statistics(b.x, b.y, b.w, centre, products,
                                                   unlocked.interrupt());
    });
    if (bad) return refuse_non_finite(b.x, *bad), nullptr;
    return statistics_dict(std::move(st));
}

PyObject* block_pass(PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"x", "y", "weights", "offset", "request"};
    PyRef s[5];
    if (!bind_arguments({"block_pass", names, 5}, args, kwargs, s)) return nullptr;
    Block b;
    if (!block_arguments(s[0].get(), s[1].get(), s[2].get(), s[3].get(), b)) return nullptr;
    PyObject* req = s[4].get();
    const char* what = "request";
    std::string family;
    std::uint64_t classes = 1;
    bool saturated = false;
    bool with_rows = false;
    double total = 0.0;
    const std::size_t p = b.x.ncols;
    Vec centre, scale, coef, b0, active_v, cols_v;
    if (!value_item(req, what, "family", family) || !value_item(req, what, "classes", classes) ||
        !value_item(req, what, "weight_total", total) ||
        !value_item(req, what, "saturated", saturated) ||
        !vector_item(req, what, "centre", centre, p) || !vector_item(req, what, "scale", scale, p) ||
        !vector_item(req, what, "coef", coef, p * classes) ||
        !vector_item(req, what, "intercepts", b0, classes))
        return nullptr;
    PyObject* a = nullptr;
    PyObject* c = nullptr;
    PyObject* link = nullptr;
    PyObject* power = nullptr;
    PyObject* theta = nullptr;
    PyObject* rows_obj = nullptr;
    varnel_core::FitChoices choices;
    choices.family = family;
    if (!item(req, what, "active", a) || !convert("active", a, active_v) ||
        !item(req, what, "columns", c) || !convert("columns", c, cols_v) ||
        !item(req, what, "link", link, false) || !item(req, what, "power", power, false) ||
        !item(req, what, "theta", theta, false) || !item(req, what, "rows", rows_obj, false) ||
        (rows_obj != nullptr && !convert("rows", rows_obj, with_rows)) ||
        (link != nullptr && !convert("link", link, choices.link)) ||
        (power != nullptr && !convert("power", power, choices.power)) ||
        (theta != nullptr && !convert("theta", theta, choices.theta)))
        return nullptr;
    const varnel_core::FamilyEntry* kind = varnel_core::family_named(family);
    if (!kind || !varnel_core::sums_over_rows(*kind, choices))
        return raise(PyExc_ValueError, "request['family'] must name a reweighting family"),
               nullptr;
    const auto model = varnel_core::glm_model(*kind, choices);
    std::vector<std::size_t> active(active_v.begin(), active_v.end()),
        cols(cols_v.begin(), cols_v.end());
    for (const std::size_t j : active)
        if (j >= p) return raise(PyExc_ValueError, "request['active'] out of range"), nullptr;
    for (const std::size_t j : cols)
        if (j >= p) return raise(PyExc_ValueError, "request['columns'] out of range"), nullptr;
    const varnel_core::BlockPass pass{*kind,  model,  classes, b.x,    b.y, b.w,  total,
                                      b.offset, centre, scale,   coef, active, b0,  cols};
    const varnel_core::FitConfig config = varnel_core::build_config(0, 0, {});
    Unlocked unlocked;
    double sat = 0.0;
    varnel_core::BlockRows rows;
    varnel_core::RowSums sums = unlocked.run([&] {
        return varnel_core::block_pass(pass, config, saturated ? &sat : nullptr,
                                       unlocked.interrupt(), with_rows ? &rows : nullptr);
    });
    PyRef d(PyDict_New());
    const bool ok = d && put(d.get(), "gradient", vector_to_array(std::move(sums.gradient))) &&
                    put(d.get(), "weighted", vector_to_array(std::move(sums.weighted))) &&
                    put(d.get(), "weight_sums", vector_to_array(std::move(sums.weight_sums))) &&
                    put(d.get(), "residual_sums", vector_to_array(std::move(sums.residual_sums))) &&
                    put(d.get(), "products", vector_to_array(std::move(sums.products))) &&
                    put(d.get(), "loss", PyFloat_FromDouble(sums.loss)) &&
                    (!saturated || put(d.get(), "saturated_loss", PyFloat_FromDouble(sat))) &&
                    (!with_rows || (put(d.get(), "working", vector_to_array(std::move(rows.v))) &&
                                    put(d.get(), "residuals", vector_to_array(std::move(rows.r)))));
    return ok ? d.release() : nullptr;
}

PyObject* fit_statistics(PyObject* args, PyObject* kwargs) {
    PyRef slots[max_parameters];
    std::span<PyRef> s(slots, statistics_signature.names.size());
    if (!bind_arguments(statistics_signature, args, kwargs, s)) return nullptr;
    varnel_core::StatisticsRequest request;
    varnel_core::FitOptions options;
    const std::size_t extras = statistics_extras_at();
    request.choices.solver = "auto";  // the default here: statistics have no naive solver
    std::optional<Vec> means;
    if (!statistics_argument(s[0].get(), request.stats) ||
        !offset_argument(s[0].get(), request.offset) ||
        !convert_choices(s.subspan(statistics_choices_at), request.choices) ||
        !convert_options(s.subspan(statistics_options_at()), options) ||
        !convert("response_means", s[extras + 1].get(), means))
        return nullptr;
    if (means) request.response_means = std::move(*means);
    PyObject* source = s[extras].get();
    if (source != nullptr && source != Py_None && !PyCallable_Check(source))
        return raise(PyExc_TypeError, "source must be callable"), nullptr;
    PyObject* callback = s[extras + 2].get();
    if (!check_callback(callback)) return nullptr;
    request.config = varnel_core::build_config(request.stats.nobs, request.stats.nvars,
                                               std::move(options));
    const Dimensions dims{request.stats.nobs, request.stats.nvars, false};
    if (!check_options(request.config, dims) ||
        !check_finite("response_means", request.response_means))
        return nullptr;
    const auto kind = varnel_core::family_named(request.choices.family);
    Unlocked unlocked;
    request.config.on_lambda = unlocked.on_lambda(callback);
    std::optional<CallbackRows> rows;
    // least squares (one response or K) needs no passes
    const bool passes = kind && varnel_core::sums_over_rows(*kind, request.choices);
    if (source != nullptr && source != Py_None && passes) {
        // one mean response per class (K > 1), or one
        const std::size_t nk = std::max<std::size_t>(request.response_means.size(), 1);
        rows.emplace(source, unlocked, request.choices, nk, request.stats.weight,
                     request.stats.nvars);
        request.rows = &*rows;
    }
    const CoefShape shape{request.stats.nvars, request.choices.sparse_coefs};
    varnel_core::FitOutcome outcome = unlocked.run(
        [&] { return varnel_core::fit_statistics(std::move(request), unlocked.interrupt()); });
    return result_dict(std::move(outcome), shape, ResultStyle::statistics);
}

}  // namespace varnel_py
