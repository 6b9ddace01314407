#include "option_table.hpp"

#include <iterator>
#include <optional>
#include <string_view>
#include <vector>

namespace varnel_py {

namespace {

using varnel_core::FitChoices;
using varnel_core::FitOptions;

#define VARNEL_OPTION_NAME(name, given, resolved, init) #name,
#define VARNEL_CHOICE_NAME(name, type, init) #name,

constexpr const char* path_names[] = {"x", "y", "family", VARNEL_OPTIONS(VARNEL_OPTION_NAME)};
constexpr const char* sparse_names[] = {"n",      "p", "col_ptr", "row_idx",
                                        "values", "y", VARNEL_OPTIONS(VARNEL_OPTION_NAME)};
constexpr const char* fit_names[] = {"x", "y", VARNEL_FIT_OPTIONS(VARNEL_CHOICE_NAME) "callback",
                                     VARNEL_OPTIONS(VARNEL_OPTION_NAME)};
constexpr const char* statistics_names[] = {"statistics", VARNEL_FIT_OPTIONS(VARNEL_CHOICE_NAME)
                                                VARNEL_OPTIONS(VARNEL_OPTION_NAME) "source",
                                            "response_means", "callback"};
constexpr const char* solver_names[] = {"n", "p", "sparse", VARNEL_FIT_OPTIONS(VARNEL_CHOICE_NAME)};
constexpr std::size_t choice_count = std::size(fit_names) - 3 - (std::size(path_names) - 3);
static_assert(std::size(fit_names) <= max_parameters && std::size(sparse_names) <= max_parameters &&
              std::size(statistics_names) <= max_parameters &&
              std::size(solver_names) <= max_parameters);

// The defaults as the C++ initializers spell them, in Python's spelling.
struct DefaultText {
    const char* name;
    const char* init;
};
#define VARNEL_OPTION_TEXT(name, given, resolved, init) {#name, #init},
#define VARNEL_CHOICE_TEXT(name, type, init) {#name, #init},
constexpr DefaultText option_texts[] = {VARNEL_OPTIONS(VARNEL_OPTION_TEXT)};
constexpr DefaultText choice_texts[] = {VARNEL_FIT_OPTIONS(VARNEL_CHOICE_TEXT)};

// ", alpha=1.0, nlambda=100, ..., exclude=None"
template <std::size_t N>
std::string signature_text(const DefaultText (&texts)[N]) {
    std::string out;
    for (const auto& [name, init] : texts) {
        const std::string_view v(init);
        out += std::string(", ") + name + "=" +
               (v == "true" ? "True" : v == "false" ? "False" : v == "std::nullopt" ? "None" : init);
    }
    return out;
}

PyObject* to_python(double v) { return PyFloat_FromDouble(v); }
PyObject* to_python(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* to_python(bool v) { return PyBool_FromLong(v); }
template <class T>
PyObject* to_python(const std::vector<T>& v) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* item = to_python(v[i]);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}
template <class T>
PyObject* to_python(const std::optional<T>& v) {
    if (v) return to_python(*v);
    Py_INCREF(Py_None);
    return Py_None;
}

// The choices' text with the solver defaulting to "auto" (fit_statistics).
std::string auto_solver(std::string choices) {
    const std::string naive = "solver=\"naive\"";
    const auto at = choices.find(naive);
    if (at != std::string::npos) choices.replace(at, naive.size(), "solver=\"auto\"");
    return choices;
}

}  // namespace

const Signature path_signature{"elnet_path", path_names, 2};
const Signature sparse_signature{"elnet_sparse", sparse_names, 6};
const Signature fit_signature{"fit", fit_names, 2};
const Signature statistics_signature{"fit_statistics", statistics_names, 1};
const Signature solver_signature{"fit_solver", solver_names, 2};

std::size_t fit_options_at() { return fit_choices_at + choice_count + 1; }
std::size_t fit_callback_at() { return fit_choices_at + choice_count; }
std::size_t statistics_options_at() { return statistics_choices_at + choice_count; }
std::size_t statistics_extras_at() { return std::size(statistics_names) - 3; }

bool convert_options(std::span<const PyRef> s, FitOptions& o) {
    std::size_t i = 0;
#define VARNEL_CONVERT_OPTION(name, given, resolved, init) \
    if (!convert(#name, s[i++].get(), o.name)) return false;
    VARNEL_OPTIONS(VARNEL_CONVERT_OPTION)
#undef VARNEL_CONVERT_OPTION
    return true;
}

bool convert_choices(std::span<const PyRef> s, FitChoices& c) {
    std::size_t i = 0;
#define VARNEL_CONVERT_CHOICE(name, type, init) \
    if (!convert(#name, s[i++].get(), c.name)) return false;
    VARNEL_FIT_OPTIONS(VARNEL_CONVERT_CHOICE)
#undef VARNEL_CONVERT_CHOICE
    return true;
}

PyObject* option_defaults() {
    const FitOptions d;
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
#define VARNEL_DEFAULT_ITEM(name, given, resolved, init)                        \
    {                                                                           \
        PyRef value(to_python(d.name));                                         \
        if (!value || PyDict_SetItemString(dict.get(), #name, value.get()) < 0) \
            return nullptr;                                                     \
    }
    VARNEL_OPTIONS(VARNEL_DEFAULT_ITEM)
#undef VARNEL_DEFAULT_ITEM
    return dict.release();
}

const Docs& docs() {
    static const Docs d = [] {
        const std::string opts = signature_text(option_texts);
        std::string choices = signature_text(choice_texts);
        choices.erase(0, 2);  // the leading ", "
        return Docs{
            "elnet_path(x, y, *, family=\"gaussian\"" + opts + ")\n--\n\n",
            "elnet_sparse(n, p, col_ptr, row_idx, values, y, *" + opts + ")\n--\n\n"
            "Sparse Gaussian path. `col_ptr`/`row_idx`/`values` are CSC arrays (as in a\n"
            "scipy `csc_matrix`). Gaussian only for now; the marshaling mirrors the dense\n"
            "entry point above.",
            "fit(x, y, *, " + choices + ", callback=None" + opts + ")\n--\n\n"
            "Elastic-net path of any family on dense or sparse predictors.\n\n"
            "x is a 2-D float64 array (any memory order) or a tuple\n"
            "(n, p, col_ptr, row_idx, values) of compressed sparse columns; offset\n"
            "(n values) enters every linear predictor.  A dense x is read in place\n"
            "(by the naive solver when its columns are contiguous, as in Fortran\n"
            "order; any other layout is copied to that order first).  solver\n"
            "\"covariance\" fits a dense x read in place, in p-space from the products\n"
            "of the columns (formed once for least squares, at each reweighting step\n"
            "for the other families); \"auto\" takes it for least squares with\n"
            "n >= 2 p and p <= 2000.  n_threads bounds the threads of the passes over\n"
            "x that form column moments and products (None: every core).  start_a0 and\n"
            "start_beta (the caller's scale) start the path from that fit instead of\n"
            "the null model; starts_beta ((p, L), or (p, K, L)) and starts_a0 ((L,),\n"
            "or (K, L)) start the solve of each of the first L penalty values from\n"
            "their column instead of from the previous solution.  The result has the keys of elnet_path's, with \"warning\"\n"
            "None or (kind, lambda_index), plus \"lambda_max\" (the smallest penalty\n"
            "whose solution is all zero; NaN when the path does not tell), \"iterate\"\n"
            "(None, or after MaxIterReached the unconverged fit at that lambda:\n"
            "{\"lambda\", \"a0\", \"beta\"}) and \"solver\" (the one that ran).\n\n"
            "family=\"multinomial\": y holds the class codes 0, 1, ..., K - 1 (K >= 2,\n"
            "every class with an observation of positive weight), offset is a 2-D\n"
            "float64 array (n, K), \"beta\" has shape (p, K, lmu) and \"a0\" (K, lmu)\n"
            "(the intercepts of a solution sum to 0).  grouped=True penalizes each\n"
            "variable's K coefficients by their Euclidean norm, so that a variable\n"
            "enters or leaves for every class at once; other families refuse it.\n\n"
            "family \"gamma\", \"inverse_gaussian\", \"tweedie\" (with power: 0 or in\n"
            "[1, 3]) and \"negative_binomial\" (theta > 0, variance mu + theta mu^2),\n"
            "and link (None: the family's default; see README) minimise half the\n"
            "weighted mean deviance plus the penalty; a step that raises that\n"
            "objective or leaves the family's domain is halved.\n\n"
            "family=\"huber\": Huber's robust loss of r = y - eta per row, r^2 / 2\n"
            "for |r| <= delta (None: 1.35), delta |r| - delta^2 / 2 beyond;\n"
            "the deviance is twice the weighted loss.\n\n"
            "family=\"cox\": y is (n, 2), the time (> 0) and the status (1 an event,\n"
            "0 censored) of every row; the loss is the negative log partial\n"
            "likelihood per unit weight, ties=\"breslow\" or \"efron\", strata one\n"
            "integer label per row, entry one entry time per row (0 <= entry < time:\n"
            "the row is at risk at t when entry < t <= time); no intercept (\"a0\" is 0).\n\n"
            "family=\"multitask\": y is (n, K) of K responses, offset (n, K), \"beta\"\n"
            "(p, K, lmu) and \"a0\" (K, lmu); each variable's K coefficients are\n"
            "penalized by their Euclidean norm.  standardize_response=True scales\n"
            "each response to unit weighted variance first (the coefficients are\n"
            "reported on the caller's scale).\n\n"
            "callback (None or a callable) is called after each solution as\n"
            "callback(index, lambda, df, dev_ratio, passes), with the interpreter's\n"
            "lock taken back; a false result ends the path there (the solutions so\n"
            "far kept, \"warning\" (\"Stopped\", index + 1)), an exception abandons\n"
            "the fit and propagates.\n\n"
            "feature_groups (one label 0, 1, ..., G - 1 per column; a block family's\n"
            "group holds its columns' K coefficients) penalizes groups by the sparse-group\n"
            "elastic net, lambda sum_g v_g [alpha (l1_within ||b_g||_1 + (1 - l1_within)\n"
            "s_g ||b_g||_2) + (1 - alpha)/2 ||b_g||^2], s_g = sqrt(p_g) with\n"
            "group_size_weight (else 1), v_g the penalty factor its columns share;\n"
            "no limits, and not beside grouped=True.\n\n"
            "The fit runs without the interpreter's lock; Ctrl-C stops it.",
            "fit_statistics(statistics, *, " + auto_solver(choices) + opts +
                ", source=None, response_means=None, callback=None)\n--\n\n"
            "Elastic-net path from the statistics of the rows instead of the rows.\n\n"
            "statistics: the merged block_statistics of all rows (the response as\n"
            "the last column: for least squares y less its offset), about the\n"
            "same centres in every block; least squares needs its products.  The\n"
            "multitask family's K responses (less their offset) are the last K\n"
            "columns, with the item \"responses\": K.  The other families take\n"
            "`source`, a callable that receives a pass request (a dict: it carries\n"
            "the family, link, power and theta) and returns the sums of\n"
            "block_pass(x, y, weights, offset, request) over every block of rows,\n"
            "and the multinomial family each class's share of the weight in\n"
            "response_means.  A family by variance and link with an offset takes\n"
            "its weighted sum and range as the items \"offset_sum\", \"offset_min\"\n"
            "and \"offset_max\" of the statistics.  The weights and the offset live\n"
            "in the rows: the options `weights` and `offset` stay None.\n"
            "n_threads has no use here: the passes over the rows are the source's.\n"
            "callback is fit's.  The result is fit's, plus \"npasses_data\" (the\n"
            "passes over the data).",
        };
    }();
    return d;
}

}  // namespace varnel_py
