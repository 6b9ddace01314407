"""
Sparse, text-like logistic data
===============================

A bag-of-words matrix: 5,000 documents over a vocabulary of 20,000 terms
whose frequencies fall off as 1/rank (a Zipf law), about 60 distinct
terms per document, stored as a scipy.sparse CSR matrix. The label
depends on 10 of the 200 most frequent terms. varnel fits the sparse
matrix as it is (centring and scaling stay implicit), never densified.
"""

# %%
import matplotlib.pyplot as plt
import numpy as np
from scipy import sparse
from sklearn.metrics import roc_auc_score

import varnel

rng = np.random.default_rng(0)
n_docs, vocabulary, terms_per_doc = 5000, 20_000, 60
zipf = 1.0 / np.arange(1, vocabulary + 1)
zipf /= zipf.sum()
rows = np.repeat(np.arange(n_docs), terms_per_doc)
cols = rng.choice(vocabulary, size=n_docs * terms_per_doc, p=zipf)
X = sparse.csr_matrix((np.ones(len(rows)), (rows, cols)), shape=(n_docs, vocabulary))
X.sum_duplicates()
X.data = np.log1p(X.data)                               # damped term counts
print(f"{X.shape[0]} x {X.shape[1]}, {X.nnz} stored entries ({X.nnz / np.prod(X.shape):.2%})")

signal = rng.choice(200, size=10, replace=False)
eta = X[:, signal] @ rng.choice([-1.5, 1.5], size=10) - 0.2
labels = rng.uniform(size=n_docs) < 1 / (1 + np.exp(-(eta - eta.mean())))

train, test = np.arange(4000), np.arange(4000, n_docs)
cv = varnel.cv_path(X[train], labels[train], "logistic", measure="auc", nfolds=5,
                    nlambda=40, seed=0)
print(f"terms kept at lambda_1se: {np.count_nonzero(cv.coef())}")
print("of the 10 signal terms:", len(set(np.flatnonzero(cv.coef())) & set(signal)))
auc = roc_auc_score(labels[test], cv.predict(X[test], kind="response"))
print(f"held-out AUC: {auc:.3f}")

# %%
fig, ax = plt.subplots(figsize=(7, 4))
cv.plot(ax=ax)
fig.tight_layout()
