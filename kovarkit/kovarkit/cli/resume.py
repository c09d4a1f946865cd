"""A `kovarkit fit` run through its temporary directory, resumable: the run
locks OUT.kovarkit-tmp, stages every finished block there, writes the
outputs from the staged blocks in block order (so an interrupted and resumed
run writes the bytes of an uninterrupted one) and moves them into place.
A leftover of a killed run is resumed with --resume, refused otherwise
(unless --force, which starts afresh)."""

import time

from ..errors import KitError
from ..formats.journal import Journal, identity, resume_command
from ..formats.tempout import TempOutput, remove
from .signals import Interrupted, interrupted

# Options that do not change the outputs' bytes: free to differ on a resume.
FREE = {"command", "command_line", "out", "force", "resume", "quiet", "threads", "memory",
        "sources", "mask", "cntl"}


class StagedRun:
    """The temporary directory of OUT, locked, and the journal in it."""

    def __init__(self, args, out):
        self.args, self.out = args, out
        self.tmp = TempOutput(out, args.command_line)
        self.keep = False  # on failure: keep what a resume needs
        try:
            self.journal = Journal(self.tmp.path)
            r = self.journal.record
            if r is not None and not args.resume and not args.force:
                self.keep = True
                raise KitError(f"{self.tmp.path}: left by an interrupted run "
                               f"({self.journal.summary()}); resume it with: "
                               f"{resume_command(r['command'])} (or start afresh with --force)")
            if r is None or not args.resume:
                self.tmp.clear()
                self.journal.record = None
            self.keep = args.resume
        except BaseException:
            self.tmp.close(keep=self.keep)
            raise

    @property
    def written(self):
        """Whether a killed run had already written the final outputs."""
        r = self.journal.record
        return r is not None and r["written"]

    def rows(self, rows):
        """The lines per block: on a resume those of the interrupted run,
        refused if more than rows (which the memory budget allows)."""
        r = self.journal.record
        if r is None:
            return rows
        had = r["layout"]["rows"]
        if had > rows:
            raise KitError(f"{self.tmp.path}: the interrupted run fit blocks of {had} lines, "
                           f"this one has memory for {rows}; give it the --memory it had")
        return had

    def begin(self, src_paths, settings, layout):
        """Starts the journal, or checks that it records this very run:
        src_paths, the options (settings: the values they resolve to, which
        take the place of the options' text) and the block layout."""
        options = {k: v for k, v in vars(self.args).items() if k not in FREE}
        run = dict(command=self.args.command_line, started=time.strftime("%Y-%m-%dT%H:%M:%S%z"),
                   sources=identity(src_paths), options=dict(options, **settings),
                   layout=dict(layout, blocks=-(-layout["height"] // layout["rows"])))
        if self.journal.record is None:
            self.journal.start(run)
        else:
            self.journal.check(run)

    @property
    def block_rows(self):
        return self.journal.record["layout"]["rows"]

    def pending(self):
        """(block number, first line) of the blocks still to fit."""
        return [(k, k * self.block_rows) for k in self.journal.pending()]

    def stage(self, k, products):
        self.journal.stage(k, products)

    def finish(self, make_writer, made, targets, names):
        """Writes the outputs from the staged blocks (made: their paths in
        the temporary directory; make_writer: a writer opened on them), in
        block order, then moves them to targets."""
        if not self.written:
            for p in made:
                remove(p)
            writer = make_writer()
            try:
                for k in range(self.journal.record["layout"]["blocks"]):
                    writer.write(self.journal.staged(k, names), k * self.block_rows)
                writer.close()
            finally:
                writer.close()
            self.journal.mark_written(made)
        self.tmp.commit(made, targets)

    def file(self, name):
        return self.tmp.file(name)

    def __enter__(self):
        return self

    def __exit__(self, kind, e, tb):
        keep = e is not None and self.keep and self.journal.record is not None
        self.tmp.close(keep=keep)
        if isinstance(e, KeyboardInterrupt):
            e = interrupted(e)
            if keep:
                note = (f"; {self.journal.summary().split(',')[0]}: resume with: "
                        f"{resume_command(self.journal.record['command'])}")
            else:
                note = "; the temporary outputs removed"
            raise Interrupted(e.signum, note) from None
