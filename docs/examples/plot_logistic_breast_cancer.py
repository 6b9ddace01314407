"""
Logistic path on the breast cancer data, with AUC against lambda
================================================================

scikit-learn's breast cancer data (569 tumours, 30 features, malignant or
benign) fitted along a lasso logistic path. Cross-validation measures the
area under the ROC curve at every lambda; a held-out quarter of the data
checks the chosen model.
"""

# %%
import matplotlib.pyplot as plt
import numpy as np
from sklearn.datasets import load_breast_cancer
from sklearn.metrics import roc_auc_score
from sklearn.model_selection import train_test_split

import varnel

data = load_breast_cancer()
labels = np.array(data.target_names)[data.target]          # "malignant" / "benign"
X_train, X_test, y_train, y_test = train_test_split(
    data.data, labels, test_size=0.25, random_state=0, stratify=labels)

cv = varnel.cv_path(X_train, y_train, "logistic", measure="auc", nfolds=10, seed=0)
print("classes:", cv.path.classes, "(the second is modelled)")
print(f"lambda_min = {cv.lambda_min:.4g}, lambda_1se = {cv.lambda_1se:.4g}")

# %%
# The cross-validated AUC over the path (larger is better here, so the
# chosen lambdas sit at the top of the curve), and the coefficient paths.
fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4))
cv.plot(ax=left)
cv.path.plot(ax=right)
fig.tight_layout()

# %%
# The held-out rows: probability of the modelled class at lambda_1se and
# the AUC it reaches, with the number of features the model keeps.
proba = cv.predict(X_test, kind="response")
print(f"held-out AUC at lambda_1se: {roc_auc_score(y_test == cv.path.classes[1], proba):.4f}")
print("features kept:", int(np.count_nonzero(cv.coef())), "of", X_train.shape[1])
kept = np.flatnonzero(cv.coef())
for j in kept:
    print(f"  {data.feature_names[j]:<24} {cv.coef()[j]: .4f}")
