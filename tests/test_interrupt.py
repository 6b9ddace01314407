"""Ctrl-C stops a running fit of every entry point within a fraction of a
second, with KeyboardInterrupt, and an interrupted fit leaks nothing."""
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

pytestmark = pytest.mark.skipif(os.name != "posix", reason="needs POSIX signals")

CHILD = textwrap.dedent("""
    import resource, signal, sys, time
    import numpy as np, scipy.sparse as sp
    from varnel import _core

    rng = np.random.default_rng(0)
    n, p = 1500, 600
    x = rng.normal(size=(n, p))
    y = x[:, :40] @ rng.normal(size=40) + rng.normal(size=n)
    s = sp.csc_matrix(np.where(rng.random((n, p)) < 0.3, x, 0.0))
    lam = np.geomspace(1.0, 1e-7, 3000)
    opts = dict(user_lambda=lam, thresh=1e-16, maxit=10**9)
    fits = {
        "elnet_path": lambda: _core.elnet_path(x, y, **opts),
        "elnet_sparse": lambda: _core.elnet_sparse(n, p, s.indptr, s.indices, s.data, y, **opts),
        "fit": lambda: _core.fit((n, p, s.indptr, s.indices, s.data), (y > 0).astype(float),
                                 family="binomial", **opts),
    }
    run = fits[sys.argv[1]]

    print("start", flush=True)
    try:
        run()
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", time.time(), flush=True)

    # the interrupted path frees what it allocated: many alarms, flat memory
    signal.signal(signal.SIGALRM, signal.default_int_handler)
    def interrupted():
        signal.setitimer(signal.ITIMER_REAL, 0.02)
        try:
            run()
        except KeyboardInterrupt:
            return
        raise AssertionError("not interrupted")
    for _ in range(5):
        interrupted()
    rss = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    before = rss()
    for _ in range(40):
        interrupted()
    print("growth", rss() - before, flush=True)
""")


@pytest.mark.parametrize("entry", ["elnet_path", "elnet_sparse", "fit"])
def test_ctrl_c_stops_a_fit_promptly_and_leaks_nothing(entry):
    proc = subprocess.Popen([sys.executable, "-c", CHILD, entry], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().strip() == "start"
        time.sleep(0.5)
        sent = time.time()
        proc.send_signal(signal.SIGINT)
        line = proc.stdout.readline().split()
        out, err = proc.communicate(timeout=120)
    finally:
        proc.kill()
    assert line[:1] == ["interrupted"], (line, err)
    assert float(line[1]) - sent < 0.25
    growth_kib = int(out.split()[-1])
    assert growth_kib < 20 * 1024, out  # one leaked copy of x would be 7 MiB per fit
