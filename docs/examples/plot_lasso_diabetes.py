"""
Lasso path and cross-validation on the diabetes data
=====================================================

The diabetes data of scikit-learn (442 patients, 10 baseline variables,
a measure of disease progression one year later) fitted along a lasso
path, with the penalty chosen by 10-fold cross-validation.
"""

# %%
import matplotlib.pyplot as plt
from sklearn.datasets import load_diabetes

import varnel

data = load_diabetes(as_frame=True)
X, y = data.data, data.target

cv = varnel.cv_path(X, y, nfolds=10, seed=0)
print(cv)

# %%
# The coefficient paths against log(lambda), with each variable's name, and
# the cross-validation curve with both chosen penalties marked.
fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4))
cv.path.plot(ax=left, label=True)
cv.plot(ax=right)
fig.tight_layout()

# %%
# The coefficients at the largest penalty within one standard error of the
# best one: the variables the lasso keeps.
coef = cv.coef()
for name, value in zip(X.columns, coef):
    if value != 0:
        print(f"{name:>4} {value:9.2f}")
