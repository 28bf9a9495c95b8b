"""Where a batch's runs execute: one after another in this process, in local
worker processes, or on a Dask cluster. Runs are tasks in separate processes
because every engine call holds the interpreter lock for its whole length.
Local workers are plain child processes that die with the client; every path
a task gets is absolute."""

from __future__ import annotations

import contextlib
import os
import pickle
import selectors
import signal
import subprocess
import sys
import time
from collections import deque

from .batch_task import _ignore_interrupts, audit_task
from .errors import Terminated

SCHEDULER_HINT = ("--scheduler needs dask and distributed, which are not installed; "
                  "install them with: pip install 'tarvix[cluster]'")
SCHEDULER_TIMEOUT_S = 30
WORKER_LOST = "the worker process auditing this run ended abruptly (out of memory, or killed)"


class BackendError(RuntimeError):
    """The runs cannot be sent where they were asked to go (a missing extra,
    an unreachable scheduler)."""


class SerialBackend:
    """In this process, one run after another."""

    def __init__(self):
        self._tasks = []

    def submit(self, index, *args):
        self._tasks.append((index, args))
        return index

    def completed(self, futures):
        for index, args in self._tasks:
            yield index, audit_task(*args)

    def cancel(self, futures):
        pass

    def close(self):
        pass


def _parent_death_signal() -> None:
    """Ask the kernel to kill this process when the client that started it
    ends, however it ends (SIGKILL included): no worker outlives its batch."""
    if not sys.platform.startswith("linux"):
        return
    import ctypes

    PR_SET_PDEATHSIG = 1
    with contextlib.suppress(OSError, AttributeError):
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def worker_main(parent: int) -> int:
    """A worker process: runs the tasks it reads from stdin, one at a time, and
    writes each outcome to stdout, until stdin closes."""
    _parent_death_signal()
    if os.getppid() != parent:  # the client was gone before the request took effect
        return 1
    _ignore_interrupts()
    # A SIGTERM to the whole job (a scheduler cancelling it) stops the run as
    # an interrupt does, so that the run's earlier files go back.
    signal.signal(signal.SIGTERM, _terminated)
    # Only outcomes travel on the real stdout; anything a library prints goes to stderr.
    channel = os.fdopen(os.dup(1), "wb")
    os.dup2(2, 1)
    source = sys.stdin.buffer
    try:
        while True:
            try:
                args = pickle.load(source)
            except EOFError:
                return 0
            pickle.dump(audit_task(*args), channel)
            channel.flush()
    except Terminated:
        return 128 + signal.SIGTERM


def _terminated(signum, frame):
    raise Terminated(signum)


# A worker asks for the parent-death signal before it imports anything, so that
# a client killed while its workers are still starting takes them along too.
WORKER_START = ("import ctypes, os, signal, sys\n"
                "try:\n"
                "    ctypes.CDLL(None).prctl(1, signal.SIGKILL)\n"
                "except (OSError, AttributeError):\n"
                "    pass\n"
                "if os.getppid() != int(sys.argv[1]):\n"
                "    os._exit(1)\n"
                "from tarvix.batch_backends import worker_main\n"
                "sys.exit(worker_main(int(sys.argv[1])))\n")


class _Worker:
    def __init__(self):
        self.proc = subprocess.Popen([sys.executable, "-c", WORKER_START, str(os.getpid())],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, close_fds=True)
        self.index = None  # the run it holds

    def send(self, index, args) -> None:
        self.index = index
        pickle.dump(args, self.proc.stdin)
        self.proc.stdin.flush()

    def receive(self):
        """The outcome of the run it holds; None when the process ended without one."""
        try:
            return pickle.load(self.proc.stdout)
        except (EOFError, OSError, pickle.UnpicklingError):
            return None

    def end(self, timeout: float = 60) -> None:
        with contextlib.suppress(OSError):
            self.proc.stdin.close()
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        with contextlib.suppress(OSError):
            self.proc.stdout.close()

    def lost(self) -> str:
        """What happened to the process that held a run."""
        with contextlib.suppress(subprocess.TimeoutExpired):
            self.proc.wait(5)
        code = self.proc.returncode
        if code is not None and code < 0:
            with contextlib.suppress(ValueError):
                return f"{WORKER_LOST}: {signal.Signals(-code).name}"
        return WORKER_LOST if code is None else f"{WORKER_LOST}: exit status {code}"


