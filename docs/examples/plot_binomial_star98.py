"""
Binomial proportions: the star98 schools
========================================

The star98 data of statsmodels: for 303 California school districts, the
number of students above and below the national median in mathematics,
and 20 district features. The response is a proportion with a number of
trials per district.

``fit_path`` reads a binomial response as two labels: proportions (here
295 distinct values) are refused with the two-class error. Two equivalent
forms fit them today, and this example uses both and checks that they
agree:

* each district as two rows, label 1 weighted by the students above the
  median and label 0 weighted by those below, through ``fit_path``;
* the proportions with the trials as weights through the low-level
  ``varnel._core.fit``, which takes a binomial response in [0, 1].
"""

# %%
import matplotlib.pyplot as plt
import numpy as np
import statsmodels.api as sm

import varnel
from varnel import _core

star = sm.datasets.star98.load_pandas()
above, below = star.endog["NABOVE"].to_numpy(), star.endog["NBELOW"].to_numpy()
trials = above + below
X = star.exog.to_numpy()
n = len(trials)

try:
    varnel.fit_path(X, above / trials, "binomial")
except ValueError as error:
    print("fit_path with proportions:", error)

# %%
# The two-row form: successes and failures as weighted rows.
rows = np.vstack([X, X])
label = np.concatenate([np.ones(n), np.zeros(n)])
weight = np.concatenate([above, below]).astype(float)
path = varnel.fit_path(rows, label, "binomial", weights=weight, thresh=1e-12)

# %%
# The low-level form: proportions with the trials as weights, over the same
# lambdas. The two minimise the same objective; their deviances differ by a
# constant (the saturated model of single trials is not that of
# proportions), so each form's convergence test, relative to its own null
# deviance, stops at a slightly different point: with a tight ``thresh`` on
# both they agree closely.
low = _core.fit(np.asfortranarray(X), above / trials, family="binomial",
                weights=trials.astype(float), user_lambda=path.lambdas, thresh=1e-12)

# %%
# At the end of the path the fit approaches statsmodels' unpenalized
# binomial GLM of the same proportions and trials: the shares of the null
# deviance they explain come together (the 20 features are strongly
# collinear, so the deviance, not each coefficient, is the thing to compare).
# The share is that of the proportions' deviance, as statsmodels reports it,
# so it is read from the low-level form; the two-row form's share is of the
# single trials' deviance, a different (much larger) null deviance.
glm = sm.GLM(above / trials, sm.add_constant(X), family=sm.families.Binomial(),
             var_weights=trials).fit()
print(f"relative difference of the two forms' coefficients: "
      f"{np.max(np.abs(low['beta'] - path.coefs)) / np.max(np.abs(path.coefs)):.1e}")
print(f"deviance explained: varnel's last lambda {low['dev_ratio'][-1]:.4f}, "
      f"statsmodels' GLM {1 - glm.deviance / glm.null_deviance:.4f}")

fig, ax = plt.subplots(figsize=(7, 4))
path.plot(ax=ax, xvar="dev")
ax.set_title("star98: share of deviance explained along the path")
fig.tight_layout()
