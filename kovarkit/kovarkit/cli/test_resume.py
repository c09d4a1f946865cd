"""`kovarkit fit` killed, interrupted and resumed: SIGKILL at random points
then --resume gives the bytes of a run never killed; SIGINT and SIGTERM end
it with one line; a resume of anything else, and a second writer, refused."""

import json
import os
import random
import signal
import sys
import time

import numpy as np
import pytest

rasterio = pytest.importorskip("rasterio")
pytest.importorskip("rasterio.transform")
pytest.importorskip("xarray")
pytest.importorskip("zarr")

from kovarkit.cli import main  # noqa: E402
from kovarkit.formats.journal import Journal  # noqa: E402
from kovarkit.formats.tempout import TempOutput  # noqa: E402
from kovarkit.test_support import run_kit  # noqa: E402

H, W, T = 12, 20, 23  # one line per block within 64K: 12 blocks
OPTIONS = ["--memory", "64K", "--npoint", "23", "--nfunc", "3", "--threads", "1", "--quiet"]


@pytest.fixture(scope="module")
def source(tmp_path_factory):
    path = tmp_path_factory.mktemp("src") / "stack.tif"
    values = np.random.default_rng(9).integers(200, 1400, (T, H, W), dtype=np.int16)
    with rasterio.open(path, "w", driver="GTiff", width=W, height=H, count=T,
                       dtype="int16", crs="EPSG:32633",
                       transform=rasterio.transform.from_origin(500000, 4600000, 30, 30)) as ds:
        ds.write(values)
    return str(path)


def fork_fit(out, src, *extra, stderr=os.devnull, after_block=None, before_commit=None):
    """Pid of a child process running `kovarkit fit`, its final write slowed
    by 2 ms a block so that kills land within it; after_block(blocks staged)
    and before_commit() run in it at those points (to hold it there)."""
    pid = os.fork()
    if pid:
        return pid
    status = 1
    try:
        sys.stdout = sys.stderr = open(stderr, "w")

        def staged(*a, _f=Journal.staged):
            time.sleep(0.002)
            return _f(*a)

        def stage(self, *a, _f=Journal.stage):
            _f(self, *a)
            if after_block:
                after_block(len(self.record["staged"]))

        def commit(*a, _f=TempOutput.commit):
            if before_commit:
                before_commit()
            return _f(*a)
        Journal.staged, Journal.stage, TempOutput.commit = staged, stage, commit
        status = main(["fit", src, "--out", out, *OPTIONS, *extra])
    finally:
        sys.stderr.flush()
        os._exit(status)


def wait_for(pid, out, ready):
    """Waits until ready(journal, names in the temporary directory) holds
    for out (or pid has ended)."""
    tmp = out + ".kovarkit-tmp"
    while os.waitpid(pid, os.WNOHANG) == (0, 0):
        try:
            with open(os.path.join(tmp, "journal.json")) as fh:
                if ready(json.load(fh), os.listdir(tmp)):
                    return True
        except (OSError, ValueError):
            pass
        time.sleep(0.0005)
    return False


def ended(pid):
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


def tree(path):
    """Relative path -> bytes of every file below path (or of path)."""
    if os.path.isfile(path):
        return {"": open(path, "rb").read()}
    return {os.path.relpath(os.path.join(d, f), path): open(os.path.join(d, f), "rb").read()
            for d, _, files in os.walk(path) for f in files}


