"""
Blocked data on a Dask cluster
==============================

A Dask array of 200,000 rows in chunks of 25,000, on a small local
cluster (two workers of one thread each, in this process:
``processes=False``). The rows never come to the client: least squares
and its cross-validation take one pass over the blocks, and a logistic
path one pass per reweighting step. The same data fitted in memory give
the same solutions to about 1e-7.
"""

# %%
import dask.array as da
import matplotlib.pyplot as plt
import numpy as np
from dask.distributed import Client, LocalCluster

import varnel

cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                       dashboard_address=None)
client = Client(cluster)

rng = da.random.default_rng(0)
Xd = rng.standard_normal((200_000, 10), chunks=(25_000, 10))
yd = Xd[:, 0] - 0.5 * Xd[:, 1] + 0.25 * Xd[:, 2] + rng.standard_normal(200_000, chunks=25_000)
Xd, yd = Xd.persist(), yd.persist()               # drawn once, kept on the workers

path = varnel.fit_path(Xd, yd)
cv = varnel.cv_path(Xd, yd, nfolds=5, seed=0)
logistic = varnel.fit_path(Xd, (yd > 0).astype(float), "logistic", nlambda=20)
print("passes over the data:", path.npasses_data, cv.path.npasses_data, logistic.npasses_data)

# %%
# The same rows in memory, fitted by the covariance solver over the same
# lambdas.
X, y = Xd.compute(), yd.compute()
in_memory = varnel.fit_path(X, y, solver="covariance", user_lambda=path.lambdas)
print(f"largest difference from the in-memory fit: {np.max(np.abs(path.coefs - in_memory.coefs)):.1e}")

# %%
# Predictions on a Dask array are lazy: a Dask array, computed on demand.
proba = logistic.predict(Xd, s=logistic.lambdas[-1], kind="response")
print(type(proba).__name__, proba[:5].compute().round(3))

fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4))
path.plot(ax=left)
cv.plot(ax=right)
fig.tight_layout()

client.close()
cluster.close()
