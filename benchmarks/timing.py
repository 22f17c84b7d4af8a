"""How the benchmarks time a call: in the calling thread's CPU time, a batch of calls per clock
reading, the fastest of many turns, the turns of every contender and every row spread over the
whole run.

The machine is shared and busy, and a wall clock counts the time that other work held the core
(in runs of three repeats it turned a ratio of 0.45 into 0.048 or 0.855). A thread's CPU time
counts only this thread's running. Reading that clock is a system call under some hypervisors
(about a microsecond on the development machine), so each reading covers a batch of calls that
lasts about `budget` seconds.

Other work still slows a running thread, and not every contender alike: on the development
machine, while the other core compiled, the plain libm loop took up to 1.4 times as long for
seconds at a stretch, and the module's vector lanes less, so that a ratio taken under that load
came out up to 15 % lower than on the quiet machine. Such slowing only ever adds time, so each
contender's time is its fastest turn, which tends to the quiet machine's time from above; a
ratio is the ratio of two fastest turns. For that, each contender must meet a quiet moment:
rather than timing one row after another, take_turns goes over all the rows of a table again
and again (a sweep gives each row's contenders their turns, in the same order), so that every
row's turns are spread over the whole run. Measured there under a load average of 5, ratios
of rows timed one after another (15 rounds over 0.3 to 1 s) moved by 10 to 25 % from one run
to the next, whether taken as the ratio of the minima, of low quantiles or as the median of
the ratios within a round; spread over sweeps, the ratio of the minima moved by 1 to 4 %.

Only the thread table measures parallelism, which a thread's CPU time cannot show: there the
wall clock is read (in_threads).
"""
import threading
import time
import timeit
from typing import NamedTuple

import numpy as np

CLOCK = time.thread_time


class Sweeps(NamedTuple):
    """How often take_turns goes over the rows (`count`), and how many rounds of turns each
    row takes in a sweep: as many as fill about `row_seconds` (at least one, at most four)."""
    count: int
    row_seconds: float


def batched(run, budget, took=None):
    """A function that times one batch: run(number) makes number calls in a row and returns
    the time per call. The number is found as timeit's autorange does (tenfold from 1 until a
    batch takes a tenth of budget), then scaled so that a batch takes about budget. `took`,
    the time of one call already made, spares that search where it is ten budgets or more (a
    first call may pay for what later calls find ready, so a shorter one is not trusted)."""
    number = 1
    if took is None or took < 10 * budget:
        took = run(1)
    while took * number < budget / 10 and number < 10**9:
        number *= 10
        took = run(number)
    number = max(1, int(budget / max(took, 1e-12)))
    return lambda: run(number)


def repeat_of(call, budget, args=(), took=None):
    """A function that times one batch of call(*args) and returns the thread CPU time per
    call (took as for batched). The call is compiled as a plain positional call, so no wrapper
    or argument unpacking is timed with it (timeit's own loop is)."""
    names = {"call": call, **{f"a{i}": a for i, a in enumerate(args)}}
    timer = timeit.Timer("call(" + ", ".join(f"a{i}" for i in range(len(args))) + ")", globals=names,
                         timer=CLOCK)
    return batched(lambda number: timer.timeit(number) / number, budget, took)


def on_warm_memory(batch, nbytes):
    """A turn that first fills an array of nbytes, untimed, and gives it back, then times the
    batch: its calls then get memory that the machine has already backed.

    The development machine is a virtual one whose hypervisor takes back the large blocks of
    memory that the guest has left free for a few seconds (free page reporting), and the
    first touch of such memory costs many ordinary page faults: np.ones(10**7) took 205 ms
    there, against 9 ms on memory touched before. An array of more than 32 MiB is mapped
    afresh by every allocation (glibc keeps no larger freed block for reuse), and NumPy asks
    for huge pages for it, so a call on 10**7 samples took 2 to 3 times as long after a pause
    of a few seconds in large allocations (pseudo_cycloid_wave: 244 to 293 ms against 134
    ms), whatever the call itself does. A NumPy array is filled, so that huge pages are
    touched as the call's own will be. The call's own allocations and page faults stay in
    its time."""
    def turn():
        np.ones(nbytes // 8)  # filled, so touched throughout, and given back at once
        return batch()

    return turn


def thread_seconds(call, *args):
    """(call(*args), its thread CPU time)."""
    began = CLOCK()
    result = call(*args)
    return result, CLOCK() - began


class Turns:
    """The readings of one row's contenders."""

    def __init__(self, names):
        self.readings = {name: [] for name in names}

    def best(self, name):
        """The contender's fastest turn."""
        return min(self.readings[name])

    def ratio(self, a, b):
        """a's fastest turn over b's."""
        return self.best(a) / self.best(b)


def take_turns(rows, sweeps, progress=None):
    """rows: {key: {contender: a function that times one turn}}. Goes over the rows
    sweeps.count times, each row's contenders taking their turns one after another in every
    round, calling progress(sweeps done, sweeps.count) after each sweep; returns {key: Turns}."""
    turns = {key: Turns(contenders) for key, contenders in rows.items()}
    per_sweep = {}
    for done in range(1, sweeps.count + 1):
        for key, contenders in rows.items():
            for _ in range(per_sweep.get(key, 1)):
                began = time.perf_counter()
                for name, once in contenders.items():
                    turns[key].readings[name].append(once())
                took = time.perf_counter() - began
            per_sweep.setdefault(key, max(1, min(4, int(sweeps.row_seconds / max(took, 1e-9)))))
        if progress:
            progress(done, sweeps.count)
    return turns


def in_threads(call, args, threads, calls):
    """The wall time of `threads` threads, released together, each making `calls` calls of
    call(*args) one after another."""
    start = threading.Barrier(threads + 1)

    def work():
        start.wait()
        for _ in range(calls):
            call(*args)

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for worker in workers:
        worker.start()
    start.wait()
    began = time.perf_counter()
    for worker in workers:
        worker.join()
    return time.perf_counter() - began
