"""A bot that plays a real-time room of `kest serve`: it joins with a player token, strikes a
random living monster now and then, and follows every frame with prediction and rollback.

    kest serve                       # prints a game-master token on first start
    curl -s -X POST http://127.0.0.1:8080/worlds/ashen-vale/tokens \\
         -H "Authorization: Bearer GM" -d '{"role":"player","entityId":"aria"}'
    python examples/room_bot.py --token PLAYER [--url ws://127.0.0.1:8080/worlds/ashen-vale/room]

Each second it prints the frame, how many of its predictions held and how many frames it rolled
back; a hash mismatch would be printed with the differences between its state and the server's.
"""

import argparse
import asyncio
import json
import random

from kest.client import RoomClient

MONSTER_TAG = "monster"


def living_monsters(state_text: str) -> list[str]:
    entities = json.loads(state_text).get("entities", {})
    return sorted(
        entity_id
        for entity_id, entity in entities.items()
        if MONSTER_TAG in entity.get("tags", []) and entity.get("properties", {}).get("hp", 0) > 0
    )


async def play(url: str, token: str, seconds: float, chance: float) -> None:
    client = await RoomClient.join(url, token)
    print(f"joined {client.world_id} as {client.player_id} at frame {client.frame}, {client.rate} frames a second")
    rng = random.Random()
    for tick in range(int(seconds * client.rate)):
        frame = await client.next_frame()
        monsters = living_monsters(client.state)
        if monsters and rng.random() < chance:
            try:
                await client.command("strike", rng.choice(monsters))
            except ConnectionError:
                pass  # the connection is being taken up again; the next frame brings it back
        if tick % client.rate == 0:
            counts = client.counts
            print(f"frame {frame.number}: {counts['predicted']} predicted, {counts['rolledBack']} rolled back")
        for desync in client.desyncs:
            print("\n".join(desync.lines()))
        client.desyncs.clear()
    await client.close()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--url", default="ws://127.0.0.1:8080/worlds/ashen-vale/room")
    parser.add_argument("--token", required=True, help="a player token of the world")
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--chance", type=float, default=0.2, help="chance of a strike at each frame")
    arguments = parser.parse_args()
    asyncio.run(play(arguments.url, arguments.token, arguments.seconds, arguments.chance))


if __name__ == "__main__":
    main()
