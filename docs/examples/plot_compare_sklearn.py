"""
varnel's path against scikit-learn's on the same objective
==========================================================

The lasso path of the diabetes data, computed by varnel and by
scikit-learn's ``enet_path`` over the same penalties. With
``standardize=False`` varnel's Gaussian lasso minimises

.. math::

   \\frac{1}{2n} \\lVert y - \\beta_0 - X\\beta \\rVert^2 + \\lambda \\lVert\\beta\\rVert_1,

scikit-learn's objective with ``alpha = lambda`` (its ``enet_path`` has no
intercept, so the data are centred first). The two paths agree to the
solvers' tolerance: the objective values agree to about 1e-10 relative,
and the coefficients to about 1e-4 of their size (the diabetes columns are
strongly correlated, so near the unpenalized end the objective is flat in
some directions and tiny objective differences move the coefficients).
"""

# %%
import matplotlib.pyplot as plt
import numpy as np
from sklearn.datasets import load_diabetes
from sklearn.linear_model import enet_path

import varnel

X, y = load_diabetes(return_X_y=True)
X = X - X.mean(axis=0)
y = y - y.mean()
n = len(y)

ours = varnel.fit_path(X, y, standardize=False, intercept=False, thresh=1e-12)
alphas, theirs, _ = enet_path(X, y, l1_ratio=1.0, alphas=ours.lambdas, tol=1e-12,
                              max_iter=100_000)


def objective(b, lam):
    return 0.5 / n * np.sum((y - X @ b) ** 2) + lam * np.abs(b).sum()


gap = [(objective(ours.coefs[:, k], lam) - objective(theirs[:, k], lam)) / objective(theirs[:, k], lam)
       for k, lam in enumerate(ours.lambdas)]
print(f"{ours.n_lambdas} penalties")
print(f"relative objective, varnel minus scikit-learn: between {min(gap):.1e} and {max(gap):.1e}")
print(f"largest coefficient difference over the largest coefficient: "
      f"{np.max(np.abs(ours.coefs - theirs)) / np.max(np.abs(theirs)):.1e}")

# %%
# The two paths drawn over each other.
fig, ax = plt.subplots(figsize=(7, 4))
log_lambda = np.log(ours.lambdas)
ax.plot(log_lambda, ours.coefs.T, color="tab:blue", lw=2, alpha=0.6)
ax.plot(log_lambda, theirs.T, color="black", lw=0.8, ls="--")
ax.set_xlabel("log(lambda)")
ax.set_ylabel("coefficient")
ax.set_title("varnel (blue) and scikit-learn's enet_path (dashed)")
fig.tight_layout()
