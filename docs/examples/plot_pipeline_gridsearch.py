"""
A pipeline with categorical features and a grid search
======================================================

The Fair affairs survey of statsmodels (6,366 married women): whether a
woman reported any extramarital affair, against her age, years married,
children, rating of her marriage, religiousness, education and the
occupations of her and her husband. The ratings and occupations are
categories: a ``ColumnTransformer`` one-hot encodes them and scales the
numeric columns, and ``GridSearchCV`` tunes the elastic-net mix of
:class:`varnel.LogisticNetClassifier`, which chooses its own penalty
strength by inner cross-validation.
"""

# %%
import numpy as np
import pandas as pd
import statsmodels.api as sm
from sklearn.compose import ColumnTransformer
from sklearn.model_selection import GridSearchCV, train_test_split
from sklearn.pipeline import Pipeline
from sklearn.preprocessing import OneHotEncoder, StandardScaler

import varnel

fair = sm.datasets.fair.load_pandas().data
y = (fair["affairs"] > 0).astype(int)                 # 1: any affair reported
categorical = ["rate_marriage", "religious", "occupation", "occupation_husb"]
numeric = ["age", "yrs_married", "children", "educ"]
X = fair[categorical + numeric].astype({c: int for c in categorical})
X_train, X_test, y_train, y_test = train_test_split(X, y, test_size=0.25, random_state=0,
                                                    stratify=y)

prepare = ColumnTransformer([
    ("categories", OneHotEncoder(handle_unknown="ignore"), categorical),
    ("numbers", StandardScaler(), numeric),
])
model = Pipeline([("prepare", prepare),
                  ("fit", varnel.LogisticNetClassifier(cv=5, random_state=0))])
search = GridSearchCV(model, {"fit__l1_ratio": [0.1, 0.5, 1.0]}, cv=3, scoring="roc_auc")
search.fit(X_train, y_train)

print("chosen mix:", search.best_params_, f"(cross-validated AUC {search.best_score_:.3f})")
print(f"held-out AUC: {search.score(X_test, y_test):.3f}")

# %%
# The fitted coefficients, by encoded column name (positive: an affair is
# more likely).
best = search.best_estimator_
names = best.named_steps["prepare"].get_feature_names_out()
coef = pd.Series(best.named_steps["fit"].coef_.ravel(), index=names)
print(f"penalty strength chosen inside: alpha_ = {best.named_steps['fit'].alpha_:.4g}")
print(coef[coef != 0].sort_values().round(3).to_string())