@pytest.mark.parametrize("name", ["o.zarr", "o.nc", "tifs"])
def test_three_kills_at_random_points_then_resume_give_the_bytes_of_one_run(
        source, tmp_path, name):
    ref, out = str(tmp_path / ("ref-" + name)), str(tmp_path / name)
    assert run_kit("fit", source, "--out", ref, *OPTIONS)[0] == 0
    seed = random.randrange(2**32)
    rng = random.Random(seed)
    done = 0
    for kill in range(3):
        # within the blocks left, or (at least the third time) in the final write
        j = rng.randint(done + 1, H + 1) if kill < 2 else H + 1
        pid = fork_fit(out, source, *(["--resume"] if kill else []),
                       before_commit=lambda: time.sleep(3600))  # never too late
        wait_for(pid, out, lambda r, names: len(r["staged"]) >= j or
                 j > H and any(n.startswith("final") for n in names))
        time.sleep(rng.uniform(0, 0.05))
        os.kill(pid, signal.SIGKILL)
        assert ended(pid) == -signal.SIGKILL, seed
        done = len(Journal(out + ".kovarkit-tmp").record["staged"])
    status, _, err = run_kit("fit", source, "--out", out, *OPTIONS)
    assert status == 1 and err.count("\n") == 1 and "left by an interrupted run" in err, err
    assert f"resume it with: kovarkit fit {source} --out {out} " in err and \
        "--quiet --resume (or start afresh with --force)" in err, err
    assert run_kit("fit", source, "--out", out, *OPTIONS, "--resume") == (0, f"wrote {out}: "
                   + ", ".join(["p", "f", "order", "aic", "min", "max"]) + "\n", ""), seed
    assert sorted(os.listdir(tmp_path)) == sorted([os.path.basename(ref), name])
    assert tree(out) == tree(ref), seed


def test_signals_stop_with_one_line_and_a_resume_refuses_another_run(source, tmp_path):
    out = str(tmp_path / "o.nc")
    tmp = out + ".kovarkit-tmp"
    err = str(tmp_path / "err")
    for sig, extra, status, tail in [
            (signal.SIGINT, [], 130, "; the temporary outputs removed"),
            (signal.SIGTERM, ["--resume"], 143, " blocks done: resume with: kovarkit fit ")]:
        pid = fork_fit(out, source, *extra, stderr=err,
                       after_block=lambda n: n >= 2 and time.sleep(3600))
        assert wait_for(pid, out, lambda r, _: len(r["staged"]) >= 2)
        os.kill(pid, sig)
        assert ended(pid) == status
        with open(err) as fh:
            text = fh.read()
        assert text.startswith(f"kovarkit: fit: interrupted ({sig.name});") and \
            tail in text and text.count("\n") == 1, text
        assert os.path.exists(tmp) == bool(extra) and not os.path.exists(out)
    # the leftover is resumed only by the same run: sources, options, layout
    copy = str(tmp_path / "stack.tif")
    with open(source, "rb") as a, open(copy, "wb") as b:
        b.write(a.read())
    for argv, message in [
            ([source, "--nfunc", "2"], "the interrupted run had nfunc = 3, this one 2; "
                                       "not resumed"),
            ([source, "--scale", "2"], "had scale = 1.0, this one 2.0"),
            ([copy], f"the interrupted run read {source}, this one {copy}; not resumed")]:
        status, _, text = run_kit("fit", argv[0], "--out", out, *OPTIONS, *argv[1:],
                                  "--resume")
        assert status == 1 and text.count("\n") == 1 and message in text, text
    os.utime(source)
    status, _, text = run_kit("fit", source, "--out", out, *OPTIONS, "--resume")
    assert status == 1 and f"{source}: changed since the interrupted run (modified 20" in text
    # a second writer, fit or seasons, is refused naming the first, which then finishes
    assert run_kit("fit", source, "--out", out, *OPTIONS, "--force")[0] == 0
    fitted = str(tmp_path / "fit.nc")
    os.rename(out, fitted)
    hold, release = os.pipe()
    pid = fork_fit(out, source, after_block=lambda n: n == 1 and os.read(hold, 1))
    assert wait_for(pid, out, lambda r, _: len(r["staged"]) == 1)
    second = [run_kit("fit", source, "--out", out, *OPTIONS),
              run_kit("seasons", fitted, "--out", out)]
    os.write(release, b"x")
    os.close(hold), os.close(release)
    for status, _, text in second:
        assert status == 1 and text.count("\n") == 1 and \
            f"{out}: being written by another run (pid {pid} on " in text and \
            f": kovarkit fit {source} --out {out} --memory 64K" in text, text
    assert ended(pid) == 0 and os.path.isfile(out) and not os.path.exists(tmp)
    # with --resume and nothing to resume, the run starts afresh
    assert run_kit("fit", source, "--out", out, *OPTIONS, "--force", "--resume")[0] == 0
