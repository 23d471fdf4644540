"""Real-time rooms under load: `kest serve` in one process, asyncio bots in another.

    python bench/bench_rooms.py [--rooms 20] [--players 8] [--seconds 60] [--reconnects 1000]

Each bot is a player that does not predict: it acknowledges every frame and sends one command a
frame. Reported: the rooms' p99 lateness of a frame's start (the server's own count) and their
overruns, p99 from a command's send to the arrival of the frame that holds it, frames missed or
repeated, the server's CPU and memory per client; then forced disconnects, each timed from the
drop to the first frame of the new connection, with every frame checked to come exactly once.
"""

import argparse
import asyncio
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time

import httpx

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from kest import world  # noqa: E402
from kest.client import RoomClient  # noqa: E402


def percentile(values: list[float], fraction: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))] if ordered else float("nan")


# -- the bots' process ----------------------------------------------------------------------


async def player(url: str, token: str, seconds: float, latencies: list, frames_seen: list) -> None:
    client = await RoomClient.join(url, token, predict=False, follow_state=False)
    sent: dict[int, float] = {}
    numbers = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        frame = await client.next_frame()
        now = time.monotonic()
        numbers.append(frame.number)
        for command in frame.commands:
            if command["playerId"] == client.player_id and command["seq"] in sent:
                latencies.append(now - sent.pop(command["seq"]))
        seq = await client.command("strike", "ogre")
        sent[seq] = time.monotonic()
    frames_seen.append(numbers)
    await client.close()


async def dropper(url: str, token: str, drops: int, back_times: list, frames_seen: list) -> None:
    client = await RoomClient.join(url, token, predict=False, follow_state=False)
    numbers = [(await client.next_frame()).number]
    for _ in range(drops):
        await client.drop()
        dropped_at = time.monotonic()
        reconnects = client.counts["reconnects"]
        while client.counts["reconnects"] == reconnects:
            numbers.append((await client.next_frame()).number)
        back_times.append(time.monotonic() - dropped_at)
        numbers.append((await client.next_frame()).number)
    frames_seen.append(numbers)
    await client.close()


def frame_faults(frames_seen: list[list[int]]) -> tuple[int, int]:
    """Frames missed and frames repeated over every bot's sequence."""
    missed = repeated = 0
    for numbers in frames_seen:
        for before, after in zip(numbers, numbers[1:], strict=False):
            missed += max(0, after - before - 1)
            repeated += after <= before
    return missed, repeated


