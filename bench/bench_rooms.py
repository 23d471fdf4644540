"""Real-time rooms under load: `kest serve` in one process, asyncio bots in another.

    python bench/bench_rooms.py [--rooms 20] [--players 8] [--seconds 60] [--reconnects 1000]
                                [--steps 30,40,50,60,80] [--step-seconds 20] [--rate 20]

Each bot is a player that does not predict: it acknowledges every frame and sends one command a
frame. A run measures the rooms' p99 lateness of a frame's start (the server's own count), frames
over their period and clock restarts (a frame is never skipped; a clock a period behind starts its
schedule again, which is counted), p99 from a command's send to the arrival of the frame that holds
it (an upper bound of send to broadcast), frames missed or repeated at the bots, and the server's CPU
and memory per client. The first run (--rooms) then forces disconnects, each timed from the drop to
the first frame of the new connection, with every frame checked to come exactly once. Then the room
count steps up (--steps, a fresh server each, --step-seconds long) until a step breaks a bound; the
largest count that held them is reported. Every run is bounded in time. Printed as a table.
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

RECONNECT_SECONDS = 180.0  # the forced disconnects stop after this long, however many are done


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


async def dropper(url: str, token: str, drops: int, until: float, back_times: list, frames_seen: list) -> None:
    client = await RoomClient.join(url, token, predict=False, follow_state=False)
    numbers = [(await client.next_frame()).number]
    for _ in range(drops):
        if time.monotonic() > until:
            break
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
    if plan["reconnects"]:
        drops_each = -(-plan["reconnects"] // len(plan["droppers"]))
        until = time.monotonic() + plan["reconnectSeconds"]
        await asyncio.gather(
            *(dropper(url, token, drops_each, until, back_times, dropped_seen) for url, token in plan["droppers"]),
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


def start_server(data_dir: str, port: int, rate: int) -> tuple[subprocess.Popen, str]:
    command = [sys.executable, "-c", "import sys; from kest.cli import main; sys.exit(main())", "serve"]
    command += ["--data", data_dir, "--port", str(port), "--room-rate", str(rate)]
    server = subprocess.Popen(
        command, cwd=ROOT, stdout=subprocess.PIPE, text=True, env={**os.environ, "PYTHONPATH": str(ROOT)}
    )
    operator = None
    for line in server.stdout:
        if line.startswith("operator token "):
            operator = line.split()[-1]
        if line.startswith("kest host on"):
            break
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline and server.poll() is None:
        try:
            if httpx.get(f"http://127.0.0.1:{port}/health", timeout=1).status_code == 200:
                return server, operator
        except httpx.TransportError:
            time.sleep(0.05)
    server.kill()
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


def measure(rooms: int, players: int, seconds: float, reconnects: int, rate: int, port: int) -> dict:
    """One run on a fresh server: the bots' figures, the rooms' own and the server's usage."""
    with tempfile.TemporaryDirectory() as data_dir:
        server, operator = start_server(data_dir, port, rate)
        try:
            with httpx.Client(base_url=f"http://127.0.0.1:{port}", timeout=30) as http:
                player_plan, droppers, reports = set_up(http, operator, rooms, players, port)
                plan = {"players": player_plan, "droppers": droppers, "seconds": seconds, "reconnects": reconnects}
                plan["reconnectSeconds"] = RECONNECT_SECONDS
                plan_file = pathlib.Path(data_dir) / "plan.json"
                plan_file.write_text(json.dumps(plan))
                cpu_before, rss_before = process_usage(server.pid)
                started = time.monotonic()
                bots = subprocess.run(
                    [sys.executable, __file__, "--bots", str(plan_file)],
                    capture_output=True,
                    text=True,
                    timeout=seconds + RECONNECT_SECONDS + 120,
                )
                if bots.returncode:
                    raise SystemExit(bots.stderr)
                cpu_after, rss_after = process_usage(server.pid)
                elapsed = time.monotonic() - started
                reported = [http.get(path, headers=_bearer(gm)).json() for path, gm in reports]
        finally:
            server.terminate()
            server.wait()
    result = json.loads(bots.stdout)
    open_rooms = [room for room in reported if room.get("open")]
    clients = len(player_plan) + len(droppers)
    return {
        **result,
        "rooms": rooms,
        "clients": clients,
        "latenessP99Ms": max((room["latenessP99Ms"] or 0.0 for room in open_rooms), default=float("nan")),
        "overruns": sum(room["overruns"] for room in open_rooms),
        "rebased": sum(room["rebased"] for room in open_rooms),
        "stalledCut": sum(room["stalledCut"] for room in open_rooms),
        "cpuPercent": 100 * (cpu_after - cpu_before) / elapsed,
        "kibPerClient": (rss_after - rss_before) / clients / 1024,
    }


