"""The temporary output of a command: a directory beside OUT (OUT.kovarkit-tmp)
where the outputs are made, held under an exclusive lock by one run at a
time, and moved into place when they are complete."""

import fcntl
import json
import os
import shutil
import socket
import time

from ..errors import KitError

SUFFIX = ".kovarkit-tmp"
LOCK = "lock"


def temporary_of(out):
    """The temporary output directory of OUT."""
    return out.rstrip("/\\") + SUFFIX


def remove(path):
    """Removes a file or a directory tree, if there is one."""
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.remove(path)


def fsync_path(path):
    """Flushes a file, or a directory's entries, to the disk."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def write_atomically(path, text):
    """Replaces path by text such that a kill leaves the old or the new text."""
    part = path + ".part"
    with open(part, "w") as fh:
        fh.write(text)
        fh.flush()
        os.fsync(fh.fileno())
    os.replace(part, path)
    fsync_path(os.path.dirname(path) or ".")


class TempOutput:
    """OUT's temporary directory, created if missing and locked (flock on
    DIR/lock) for as long as the object is open; the lock file names the
    holder. A second holder is refused with one line naming the first."""

    def __init__(self, out, command):
        self.out, self.path = out, temporary_of(out)
        self.fd = None
        if os.path.lexists(self.path) and not os.path.isdir(self.path):
            os.remove(self.path)  # the temporary file of an earlier kovarkit
        for _ in range(10):
            os.makedirs(self.path, exist_ok=True)
            lock = os.path.join(self.path, LOCK)
            fd = os.open(lock, os.O_RDWR | os.O_CREAT, 0o644)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                os.close(fd)
                raise KitError(f"{out}: being written by another run ({holder(lock)}); "
                               f"not started") from None
            except BaseException:
                os.close(fd)
                raise
            try:  # the holder before may have removed the directory meanwhile
                same = os.fstat(fd).st_ino == os.stat(lock).st_ino
            except FileNotFoundError:
                same = False
            if same:
                self.fd = fd
                break
            os.close(fd)
        else:
            raise KitError(f"{self.path}: cannot be locked: removed again and again")
        owner = dict(pid=os.getpid(), host=socket.gethostname(),
                     start=time.strftime("%Y-%m-%dT%H:%M:%S%z"), command=list(command))
        os.ftruncate(self.fd, 0)
        os.pwrite(self.fd, json.dumps(owner).encode(), 0)

    def file(self, name):
        return os.path.join(self.path, name)

    def clear(self):
        """Removes everything in the directory but the lock."""
        for name in os.listdir(self.path):
            if name != LOCK:
                remove(self.file(name))

    def commit(self, made, targets):
        """Moves the finished outputs made (paths in the directory) to their
        targets, replacing what is there; outputs already moved (by a run
        killed while it moved them) are skipped."""
        os.makedirs(os.path.dirname(os.path.abspath(targets[0])), exist_ok=True)
        for src, dst in zip(made, targets):
            if os.path.lexists(src):
                if os.path.isdir(src):
                    remove(dst)
                os.replace(src, dst)
        fsync_path(os.path.dirname(os.path.abspath(targets[0])))

    def close(self, keep=False):
        """Unlocks; removes the directory unless keep."""
        if self.fd is None:
            return
        try:
            if not keep:
                remove(self.path)
        finally:
            os.close(self.fd)
            self.fd = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def holder(lock):
    """'pid N on HOST since TIME: COMMAND' of the run holding a lock file."""
    try:
        with open(lock) as fh:
            o = json.load(fh)
        return (f"pid {o['pid']} on {o['host']} since {o['start']}: "
                f"{' '.join(o['command'])}")
    except (OSError, ValueError, KeyError, TypeError):
        return "starting"