async def run_bots(plan: dict) -> dict:
    latencies, seen, back_times, dropped_seen = [], [], [], []
    await asyncio.gather(
        *(player(url, token, plan["seconds"], latencies, seen) for url, token in plan["players"]),
    )
    drops_each = max(1, plan["reconnects"] // max(1, len(plan["droppers"])))
    await asyncio.gather(
        *(dropper(url, token, drops_each, back_times, dropped_seen) for url, token in plan["droppers"]),
    )
    missed, repeated = frame_faults(seen)
    drop_missed, drop_repeated = frame_faults(dropped_seen)
    return {
        "commandToFrameP99Ms": percentile(latencies, 0.99) * 1e3,
        "commands": len(latencies),
        "framesMissed": missed,
        "framesRepeated": repeated,
        "reconnects": len(back_times),
        "backToLiveP99Ms": percentile(back_times, 0.99) * 1e3,
        "reconnectFramesMissed": drop_missed,
        "reconnectFramesRepeated": drop_repeated,
    }


# -- the driver -----------------------------------------------------------------------------


def room_world(players: int) -> dict:
    _, state = world.default_world()
    hero = state["entities"]["aria"]
    ogre = dict(state["entities"]["ogre"], properties={**state["entities"]["ogre"]["properties"], "hp": 10**12})
    entities = {f"p{index}": hero for index in range(players)} | {"ogre": ogre}
    return {"entities": entities}


def process_usage(pid: int) -> tuple[float, int]:
    """CPU seconds used so far and resident memory in bytes."""
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    rss = int(fields[21]) * os.sysconf("SC_PAGE_SIZE")
    return cpu, rss


def start_server(data_dir: str, port: int) -> tuple[subprocess.Popen, str]:
    command = [sys.executable, "-c", "import sys; from kest.cli import main; sys.exit(main())", "serve"]
    command += ["--data", data_dir, "--port", str(port)]
    server = subprocess.Popen(
        command, cwd=ROOT, stdout=subprocess.PIPE, text=True, env={**os.environ, "PYTHONPATH": str(ROOT)}
    )
    operator = None
    for line in server.stdout:
        if line.startswith("operator token "):
            operator = line.split()[-1]
        if line.startswith("kest host on"):
            return server, operator
    raise SystemExit("kest serve did not start")


def set_up(http: httpx.Client, operator: str, rooms: int, players: int, port: int) -> tuple[list, list, list]:
    """Worlds with their player tokens: (url, token) of every player, and one dropper per room."""
    player_plan, dropper_plan, reports = [], [], []
    for index in range(rooms):
        world_id = f"room-{index}"
        made = http.post(
            "/worlds", json={"worldId": world_id, "state": room_world(players + 1)}, headers=_bearer(operator)
        )
        made.raise_for_status()
        gm = made.json()["gmToken"]
        url = f"ws://127.0.0.1:{port}/worlds/{world_id}/room"
        for entity in range(players + 1):
            issued = http.post(
                f"/worlds/{world_id}/tokens", json={"role": "player", "entityId": f"p{entity}"}, headers=_bearer(gm)
            )
            (player_plan if entity < players else dropper_plan).append((url, issued.json()["token"]))
        reports.append((f"/worlds/{world_id}/room", gm))
    return player_plan, dropper_plan, reports


def _bearer(token: str) -> dict:
    return {"Authorization": f"Bearer {token}"}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rooms", type=int, default=20)
    parser.add_argument("--players", type=int, default=8)
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--reconnects", type=int, default=1000)
    parser.add_argument("--port", type=int, default=8950)
    parser.add_argument("--bots", help=argparse.SUPPRESS)  # the bots' process reads its plan here
    arguments = parser.parse_args()
    if arguments.bots:
        print(json.dumps(asyncio.run(run_bots(json.loads(pathlib.Path(arguments.bots).read_text())))))
        return
    with tempfile.TemporaryDirectory() as data_dir:
        server, operator = start_server(data_dir, arguments.port)
        try:
            with httpx.Client(base_url=f"http://127.0.0.1:{arguments.port}", timeout=30) as http:
                players, droppers, reports = set_up(http, operator, arguments.rooms, arguments.players, arguments.port)
                plan = {"players": players, "droppers": droppers, "seconds": arguments.seconds}
                plan["reconnects"] = arguments.reconnects
                plan_file = pathlib.Path(data_dir) / "plan.json"
                plan_file.write_text(json.dumps(plan))
                cpu_before, rss_before = process_usage(server.pid)
                started = time.monotonic()
                bots = subprocess.run(
                    [sys.executable, __file__, "--bots", str(plan_file)], capture_output=True, text=True
                )
                if bots.returncode:
                    raise SystemExit(bots.stderr)
                cpu_after, rss_after = process_usage(server.pid)
                elapsed = time.monotonic() - started
                rooms = [http.get(path, headers=_bearer(gm)).json() for path, gm in reports]
        finally:
            server.terminate()
            server.wait()
    result = json.loads(bots.stdout)
    clients = len(players) + len(droppers)
    open_rooms = [room for room in rooms if room.get("open")]
    worst_lateness = max((room["latenessP99Ms"] for room in open_rooms), default=float("nan"))
    overruns = sum(room["overruns"] for room in open_rooms)
    cut = sum(room["stalledCut"] for room in open_rooms)
    cpu = 100 * (cpu_after - cpu_before) / elapsed
    per_client = (rss_after - rss_before) / clients / 1024
    lines = [
        f"{arguments.rooms} rooms x {arguments.players} players, 20 Hz, {arguments.seconds:.0f} s",
        f"  frame start lateness p99: {worst_lateness:.2f} ms (worst room); frames over their period: {overruns}",
        f"  command to its frame p99: {result['commandToFrameP99Ms']:.1f} ms over {result['commands']} commands",
        f"  frames missed {result['framesMissed']}, repeated {result['framesRepeated']}; stalled clients cut: {cut}",
        f"  server: {cpu:.0f}% of a core, {per_client:.0f} KiB more resident memory per client",
        f"  {result['reconnects']} forced disconnects: back to live frames p99 {result['backToLiveP99Ms']:.1f} ms, "
        f"frames missed {result['reconnectFramesMissed']}, repeated {result['reconnectFramesRepeated']}",
    ]
    print("\n".join(lines))


if __name__ == "__main__":
    main()
