"""Seeded synthetic workloads and the penalised objectives used to score them.

Every workload is a lasso path (alpha = 1) over a common, explicitly given,
decreasing grid of 100 penalties, so that every solver solves exactly the same
sequence of problems:

    gaussian   F(a0, b) = 1/(2n) ||y - a0 - X b||^2              + lam ||b||_1
    binomial   F(a0, b) = 1/n sum log(1 + e^eta) - y eta          + lam ||b||_1
    multinomial F(a0, B) = 1/n sum log sum_k e^eta_k - eta_y      + lam sum |B|
    poisson    F(a0, b) = 1/n sum (e^eta - y eta) - (y - y log y) + lam ||b||_1
    tweedie, gamma, probit
               F(a0, b) = 1/(2n) sum d(y, mu)                     + lam ||b||_1
               (half the mean unit deviance: Tweedie power 1.5 and gamma with a
               log link, mu = e^eta; binomial with the probit link, mu = Phi(eta))

with eta = a0 + X b (a0 = 0 when the workload has no intercept). The Poisson
loss is measured from the saturated model (half the mean deviance), so every
objective is non-negative and relative differences are well defined.

Dense designs are standardised once here (columns centred, population standard
deviation 1) and stored column-major; Gaussian responses are centred. The
solvers are then run without their own standardisation; on such data the
Gaussian intercept is exactly 0, so the dense Gaussian workloads are fitted
without an intercept by every solver. The sparse design is not centred (that
would densify it): it is fitted without intercept and without standardisation
by every solver, i.e. the plain uncentred lasso that the peers solve on sparse
input.
"""

from __future__ import annotations

import dataclasses

import numpy as np

NLAMBDA = 100
# Path indices at which the objectives are compared (the first penalty, where
# every solution is 0, is left out).
ACCURACY_POINTS = 5


