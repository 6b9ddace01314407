"""Path and cross-validation plots."""

import numpy as np
import pytest

import varnel

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


@pytest.fixture(scope="module")
def cvp():
    rng = np.random.default_rng(0)
    X = rng.standard_normal((60, 5))
    y = X[:, 0] - X[:, 1] + 0.5 * rng.standard_normal(60)
    return varnel.cv_path(X, y, nfolds=4, seed=0)


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


@pytest.mark.parametrize("xvar", ["lambda", "norm", "dev"])
def test_path_plot(cvp, xvar):
    path = cvp.path
    fig, ax = plt.subplots()
    out = path.plot(xvar=xvar, ax=ax)
    assert out is ax
    active = np.flatnonzero(np.any(path.coefs != 0, axis=1))
    curves = [ln for ln in ax.get_lines() if len(ln.get_xdata()) == path.n_lambdas]
    assert len(curves) == len(active)
    x = {"lambda": np.log(path.lambdas), "norm": np.abs(path.coefs).sum(axis=0),
         "dev": path.dev_ratio}[xvar]
    np.testing.assert_allclose(curves[0].get_xdata(), x)
    np.testing.assert_allclose(curves[0].get_ydata(), path.coefs[active[0]])
    assert ax.get_xlabel()
    fig.canvas.draw()


def test_path_plot_new_figure_and_labels(cvp):
    path = cvp.path
    path_named = varnel.Path(path.lambdas, path.intercepts, path.coefs, path.dev_ratio, path.nulldev,
                             path.npasses, feature_names=[("a", 1), 1, "c", "d", "e"])
    ax = path_named.plot(label=True)
    assert {t.get_text() for t in ax.texts} >= {"('a', 1)", "1"}
    with pytest.raises(ValueError, match="xvar"):
        cvp.path.plot(xvar="step")


@pytest.mark.parametrize("xvar", ["lambda", "norm"])
def test_curve_labels_do_not_overlap(xvar):
    # Six curves end within a hair of each other near 1 and one far below:
    # the crowded labels move apart, the lone one stays at its curve's end.
    L = 20
    lambdas = np.geomspace(1.0, 0.01, L)
    ends = np.array([1.0, 1.001, 0.999, 1.002, 0.998, 1.0005, -3.0])
    coefs = ends[:, None] * np.linspace(0.0, 1.0, L)[None, :]
    path = varnel.Path(lambdas, np.zeros(L), coefs, np.linspace(0, 0.9, L), 1.0, 10)
    fig, ax = plt.subplots(figsize=(5, 3))
    path.plot(xvar=xvar, ax=ax, label=True)
    fig.canvas.draw()
    boxes = [matplotlib.text.Text.get_window_extent(t) for t in ax.texts]  # the text, not its connector
    assert [t.get_text() for t in ax.texts] == [str(j) for j in range(7)]
    for i in range(7):
        for j in range(i):
            assert not boxes[i].overlaps(boxes[j]), (i, j)
    heights = [t.xyann[1] for t in ax.texts]
    assert heights[6] == -3.0  # room enough: left where its curve ends
    assert np.argsort(heights[:6]).tolist() == np.argsort(ends[:6]).tolist()  # order kept
    assert abs(np.mean(heights[:6]) - np.mean(ends[:6])) < 1e-9  # centred on the crowd


def test_cv_plot(cvp, tmp_path):
    fig, ax = plt.subplots()
    assert cvp.plot(ax=ax) is ax
    bars = ax.containers[0]
    np.testing.assert_allclose(bars.lines[0].get_ydata(), cvp.cvm)
    vlines = [ln for ln in ax.get_lines() if len(set(np.atleast_1d(ln.get_xdata()))) == 1]
    marked = sorted(float(np.atleast_1d(ln.get_xdata())[0]) for ln in vlines)
    np.testing.assert_allclose(marked, sorted([np.log(cvp.lambda_min), np.log(cvp.lambda_1se)]))
    assert ax.get_ylabel() == "Mean-squared error"
    fig.savefig(tmp_path / "cv.png")
    assert (tmp_path / "cv.png").stat().st_size > 1000


@pytest.mark.parametrize("family, measure, ylabels", [
    ("cox", "C", ("Coefficients", "Harrell's C")),
    ("multitask", "deviance", ("Coefficient norm over the responses", "Sum of squared errors"))])
def test_plots_of_the_cox_and_multitask_families(family, measure, ylabels):
    rng = np.random.default_rng(1)
    X = rng.standard_normal((60, 4))
    y = np.column_stack([rng.exponential(np.exp(-X[:, 0])), rng.random(60) < 0.7]) if family == "cox" \
        else X[:, :2] @ [[1.0, -1.0], [0.5, 2.0]] + rng.standard_normal((60, 2))
    cv = varnel.cv_path(X, y, family, nfolds=3, seed=0, measure=measure)
    fig, (left, right) = plt.subplots(1, 2)
    assert (cv.path.plot(ax=left).get_ylabel(), cv.plot(ax=right).get_ylabel()) == ylabels
    if family == "multitask":  # one curve per variable: the norm of its coefficients
        norms = np.sqrt((cv.path.coefs ** 2).sum(axis=1))
        curves = [ln.get_ydata() for ln in left.get_lines() if len(ln.get_xdata()) == cv.path.n_lambdas]
        np.testing.assert_allclose(curves[0], norms[np.flatnonzero(norms.any(axis=1))[0]])


def test_relaxed_cv_plot_draws_one_curve_per_blend():
    rng = np.random.default_rng(0)
    X = rng.standard_normal((60, 5))
    y = X[:, 0] - X[:, 1] + 0.5 * rng.standard_normal(60)
    cvp = varnel.cv_path(X, y, foldid=np.arange(60) % 4, relax=True, blend=[0.0, 0.5, 1.0])
    ax = cvp.plot()
    assert [c.get_label() for c in ax.containers] == ["blend = 0", "blend = 0.5", "blend = 1"]
    for bars, cvm in zip(ax.containers, cvp.cvm_blends):
        np.testing.assert_allclose(bars.lines[0].get_ydata(), cvm)
        np.testing.assert_allclose(bars.lines[0].get_xdata(), np.log(cvp.lambdas))


@pytest.mark.parametrize("xvar", ["lambda", "norm", "dev"])
def test_group_plot_draws_each_group_norm(xvar):
    """kind="groups": one curve per group that enters, its coefficients'
    Euclidean norm, named by the group; the top axis counts the groups in."""
    rng = np.random.default_rng(0)
    X = rng.standard_normal((80, 6))
    y = X[:, 0] + X[:, 1] - X[:, 4] + 0.5 * rng.standard_normal(80)
    path = varnel.fit_path(X, y, feature_groups=["a", "a", "b", "b", "c", "c"])
    fig, ax = plt.subplots()
    assert path.plot(xvar=xvar, ax=ax, kind="groups", label=True) is ax
    curves = [ln for ln in ax.get_lines() if len(ln.get_xdata()) == path.n_lambdas]
    norms = np.sqrt(np.add.reduceat(path.coefs ** 2, [0, 2, 4], axis=0))
    entered = np.flatnonzero((norms > 0).any(axis=1))
    assert [c.get_label() for c in curves] == [["a", "b", "c"][g] for g in entered]
    for c, g in zip(curves, entered):
        np.testing.assert_allclose(c.get_ydata(), norms[g])
    assert ax.get_ylabel() == "Group norm"
    with pytest.raises(ValueError, match="plot kind must be 'coefs' or 'groups', got 'group'"):
        path.plot(kind="group")
