"""
Gamma and Tweedie models for pricing
====================================

Two pricing models. First the Scottish referendum data of statsmodels
(32 council areas; the share voting yes, a positive response) with a gamma
family and a log link. Then simulated insurance costs: many policies with
no claim, the others a gamma-distributed amount, which a Tweedie model
with power 1.5 fits in one piece (a compound Poisson-gamma).
"""

# %%
import matplotlib.pyplot as plt
import numpy as np
import statsmodels.api as sm

import varnel
from varnel import families

scotland = sm.datasets.scotland.load_pandas()
X_s, y_s = scotland.exog, scotland.endog
gamma = varnel.fit_path(X_s, y_s, families.Gamma(link="log"))
print(gamma.summary().splitlines()[0])
print(f"deviance explained at the end of the path: {gamma.dev_ratio[-1]:.3f}")

# %%
# At a tiny penalty the path's last solution is close to the unpenalized
# maximum-likelihood fit; statsmodels' GLM gives that fit for comparison
# (standardize=False keeps the penalty on the variables' own scale).
tiny = varnel.fit_path(X_s, y_s, families.Gamma(link="log"), standardize=False,
                       user_lambda=[1e-8], thresh=1e-12)
glm = sm.GLM(y_s, sm.add_constant(X_s), family=sm.families.Gamma(sm.families.links.Log())).fit()
print(" variable              varnel      statsmodels")
for name, a, b in zip(X_s.columns, tiny.coef(1e-8), glm.params.iloc[1:]):
    print(f" {name:<20} {a: .6f}  {b: .6f}")

# %%
# Simulated costs. Generator: 20,000 policies, 8 features, claims per
# policy Poisson with mean 0.1 exp(0.5 x0 - 0.3 x1); each claim's amount
# gamma with shape 2 and mean 1,000 exp(0.2 x2); cost = the sum of the
# amounts (0 without a claim).
rng = np.random.default_rng(7)
n, p = 20_000, 8
X = rng.normal(size=(n, p))
n_claims = rng.poisson(0.1 * np.exp(0.5 * X[:, 0] - 0.3 * X[:, 1]))
severity = 1000 * np.exp(0.2 * X[:, 2])
cost = np.array([rng.gamma(2.0, s / 2.0, size=k).sum() for k, s in zip(n_claims, severity)])
print(f"{np.mean(cost == 0):.1%} of the policies have no claim")

tweedie = varnel.cv_path(X, cost, families.Tweedie(1.5), nfolds=5, seed=0, nlambda=40)
print("coefficients at lambda_min:", np.round(tweedie.coef("lambda_min"), 3))

fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4))
tweedie.path.plot(ax=left, label=True)
tweedie.plot(ax=right)
fig.tight_layout()

# %%
# The pure premium (expected cost) of three policies, against the
# generator's expectation 0.1 exp(0.5 x0 - 0.3 x1) x 1,000 exp(0.2 x2).
premium = tweedie.predict(X[:3], s="lambda_min", kind="response")
expected = 0.1 * np.exp(0.5 * X[:3, 0] - 0.3 * X[:3, 1]) * 1000 * np.exp(0.2 * X[:3, 2])
print("fitted premium:   ", np.round(premium, 1))
print("generator's mean: ", np.round(expected, 1))