@dataclasses.dataclass
class Workload:
    name: str
    title: str
    family: str  # "gaussian" | "binomial" | "poisson" | "multinomial" (y: class codes) | a GLM below
    X: object  # float64 Fortran-ordered ndarray, or scipy.sparse.csc_matrix
    y: np.ndarray
    intercept: bool
    lambdas: np.ndarray
    lambda_min_ratio: float
    per_call: bool = False  # report time per call (call-overhead workload)
    # Unstandardized data for solvers that standardize themselves (varnel
    # with its defaults): (X, y), and the columns' standard deviations that
    # bring their coefficients to X's scale.
    raw: tuple | None = None
    scales: np.ndarray | None = None

    @property
    def sparse(self) -> bool:
        return not isinstance(self.X, np.ndarray)

    @property
    def shape(self) -> tuple[int, int]:
        return self.X.shape

    def describe(self) -> str:
        n, p = self.shape
        extra = ""
        if self.sparse:
            extra = f", CSC {self.X.nnz / (n * p):.2%} dense"
        icpt = "intercept" if self.intercept or self.raw is not None else "no intercept"
        return (f"{self.family} {n} x {p}{extra}, {len(self.lambdas)} lambdas "
                f"down to {self.lambda_min_ratio:g} x lambda_max, {icpt}")

    def accuracy_indices(self) -> np.ndarray:
        # path positions 20, 40, 60, 80, 100 of 100 (0-based 19, ..., 99)
        m = len(self.lambdas)
        step = max(m // ACCURACY_POINTS, 1)
        idx = np.arange(1, ACCURACY_POINTS + 1) * step - 1
        return np.unique(np.clip(idx, 0, m - 1))


def ar1_design(rng: np.random.Generator, n: int, p: int, rho: float = 0.5) -> np.ndarray:
    """Columns with AR(1) correlation rho^|i-j|, standardised, column-major."""
    x = np.empty((n, p), order="F")
    c = np.sqrt(1.0 - rho * rho)
    x[:, 0] = rng.standard_normal(n)
    for j in range(1, p):
        x[:, j] = rho * x[:, j - 1] + c * rng.standard_normal(n)
    standardize_columns(x)
    return x


def standardize_columns(x: np.ndarray) -> None:
    x -= x.mean(axis=0)
    x /= x.std(axis=0)


def sparse_coefficients(rng: np.random.Generator, p: int, k: int, scale: float = 1.0) -> np.ndarray:
    beta = np.zeros(p)
    idx = rng.choice(p, size=min(k, p), replace=False)
    beta[idx] = scale * rng.choice([-1.0, 1.0], size=idx.size) * rng.uniform(0.5, 1.5, size=idx.size)
    return beta


# The families by variance and link: varnel's fit options, and the factor
# (dmu/deta) / V(mu) of the null model's score at mu = mean(y).
GLMS = {
    "tweedie": ({"family": "tweedie", "power": 1.5}, lambda m: m ** -0.5),
    "gamma": ({"family": "gamma", "link": "log"}, lambda m: 1.0 / m),
    "probit": ({"family": "binomial", "link": "probit"},
               lambda m: _normal_pdf(_normal_quantile(m)) / (m * (1.0 - m))),
}


def _normal_pdf(x):
    return np.exp(-0.5 * x * x) / np.sqrt(2.0 * np.pi)


def _normal_quantile(p):
    from scipy.special import ndtri

    return ndtri(p)


def lambda_max(family: str, X, y: np.ndarray, intercept: bool) -> float:
    """Smallest penalty at which all coefficients are 0 (unit weights)."""
    n = y.shape[0]
    if family == "multinomial":  # class indicators about their proportions
        onehot = (y[:, None] == np.arange(int(y.max()) + 1)).astype(float)
        return float(np.max(np.abs(np.asarray(X.T @ (onehot - onehot.mean(axis=0))))) / n)
    r = y - y.mean() if intercept else y
    g = np.asarray(X.T @ r).ravel()
    factor = GLMS[family][1](y.mean()) if family in GLMS else 1.0
    return float(np.max(np.abs(g)) * factor / n)


def penalty_grid(family: str, X, y: np.ndarray, intercept: bool, ratio: float) -> np.ndarray:
    lmax = lambda_max(family, X, y, intercept)
    return np.geomspace(lmax, lmax * ratio, NLAMBDA)


def default_ratio(n: int, p: int) -> float:
    return 1e-3 if n > p else 1e-2


def _gaussian(name, title, rng, n, p, k, per_call=False) -> Workload:
    x = ar1_design(rng, n, p)
    beta = sparse_coefficients(rng, p, k)
    signal = x @ beta
    y = signal + rng.standard_normal(n) * (signal.std() / np.sqrt(3.0))  # SNR 3
    y -= y.mean()
    ratio = default_ratio(n, p)
    return Workload(name, title, "gaussian", x, y, False,
                    penalty_grid("gaussian", x, y, False, ratio), ratio, per_call)


def _sparse(rng, n, p, density, k) -> Workload:
    import scipy.sparse as sp

    x = sp.random(n, p, density=density, format="csc", random_state=rng,
                  data_rvs=rng.standard_normal, dtype=np.float64)
    x.sort_indices()
    beta = sparse_coefficients(rng, p, k, scale=3.0)
    signal = x @ beta
    y = signal + rng.standard_normal(n) * (signal.std() / np.sqrt(3.0))
    ratio = default_ratio(n, p)
    return Workload("sparse", "Gaussian CSC sparse", "gaussian", x, y, False,
                    penalty_grid("gaussian", x, y, False, ratio), ratio)


def _logistic(rng, n, p, k, name="logistic") -> Workload:
    x = ar1_design(rng, n, p)
    beta = sparse_coefficients(rng, p, k, scale=0.5)
    eta = -0.5 + x @ beta
    y = (rng.random(n) < 1.0 / (1.0 + np.exp(-eta))).astype(np.float64)
    ratio = default_ratio(n, p)
    return Workload(name, f"logistic dense {n:,} x {p}" if name != "logistic" else "logistic dense",
                    "binomial", x, y, True,
                    penalty_grid("binomial", x, y, True, ratio), ratio)


def _poisson(rng, n, p, k, name="poisson") -> Workload:
    x = ar1_design(rng, n, p)
    beta = sparse_coefficients(rng, p, k, scale=0.2)
    eta = 0.5 + x @ beta
    y = rng.poisson(np.exp(eta)).astype(np.float64)
    ratio = default_ratio(n, p)
    return Workload(name, f"Poisson dense {n:,} x {p}" if name != "poisson" else "Poisson dense",
                    "poisson", x, y, True,
                    penalty_grid("poisson", x, y, True, ratio), ratio)


def _tweedie(rng, n, p, k) -> Workload:
    """Insurance-like pure premiums: a Poisson number of claims (about 90% of
    the policies have none) times gamma-distributed severities (shape 2)."""
    x = ar1_design(rng, n, p)
    freq = np.exp(-2.3 + x @ sparse_coefficients(rng, p, k, scale=0.3))
    severity = np.exp(7.0 + x @ sparse_coefficients(rng, p, k, scale=0.2))
    counts = rng.poisson(freq)
    y = np.where(counts > 0, rng.gamma(2.0 * np.maximum(counts, 1), severity / 2.0), 0.0)
    ratio = default_ratio(n, p)
    return Workload("tweedie", "Tweedie 1.5, log link, 90% zeros", "tweedie", x, y, True,
                    penalty_grid("tweedie", x, y, True, ratio), ratio)


def _gamma(rng, n, p, k) -> Workload:
    x = ar1_design(rng, n, p)
    y = rng.gamma(2.0, np.exp(1.0 + x @ sparse_coefficients(rng, p, k, scale=0.3)) / 2.0)
    ratio = default_ratio(n, p)
    return Workload("gamma", "gamma, log link", "gamma", x, y, True,
                    penalty_grid("gamma", x, y, True, ratio), ratio)


def _probit(rng, n, p, k) -> Workload:
    x = ar1_design(rng, n, p)
    eta = -0.3 + x @ sparse_coefficients(rng, p, k, scale=0.3)
    y = (rng.standard_normal(n) < eta).astype(np.float64)
    ratio = default_ratio(n, p)
    return Workload("probit", "binomial, probit link", "probit", x, y, True,
                    penalty_grid("probit", x, y, True, ratio), ratio)


def _gram(name, rng, n, p, k) -> Workload:
    """Tall raw data (AR(1) columns with assorted means and scales); varnel
    fits it with its defaults (standardize, intercept), the peers the same
    problem on the standardized, centred copy."""
    c = np.sqrt(1.0 - 0.25)
    x = np.empty((n, p), order="F")
    x[:, 0] = rng.standard_normal(n)
    for j in range(1, p):
        x[:, j] = 0.5 * x[:, j - 1] + c * rng.standard_normal(n)
    x *= rng.uniform(0.5, 5.0, p)
    x += rng.uniform(-10.0, 10.0, p)
    beta = sparse_coefficients(rng, p, k)
    signal = x @ beta
    y = 3.0 + signal + rng.standard_normal(n) * (signal.std() / np.sqrt(3.0))
    sd = x.std(axis=0)
    xs = np.asfortranarray((x - x.mean(axis=0)) / sd)
    yc = y - y.mean()
    ratio = 1e-4
    return Workload(name, f"Gaussian dense tall {n} x {p} (fit_path defaults)", "gaussian", xs, yc,
                    False, penalty_grid("gaussian", xs, yc, False, ratio), ratio,
                    raw=(x, y), scales=sd)


def _multinomial(rng, n, p, nclass, k, name="multinomial") -> Workload:
    x = ar1_design(rng, n, p)
    beta = np.column_stack([sparse_coefficients(rng, p, k, scale=0.5) for _ in range(nclass)])
    eta = x @ beta + rng.gumbel(size=(n, nclass))
    y = np.argmax(eta, axis=1).astype(np.float64)
    ratio = default_ratio(n, p)
    return Workload(name, f"multinomial dense, K = {nclass}", "multinomial", x, y, True,
                    penalty_grid("multinomial", x, y, True, ratio), ratio)


def _text_logistic(rng, n, p, nnz, k) -> Workload:
    """Binary bag-of-words-like design: term frequencies fall off as 1/rank,
    about nnz / n terms per document; the label depends on k of the more
    frequent terms."""
    import scipy.sparse as sp

    freq = 1.0 / np.arange(1, p + 1)
    cols = rng.choice(p, size=nnz, p=freq / freq.sum())
    rows = rng.integers(0, n, size=nnz)
    x = sp.csc_matrix((np.ones(nnz), (rows, cols)), shape=(n, p))
    x.data[:] = 1.0  # repeated (row, term) pairs count once
    x.sort_indices()
    beta = np.zeros(p)
    idx = rng.choice(min(p, 2000), size=k, replace=False)
    beta[idx] = rng.choice([-1.0, 1.0], size=k) * rng.uniform(0.5, 2.0, size=k)
    eta = -0.3 + x @ beta
    y = (rng.random(n) < 1.0 / (1.0 + np.exp(-eta))).astype(np.float64)
    ratio = default_ratio(n, p)
    return Workload("sparse-logistic", "logistic CSC text-like", "binomial", x, y, True,
                    penalty_grid("binomial", x, y, True, ratio), ratio)


# name -> (full-size builder, quick builder)
WORKLOADS = {
    "tall": (lambda r: _gaussian("tall", "Gaussian dense tall", r, 10_000, 1_000, 20),
             lambda r: _gaussian("tall", "Gaussian dense tall", r, 500, 50, 5)),
    "wide": (lambda r: _gaussian("wide", "Gaussian dense wide", r, 1_000, 10_000, 50),
             lambda r: _gaussian("wide", "Gaussian dense wide", r, 100, 500, 10)),
    "sparse": (lambda r: _sparse(r, 20_000, 5_000, 0.005, 50),
               lambda r: _sparse(r, 2_000, 500, 0.02, 10)),
    "logistic": (lambda r: _logistic(r, 10_000, 500, 20),
                 lambda r: _logistic(r, 500, 30, 5)),
    "poisson": (lambda r: _poisson(r, 10_000, 200, 10),
                lambda r: _poisson(r, 500, 20, 5)),
    "multinomial": (lambda r: _multinomial(r, 20_000, 200, 5, 10),
                    lambda r: _multinomial(r, 500, 20, 3, 4)),
    "multinomial-100k": (lambda r: _multinomial(r, 100_000, 50, 10, 5, "multinomial-100k"),
                         lambda r: _multinomial(r, 2_000, 10, 10, 3, "multinomial-100k")),
    "gram-100k": (lambda r: _gram("gram-100k", r, 100_000, 50, 10),
                  lambda r: _gram("gram-100k", r, 2_000, 10, 3)),
    "gram-50k": (lambda r: _gram("gram-50k", r, 50_000, 200, 20),
                 lambda r: _gram("gram-50k", r, 1_000, 40, 5)),
    "gram-10k": (lambda r: _gram("gram-10k", r, 10_000, 1_000, 20),
                 lambda r: _gram("gram-10k", r, 500, 100, 5)),
    "sparse-logistic": (lambda r: _text_logistic(r, 200_000, 100_000, 1_000_000, 30),
                        lambda r: _text_logistic(r, 2_000, 1_000, 10_000, 5)),
    "tweedie": (lambda r: _tweedie(r, 200_000, 50, 10),
                lambda r: _tweedie(r, 2_000, 10, 3)),
    "gamma": (lambda r: _gamma(r, 100_000, 100, 10),
              lambda r: _gamma(r, 1_000, 20, 4)),
    "probit": (lambda r: _probit(r, 50_000, 200, 20),
               lambda r: _probit(r, 1_000, 20, 4)),
    # tall reweighting families: the naive and the covariance solver side by side
    "tall-logistic": (lambda r: _logistic(r, 200_000, 50, 10, "tall-logistic"),
                      lambda r: _logistic(r, 2_000, 10, 3, "tall-logistic")),
    "tall-poisson": (lambda r: _poisson(r, 200_000, 50, 10, "tall-poisson"),
                     lambda r: _poisson(r, 2_000, 10, 3, "tall-poisson")),
    "tall-logistic-1m": (lambda r: _logistic(r, 1_000_000, 20, 5, "tall-logistic-1m"),
                         lambda r: _logistic(r, 4_000, 5, 2, "tall-logistic-1m")),
    "tall-poisson-1m": (lambda r: _poisson(r, 1_000_000, 20, 5, "tall-poisson-1m"),
                        lambda r: _poisson(r, 4_000, 5, 2, "tall-poisson-1m")),
    "tiny": (lambda r: _gaussian("tiny", "Gaussian 100 x 10 (per call)", r, 100, 10, 3, per_call=True),
             lambda r: _gaussian("tiny", "Gaussian 100 x 10 (per call)", r, 100, 10, 3, per_call=True)),
}


def build(name: str, quick: bool, seed: int = 20240611) -> Workload:
    full, small = WORKLOADS[name]
    # one independent stream per workload, so --only gives the same data
    rng = np.random.default_rng([seed, list(WORKLOADS).index(name)])
    return (small if quick else full)(rng)


def warmup_workload(family: str) -> Workload:
    """A small problem of the given family (JIT compilation, imports)."""
    rng = np.random.default_rng(7)
    if family == "gaussian":
        return _gaussian("warmup", "warm-up", rng, 60, 8, 3)
    if family == "binomial":
        return _logistic(rng, 60, 8, 3)
    if family == "multinomial":
        return _multinomial(rng, 60, 8, 3, 2)
    if family in GLMS:
        return {"tweedie": _tweedie, "gamma": _gamma, "probit": _probit}[family](rng, 200, 8, 3)
    return _poisson(rng, 60, 8, 3)


def warmup_sparse(family: str = "gaussian") -> Workload:
    if family == "binomial":
        return _text_logistic(np.random.default_rng(7), 200, 50, 600, 3)
    return _sparse(np.random.default_rng(7), 200, 20, 0.1, 3)


def objective(wl: Workload, a0: float, b: np.ndarray, lam: float) -> float:
    """Penalised objective of (a0, b) at penalty lam (see the module text)."""
    y = wl.y
    eta = wl.X @ b
    if wl.intercept:
        eta = eta + a0
    if wl.family == "multinomial":  # b: (p, K), a0: (K,)
        mine = np.take_along_axis(eta, y.astype(np.intp)[:, None], axis=1)[:, 0]
        loss = np.mean(np.logaddexp.reduce(eta, axis=1) - mine)
        return float(loss + lam * np.sum(np.abs(b)))
    if wl.family in GLMS:
        loss = 0.5 * np.mean(unit_deviance(wl.family, y, eta))
    elif wl.family == "gaussian":
        loss = 0.5 * np.mean((y - eta) ** 2)
    elif wl.family == "binomial":
        loss = np.mean(np.logaddexp(0.0, eta) - y * eta)
    else:
        ylogy = np.where(y > 0, y * np.log(np.where(y > 0, y, 1.0)), 0.0)
        loss = np.mean(np.exp(eta) - y * eta - (y - ylogy))
    return float(loss + lam * np.sum(np.abs(b)))


def unit_deviance(family: str, y: np.ndarray, eta: np.ndarray) -> np.ndarray:
    """d(y, mu) of the families by variance and link (see the module text)."""
    if family == "tweedie":  # power 1.5: 2 (y^(2-p)/((1-p)(2-p)) - y mu^(1-p)/(1-p) + mu^(2-p)/(2-p))
        mu = np.exp(eta)
        return 2.0 * (-4.0 * np.sqrt(y) + 2.0 * y / np.sqrt(mu) + 2.0 * np.sqrt(mu))
    if family == "gamma":
        mu = np.exp(eta)
        return 2.0 * (np.log(mu / y) + (y - mu) / mu)
    from scipy.special import log_ndtr  # probit: y 0/1, the saturated model's deviance is 0

    return -2.0 * (y * log_ndtr(eta) + (1.0 - y) * log_ndtr(-eta))
