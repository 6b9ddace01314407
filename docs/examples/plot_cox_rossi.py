"""
Cox path and survival curves on the Rossi recidivism data
=========================================================

The Rossi data of lifelines: 432 prisoners followed for a year after
release, the week of their first re-arrest (or censoring at week 52), and
seven covariates (financial aid, age, race, work experience, marriage,
parole, prior convictions). A Cox elastic-net path, its cross-validated
concordance, and the survival curves of two prisoners at the chosen
penalty.
"""

# %%
import matplotlib.pyplot as plt
import numpy as np
from lifelines.datasets import load_rossi

import varnel

rossi = load_rossi()
X = rossi.drop(columns=["week", "arrest"])
y = rossi[["week", "arrest"]]                   # time, then status (1 re-arrested)

cv = varnel.cv_path(X, y, "cox", measure="C", ties="efron", nfolds=10, seed=0)
print(f"lambda_min = {cv.lambda_min:.4g}, lambda_1se = {cv.lambda_1se:.4g}")
print("coefficients at lambda_min (log hazard ratios):")
for name, value in zip(X.columns, cv.coef("lambda_min")):
    print(f"  {name:<5} {value: .4f}")

# %%
# Harrell's concordance of the held-out rows against log(lambda), and the
# coefficient paths.
fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4))
cv.plot(ax=left)
cv.path.plot(ax=right, label=True)
fig.tight_layout()

# %%
# Survival curves from Breslow's baseline hazard at lambda_min: the
# youngest prisoner with the most prior convictions against the oldest
# with none.
young = X.sort_values(["age", "prio"], ascending=[True, False]).iloc[[0]]
old = X.sort_values(["age", "prio"], ascending=[False, True]).iloc[[0]]
weeks = np.arange(1, 53)
fig, ax = plt.subplots(figsize=(7, 4))
for who, row in (("young, many priors", young), ("old, no priors", old)):
    curve = cv.path.survival_function(row, weeks, s=cv.lambda_min)[0]
    ax.step(weeks, curve, where="post", label=who)
ax.set_xlabel("weeks since release")
ax.set_ylabel("probability of no re-arrest")
ax.legend()
fig.tight_layout()
