"""
Binomial proportions: the star98 schools
========================================

The star98 data of statsmodels: for 303 California school districts, the
number of students above and below the national median in mathematics,
and 20 district features. The response is a proportion with a number of
trials per district.

A numeric binomial response whose values all lie in [0, 1] is read as
proportions of successes, the observation weights as the trials. This
example fits the path of the proportions, checks it against the same data
as two weighted rows per district (label 1 weighted by the students above
the median, label 0 by those below), and compares the end of the path with
statsmodels' unpenalized binomial GLM.
"""

# %%
import matplotlib.pyplot as plt
import numpy as np
import statsmodels.api as sm

import varnel

star = sm.datasets.star98.load_pandas()
above, below = star.endog["NABOVE"].to_numpy(), star.endog["NBELOW"].to_numpy()
trials = (above + below).astype(float)
X = star.exog.to_numpy()
n = len(trials)

path = varnel.fit_path(X, above / trials, "binomial", weights=trials, thresh=1e-12)
print(path.summary())

# %%
# The two-row form: successes and failures as weighted rows, over the same
# lambdas. Both minimise the same objective; their deviances differ by a
# constant (the saturated model of single trials is not that of
# proportions), so each form's convergence test, relative to its own null
# deviance, stops at a slightly different point: with a tight ``thresh`` on
# both they agree closely.
rows = np.vstack([X, X])
label = np.concatenate([np.ones(n), np.zeros(n)])
weight = np.concatenate([above, below]).astype(float)
two_rows = varnel.fit_path(rows, label, "binomial", weights=weight, user_lambda=path.lambdas,
                           thresh=1e-12)
print(f"relative difference of the two forms' coefficients: "
      f"{np.max(np.abs(two_rows.coefs - path.coefs)) / np.max(np.abs(path.coefs)):.1e}")

# %%
# At the end of the path the fit approaches statsmodels' unpenalized
# binomial GLM of the same proportions and trials: the shares of the null
# deviance they explain come together (the 20 features are strongly
# collinear, so the deviance, not each coefficient, is the thing to compare).
glm = sm.GLM(above / trials, sm.add_constant(X), family=sm.families.Binomial(),
             var_weights=trials).fit()
print(f"deviance explained: varnel's last lambda {path.dev_ratio[-1]:.4f}, "
      f"statsmodels' GLM {1 - glm.deviance / glm.null_deviance:.4f}")

fig, ax = plt.subplots(figsize=(7, 4))
path.plot(ax=ax, xvar="dev")
ax.set_title("star98: share of deviance explained along the path")
fig.tight_layout()
