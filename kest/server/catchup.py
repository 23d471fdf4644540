"""Catching up many suspended worlds at once, after an outage, on any executor: a Dask cluster's
`distributed.Client` too, through `kest.parallel.run_batch`.

Every worker opens the host's database itself and resumes worlds as a `kest serve` process would: the
world service resumes each (verifying its bundle and resolving the epochs it missed, at most its
maxCatchup), taking the world's lease as it writes, and suspends it again, which hands the lease back. So
the batch and any running servers share the worlds safely: a world a server owns meanwhile is left to it.
Workers read the server key from the host's folder, so on a cluster that folder is a shared mount.
"""

import functools
import threading
from pathlib import Path

from kest import jsontext
from kest.parallel import Outcome, run_batch
from kest.server.app import close_service, open_service
from kest.server.config import ServerConfig
from kest.server.errors import HostError
from kest.server.store import NotOwner
from kest.server.worlds import WorldService

# One world service per worker process and host, kept between tasks: a connection pool is worth keeping.
_services: dict[tuple[str, str], WorldService] = {}
_services_lock = threading.Lock()


def _service(data_dir: str, database: str) -> WorldService:
    with _services_lock:
        service = _services.get((data_dir, database))
        if service is None:
            service = _services[data_dir, database] = open_service(ServerConfig(Path(data_dir), database))
        return service


def close_services() -> None:
    """Closes this process's world services (their leases go back at once)."""
    with _services_lock:
        for service in _services.values():
            close_service(service)
        _services.clear()


def catch_up_world(data_dir: str, database: str, world_id: str) -> Outcome:
    """Resumes a suspended world, resolving its missed epochs, and suspends it again at its new head.
    The output is {"worldId", "epoch", "headSeq", "status"}; a world that is live (a server resumed it)
    or owned by another process is left alone and refused with the reason."""
    service = _service(data_dir, database)
    try:
        if service.row(world_id).status != "suspended":
            return Outcome(None, f"world {world_id} is live: its owner keeps it up to date")
        service.resume(world_id)
        service.suspend(world_id)
    except (HostError, NotOwner) as refusal:
        return Outcome(None, str(refusal))
    return Outcome(jsontext.dumps(service.summary(world_id)), None)


def suspended_worlds(data_dir: str, database: str) -> list[str]:
    reads = _service(data_dir, database).store.reads()
    return [world_id for world_id in reads.world_ids() if reads.head(world_id).status == "suspended"]


def catch_up(executor, data_dir: str, database: str, world_ids: list[str], per_task: int = 16) -> list[Outcome]:
    """Catches up `world_ids` on `executor`, `per_task` worlds per task; outcomes in order."""
    return run_batch(executor, functools.partial(catch_up_world, data_dir, database), world_ids, per_task)
