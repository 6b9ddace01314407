"""
Poisson claim counts with an exposure offset
============================================

Simulated motor claims: each policy is observed for a time at risk
(its exposure, between 0.1 and 2 years) and its claims are Poisson with a
rate per year that depends on four of twelve features. The log of the
exposure enters as an offset, so the coefficients describe the rate per
year. The generator is stated below; nothing else is assumed.
"""

# %%
import matplotlib.pyplot as plt
import numpy as np

import varnel

rng = np.random.default_rng(42)
n, p = 5000, 12
X = rng.normal(size=(n, p))
true_coef = np.zeros(p)
true_coef[[0, 1, 2, 4]] = [0.4, -0.3, 0.25, -0.2]
exposure = rng.uniform(0.1, 2.0, size=n)                 # years at risk
rate = np.exp(-2.0 + X @ true_coef)                       # claims per year
claims = rng.poisson(exposure * rate)
print(f"{claims.sum()} claims over {exposure.sum():.0f} policy years")

cv = varnel.cv_path(X, claims, "poisson", offset=np.log(exposure), nfolds=10, seed=0)
print(cv)

# %%
# The coefficients at lambda_min against the generator's, and the same fit
# without the offset, which mixes the exposure into the rate.
no_offset = varnel.cv_path(X, claims, "poisson", nfolds=10, seed=0)
print(f"intercept with the offset: {cv.intercept('lambda_min'):.3f} (generator: -2.0)")
print(f"intercept without it:      {no_offset.intercept('lambda_min'):.3f}")
print(" j   generator   with offset")
for j in range(p):
    print(f"{j:2d}   {true_coef[j]: .3f}      {cv.coef('lambda_min')[j]: .3f}")

fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4))
cv.path.plot(ax=left)
cv.plot(ax=right)
fig.tight_layout()

# %%
# Expected claims of new policies: give their own offsets to predict.
new_exposure = np.array([0.5, 1.0, 2.0])
expected = cv.predict(X[:3], s="lambda_min", kind="response", offset=np.log(new_exposure))
print("expected claims:", np.round(expected, 4))