def holds(run: dict, rate: int) -> bool:
    """The bounds: frame starts late by 10 ms at most (p99), a command in its frame within a period
    and 15 ms (p99), no frame missed, repeated or rescheduled."""
    return (
        run["latenessP99Ms"] <= 10
        and run["commandToFrameP99Ms"] <= 1000 / rate + 15
        and run["framesMissed"] == run["framesRepeated"] == run["rebased"] == 0
    )


COLUMNS = [
    ("rooms", "rooms", "{:d}"),
    ("clients", "clients", "{:d}"),
    ("start late p99 ms", "latenessP99Ms", "{:.2f}"),
    ("cmd->frame p99 ms", "commandToFrameP99Ms", "{:.1f}"),
    ("over period", "overruns", "{:d}"),
    ("rescheduled", "rebased", "{:d}"),
    ("missed", "framesMissed", "{:d}"),
    ("repeated", "framesRepeated", "{:d}"),
    ("cut", "stalledCut", "{:d}"),
    ("CPU % core", "cpuPercent", "{:.0f}"),
    ("CPU %/client", "cpuPerClient", "{:.3f}"),
    ("KiB/client", "kibPerClient", "{:.0f}"),
    ("holds", "holds", "{}"),
]


def table(runs: list[dict]) -> str:
    rows = [[title for title, _, _ in COLUMNS]]
    rows += [[shape.format(run[name]) for _, name, shape in COLUMNS] for run in runs]
    widths = [max(len(row[column]) for row in rows) for column in range(len(COLUMNS))]
    return "\n".join("  ".join(cell.rjust(width) for cell, width in zip(row, widths, strict=True)) for row in rows)


def run(quick: bool) -> list[tuple[str, str]]:
    """For bench/run.py: the first run alone (20 rooms for 60 s and 1,000 disconnects, or 4 rooms for
    10 s and 40 when quick); the room-count steps are this script's own."""
    rooms, seconds, reconnects = (4, 10.0, 40) if quick else (20, 60.0, 1000)
    first = measure(rooms, seconds=seconds, reconnects=reconnects, players=8, rate=20, port=8950)
    return [
        (f"{rooms} rooms of 8 at 20 Hz: frame start late, p99 (ms, at most 10)", f"{first['latenessP99Ms']:.2f}"),
        ("command to its frame, p99 (ms, at most 65)", f"{first['commandToFrameP99Ms']:.1f}"),
        ("frames over their period / rescheduled", f"{first['overruns']} / {first['rebased']}"),
        ("server memory per client (KiB)", f"{first['kibPerClient']:.0f}"),
        (f"{first['reconnects']} disconnects: back to live, p99 (ms)", f"{first['backToLiveP99Ms']:.1f}"),
        ("frames missed / repeated", f"{first['reconnectFramesMissed']} / {first['reconnectFramesRepeated']}"),
    ]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rooms", type=int, default=20)
    parser.add_argument("--players", type=int, default=8)
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--reconnects", type=int, default=1000)
    parser.add_argument("--steps", default="30,40,50,60,80", help="room counts to step through ('' for none)")
    parser.add_argument("--step-seconds", type=float, default=20.0)
    parser.add_argument("--rate", type=int, default=20)
    parser.add_argument("--port", type=int, default=8950)
    parser.add_argument("--bots", help=argparse.SUPPRESS)  # the bots' process reads its plan here
    arguments = parser.parse_args()
    if arguments.bots:
        print(json.dumps(asyncio.run(run_bots(json.loads(pathlib.Path(arguments.bots).read_text())))))
        return
    shape = dict(players=arguments.players, rate=arguments.rate, port=arguments.port)
    runs = [measure(arguments.rooms, seconds=arguments.seconds, reconnects=arguments.reconnects, **shape)]
    for rooms in [int(count) for count in arguments.steps.split(",") if count]:
        if not holds(runs[-1], arguments.rate):
            break
        runs.append(measure(rooms, seconds=arguments.step_seconds, reconnects=0, **shape))
    for run in runs:
        run["cpuPerClient"] = run["cpuPercent"] / run["clients"]
        run["holds"] = "yes" if holds(run, arguments.rate) else "no"
    first = runs[0]
    held = [run["rooms"] for run in runs if run["holds"] == "yes"]
    print(f"rooms of {arguments.players} players at {arguments.rate} Hz, one command a player a frame")
    print(f"(first run {arguments.seconds:.0f} s, steps {arguments.step_seconds:.0f} s each)")
    print(table(runs))
    print(f"largest room count that held the bounds: {max(held) if held else 'none'}")
    print(
        f"{first['reconnects']} forced disconnects: back to live frames p99 {first['backToLiveP99Ms']:.1f} ms, "
        f"frames missed {first['reconnectFramesMissed']}, repeated {first['reconnectFramesRepeated']}"
    )


if __name__ == "__main__":
    main()
