"""One host process's clock on a shared database, run as a process of its own by the tests that kill it.

It claims due worlds and ticks them, as the clock of `kest serve` does, until it is killed. Its first
line of output is its lease owner's id.
"""

import os
import sys
import time

from kest.server.settings import Settings
from kest.server.store import open_store
from kest.server.worlds import WorldService
from kest.server.writer import GroupWriter


def main(url: str, key: str, lease_seconds: float) -> None:
    store = open_store(url, lease_seconds=lease_seconds, address=f"worker {os.getpid()}")
    service = WorldService(store, GroupWriter(store), key, Settings(1.0, 64, None, None, {}))
    print(store.holder.owner, flush=True)
    while True:
        for world_id in store.reads().due_worlds(time.time(), 100):
            service.advance(world_id)
        time.sleep(0.01)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], float(sys.argv[3]))
