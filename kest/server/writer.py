"""The one writer of a host process: jobs from every thread are committed in groups.

Jobs that arrive while a commit is running wait in the queue and go into the next transaction
together, each in its own savepoint. With synchronous=FULL one commit costs a disk flush, and a
group shares it: that is how a thousand proposals and hundreds of ticks a second become durable.
A job's future resolves only after COMMIT has returned: acknowledged means stored.
"""

import concurrent.futures
import logging
import queue
import threading

from kest.server.store import Job, Store

log = logging.getLogger("kest.server")
MAX_GROUP = 1024


class GroupWriter:
    def __init__(self, store: Store):
        self._store = store
        self._queue: queue.SimpleQueue = queue.SimpleQueue()
        self._thread = threading.Thread(target=self._run, name="kest-writer", daemon=True)
        self._thread.start()

    def submit(self, job: Job) -> concurrent.futures.Future:
        future: concurrent.futures.Future = concurrent.futures.Future()
        self._queue.put((job, future))
        return future

    def run(self, job: Job):
        """Commits `job` and returns its value, or raises what it raised."""
        return self.submit(job).result()

    def close(self) -> None:
        self._queue.put(None)
        self._thread.join()

    def _take_group(self) -> list | None:
        first = self._queue.get()
        if first is None:
            return None
        group = [first]
        while len(group) < MAX_GROUP:
            try:
                item = self._queue.get_nowait()
            except queue.Empty:
                break
            if item is None:
                self._queue.put(None)  # stop after this group
                break
            group.append(item)
        return group

    def _run(self) -> None:
        while (group := self._take_group()) is not None:
            jobs = [job for job, _ in group]
            try:
                outcomes = self._store.write(jobs)
            except Exception as failure:  # the transaction failed: nothing of the group is stored
                log.error("a write of %d jobs failed: %s", len(jobs), failure)
                for _, future in group:
                    future.set_exception(failure)
                continue
            for (_, future), outcome in zip(group, outcomes, strict=True):
                if outcome.failure is None:
                    future.set_result(outcome.value)
                else:
                    future.set_exception(outcome.failure)
