"""
Multinomial path on the digits data
===================================

scikit-learn's handwritten digits (1,797 images of 8 x 8 pixels, ten
classes) fitted by a multinomial path with the grouped penalty: a pixel
enters the model for every class at once. Cross-validation chooses the
penalty by misclassification rate.
"""

# %%
import matplotlib.pyplot as plt
import numpy as np
from sklearn.datasets import load_digits
from sklearn.model_selection import train_test_split

import varnel

digits = load_digits()
X_train, X_test, y_train, y_test = train_test_split(
    digits.data, digits.target, test_size=0.3, random_state=0, stratify=digits.target)

cv = varnel.cv_path(X_train, y_train, "multinomial", grouped=True, measure="class",
                    nfolds=5, nlambda=40, seed=0)
print(f"lambda_1se = {cv.lambda_1se:.4g}; pixels used: {int(cv.nzero[np.argmin(abs(cv.lambdas - cv.lambda_1se))])} of 64")

predicted = cv.predict(X_test, kind="class")
print(f"held-out accuracy at lambda_1se: {np.mean(predicted == y_test):.3f}")

# %%
# Misclassification against log(lambda), and each pixel's coefficient norm
# over the classes at lambda_1se: the border pixels, blank in nearly every
# image, stay out.
fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4))
cv.plot(ax=left)
coef = cv.coef()                                   # (64, 10)
image = right.imshow(np.linalg.norm(coef, axis=1).reshape(8, 8), cmap="viridis")
right.set_title("coefficient norm per pixel")
right.set_xticks([])
right.set_yticks([])
fig.colorbar(image, ax=right)
fig.tight_layout()
