// The entry points' signatures, defaults and option conversion, generated
// from the core's option tables (base/config.hpp), where each option is
// spelled once.
#pragma once

#include "pyconv.hpp"

#include <span>
#include <string>

#include "base/config.hpp"

namespace varnel_py {

extern const Signature path_signature;    // elnet_path(x, y, *, family, <options>)
extern const Signature sparse_signature;  // elnet_sparse(n, p, col_ptr, row_idx, values, y, *, <options>)
extern const Signature fit_signature;     // fit(x, y, *, <fit choices>, callback, <options>)
// fit_statistics(statistics, *, <fit choices>, <options>, source, response_means, callback)
extern const Signature statistics_signature;
// fit_solver(n, p, *, sparse, <fit choices>)
extern const Signature solver_signature;
inline constexpr std::size_t solver_choices_at = 3;
// Where the options begin in each signature, and the choices in fit's.
inline constexpr std::size_t path_options_at = 3;
inline constexpr std::size_t sparse_options_at = 6;
inline constexpr std::size_t fit_choices_at = 2;
std::size_t fit_options_at();
std::size_t fit_callback_at();
inline constexpr std::size_t statistics_choices_at = 1;
std::size_t statistics_options_at();
std::size_t statistics_extras_at();
// The number of parameters of each signature.
inline constexpr std::size_t max_parameters = 40;

// The options, from `slots` (in signature order).
bool convert_options(std::span<const PyRef> slots, varnel_core::FitOptions& out);
bool convert_choices(std::span<const PyRef> slots, varnel_core::FitChoices& out);

// {option: default}, None where the default depends on the data.
PyObject* option_defaults();

// The docstrings, their first line the signature CPython reads.
struct Docs {
    std::string path;
    std::string sparse;
    std::string fit;
    std::string statistics;
};
const Docs& docs();

}  // namespace varnel_py