class ProcessBackend:
    """N worker processes on this machine, each a plain child process of the
    client that runs one run at a time. A worker that dies fails only the run
    it held, and a new one takes the runs still queued; each worker dies with
    the client."""

    def __init__(self, jobs: int):
        self._jobs = jobs
        self._queue = deque()
        self._workers: list[_Worker] = []

    def submit(self, index, *args):
        self._queue.append((index, args))
        return index

    def completed(self, futures):
        selector = selectors.DefaultSelector()
        busy = {}
        try:
            while self._queue or busy:
                while self._queue and len(busy) < self._jobs:
                    worker = next((w for w in self._workers if w.index is None), None)
                    if worker is None:
                        worker = _Worker()
                        self._workers.append(worker)
                    index, args = self._queue.popleft()
                    try:
                        worker.send(index, args)
                    except OSError:  # it died while idle: the run it was handed fails as if it had started
                        self._workers.remove(worker)
                        lost = worker.lost()
                        worker.end(0)
                        yield index, ("error", lost, None)
                        continue
                    busy[worker.proc.stdout.fileno()] = worker
                    selector.register(worker.proc.stdout, selectors.EVENT_READ, worker)
                for key, _ in selector.select():
                    worker = key.data
                    selector.unregister(key.fileobj)
                    del busy[key.fd]
                    index, outcome = worker.index, worker.receive()
                    worker.index = None
                    if outcome is None:
                        outcome = ("error", worker.lost(), None)
                        self._workers.remove(worker)
                        worker.end(0)
                    yield index, outcome
        finally:
            selector.close()

    def cancel(self, futures):
        self._queue.clear()

    def close(self):
        # The runs already started finish their files; queued ones never start.
        self._queue.clear()
        for worker in self._workers:
            if worker.index is not None:
                worker.receive()
            worker.end()
        self._workers.clear()


class DaskBackend:
    """A task per run on a running Dask distributed scheduler."""

    def __init__(self, address: str):
        try:
            import distributed
        except ImportError:
            raise BackendError(SCHEDULER_HINT) from None
        self._distributed = distributed
        try:
            self._client = distributed.Client(address, timeout=SCHEDULER_TIMEOUT_S)
        except (OSError, TimeoutError, ValueError) as e:
            raise BackendError(f"cannot reach the Dask scheduler at {address}: {e}") from None
        self._index = {}

    def submit(self, index, *args):
        # pure=False: a rerun of the same run must run again, not reuse a cached result.
        future = self._client.submit(audit_task, *args, pure=False, key=f"tarvix-run-{index}-{os.urandom(4).hex()}")
        self._index[future.key] = index
        return future

    def completed(self, futures):
        for future in self._distributed.as_completed(futures):
            if future.status == "cancelled":
                continue
            try:
                outcome = future.result()
            except self._distributed.KilledWorker:
                outcome = ("error", WORKER_LOST, None)
            yield self._index[future.key], outcome

    def cancel(self, futures):
        pending = [f for f in futures if not f.done()]
        if pending:
            self._client.cancel(pending)

    def close(self):
        self._client.close()


def make_backend(jobs: int | None = None, scheduler: str | None = None):
    if scheduler:
        return DaskBackend(scheduler)
    if jobs and jobs > 1:
        return ProcessBackend(jobs)
    return SerialBackend()


def default_threads(jobs: int | None, scheduler: str | None) -> int | None:
    """Engine threads per run: the machine's cores shared between the local
    workers; one per task on a cluster, whose workers run one task per thread."""
    if scheduler:
        return 1
    if jobs and jobs > 1:
        return max(1, (os.cpu_count() or 1) // jobs)
    return None
