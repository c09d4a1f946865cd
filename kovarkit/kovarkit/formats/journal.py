"""Finished blocks of a run staged in its temporary directory, so that a
killed run can be resumed: each block's products as one uncompressed .npz
file, and a
journal (journal.json, replaced atomically) that records a block only after
its files are on the disk, with what the run was made of: the identity of
its sources (paths, sizes, modification times), its options and its block
layout. A resume with anything different is refused."""

import hashlib
import json
import os
import shlex
import time

import numpy as np

from ..errors import KitError
from .tempout import fsync_path, remove, write_atomically

JOURNAL = "journal.json"
BLOCKS = "blocks"
VERSION = 1


def identity(paths):
    """Path, size and modification time of each file; for a directory (a
    Zarr store) the number of its files and a digest of their names, sizes
    and modification times."""
    ident = []
    for p in paths:
        st = os.stat(p)
        entry = dict(path=os.path.realpath(p))
        if os.path.isdir(p):
            h, n = hashlib.sha256(), 0
            for d, dirs, files in os.walk(p):
                dirs.sort()
                for f in sorted(files):
                    s = os.stat(os.path.join(d, f))
                    h.update(f"{os.path.relpath(os.path.join(d, f), p)}\0{s.st_size}\0"
                             f"{s.st_mtime_ns}\n".encode())
                    n += 1
            entry.update(files=n, digest=h.hexdigest())
        else:
            entry.update(size=st.st_size, mtime_ns=st.st_mtime_ns)
        ident.append(entry)
    return ident


def resume_command(command):
    """The shell command that resumes a run started by command (a list)."""
    return shlex.join(list(command) + ([] if "--resume" in command else ["--resume"]))


def _plain(value):
    """value as it reads back from JSON (tuples become lists, and so on)."""
    return json.loads(json.dumps(value))


class Journal:
    """The journal and staged blocks in directory d; record is None until
    a run is started or loaded."""

    def __init__(self, d):
        self.dir = d
        self.path = os.path.join(d, JOURNAL)
        self.record = None
        if os.path.exists(self.path):
            try:
                with open(self.path) as fh:
                    self.record = json.load(fh)
            except ValueError:
                self.record = None  # never replaced half-written: not ours
            if not isinstance(self.record, dict) or self.record.get("version") != VERSION:
                self.record = None

    def summary(self):
        """'K of N blocks done' of a loaded journal."""
        r = self.record
        done = "all blocks done" if r["written"] else \
            f"{len(r['staged'])} of {r['layout']['blocks']} blocks done"
        return f"{done}, started {r['started']}"

    def start(self, run):
        """A new journal for run: dict(command=list, started=text,
        sources=identity(...), options=dict, layout=dict with 'blocks')."""
        os.makedirs(os.path.join(self.dir, BLOCKS), exist_ok=True)
        self.record = dict(_plain(run), version=VERSION, staged=[], written=False)
        self._save()

    def check(self, run):
        """Refuses a resume of the journal's run by run if its sources,
        options or block layout differ; one line names the first difference."""
        r, new = self.record, _plain(run)
        how = "not resumed (start afresh with --force instead of --resume)"
        old_paths = [s["path"] for s in r["sources"]]
        new_paths = [s["path"] for s in new["sources"]]
        if old_paths != new_paths:
            raise KitError(f"{self.dir}: the interrupted run read {' '.join(old_paths)}, this "
                           f"one {' '.join(new_paths)}; {how}")
        for old, now in zip(r["sources"], new["sources"]):
            if old != now:
                raise KitError(f"{now['path']}: changed since the interrupted run ("
                               f"{_difference(old, now)}); {how}")
        for part in ("options", "layout"):
            for k in sorted(set(r[part]) | set(new[part])):
                if r[part].get(k) != new[part].get(k):
                    raise KitError(f"{self.dir}: the interrupted run had {k} = "
                                   f"{r[part].get(k)!r}, this one {new[part].get(k)!r}; {how}")

    def pending(self):
        """Numbers of the blocks not yet staged, in order."""
        staged = set(self.record["staged"])
        return [k for k in range(self.record["layout"]["blocks"]) if k not in staged]

    def _file(self, k):
        return os.path.join(self.dir, BLOCKS, f"{k:06d}.npz")

    def stage(self, k, products):
        """Block k's products (name -> array) to the disk, then recorded."""
        with open(self._file(k), "wb") as fh:
            np.savez(fh, **products)
            fh.flush()
            os.fsync(fh.fileno())
        self.record["staged"].append(k)
        self._save()

    def staged(self, k, names):
        """Block k's products, read back."""
        with np.load(self._file(k), allow_pickle=False) as z:
            return {n: z[n] for n in names}

    def mark_written(self, made):
        """Records that the final outputs made (paths) are complete and on
        the disk; the staged blocks are no longer needed."""
        for p in made:
            for d, _, files in os.walk(p) if os.path.isdir(p) else [("", [], [p])]:
                for f in files:
                    fsync_path(os.path.join(d, f))
        self.record["written"] = True
        self._save()
        remove(os.path.join(self.dir, BLOCKS))

    def _save(self):
        write_atomically(self.path, json.dumps(self.record))


def _difference(old, now):
    """'size 100 then, 120 now, modified ...' of two identities of a path."""
    def shown(v):
        return time.strftime("%Y-%m-%dT%H:%M:%S", time.localtime(v // 10**9)) + \
            f".{v % 10**9:09d}"
    parts = []
    for k in old:
        if k == "path" or old[k] == now.get(k):
            continue
        if k == "digest":
            parts.append("files replaced or modified")
        elif k == "mtime_ns":
            parts.append(f"modified {shown(old[k])} then, {shown(now[k])} now")
        else:
            parts.append(f"{k} {old[k]} then, {now.get(k)} now")
    return ", ".join(parts)
