"""The live feed of worlds: every stream of a world wakes on its change, none misses a commit made
between its read and its wait, bursts coalesce, and a stream ends with its world or its token."""

import asyncio
import threading
import time

from kest.server.feed import WorldFeed, world_events


class World:
    """Records 1..head of a world, read as a stream would read them."""

    def __init__(self):
        self.head = 0
        self.reads = 0
        self.gone = False

    def read(self, since: int):
        self.reads += 1
        if self.gone:
            return None
        return f'{{"records":{list(range(since + 1, self.head + 1))}}}', self.head


async def take(stream, count: int, timeout: float = 2.0) -> list[str]:
    return [await asyncio.wait_for(anext(stream), timeout) for _ in range(count)]


def test_streams_wake_on_changes_from_other_threads_and_coalesce_bursts():
    async def scenario():
        feed, world = WorldFeed(asyncio.get_running_loop()), World()
        first, second = (world_events(feed, "w", world.read, since=0) for _ in range(2))
        assert await take(first, 1) == ['event: update\ndata: {"records":[]}\n\n']
        await take(second, 1)

        def commits():
            for _ in range(3):
                world.head += 1
                feed.changed("w")

        thread = threading.Thread(target=commits)
        thread.start()
        thread.join()
        updates = [text for stream in (first, second) for text in await take(stream, 1)]
        assert all(text == 'event: update\ndata: {"records":[1, 2, 3]}\n\n' for text in updates)
        reads = world.reads
        feed.changed("another world")
        await asyncio.sleep(0.05)
        assert world.reads == reads
        await first.aclose()
        await second.aclose()

    asyncio.run(scenario())


def test_a_change_during_the_read_is_not_missed():
    async def scenario():
        feed, world = WorldFeed(asyncio.get_running_loop()), World()
        plain_read = world.read

        def read_then_commit(since):
            result = plain_read(since)
            if world.reads == 1:
                world.head += 1  # a commit lands after the read, before the stream waits
                feed.changed("w")
            return result

        stream = world_events(feed, "w", read_then_commit, since=0)
        assert [text.split("\n")[1] for text in await take(stream, 2)] == [
            'data: {"records":[]}',
            'data: {"records":[1]}',
        ]
        await stream.aclose()

    asyncio.run(scenario())


def test_streams_end_with_their_world_and_their_token_and_keep_idle_connections_alive():
    async def scenario():
        feed, world = WorldFeed(asyncio.get_running_loop()), World()
        stream = world_events(feed, "w", world.read, since=0, keep_alive=0.05)
        await take(stream, 1)
        assert await take(stream, 1) == [": keep-alive\n\n"]
        world.gone = True
        feed.changed("w")
        assert await take(stream, 1) == ["event: deleted\ndata: {}\n\n"]
        assert [text async for text in stream] == []

        expiring = world_events(feed, "x", World().read, since=0, until=time.time() + 0.1)
        started = time.monotonic()
        assert [text async for text in expiring][1:] == ["event: expired\ndata: {}\n\n"]
        assert time.monotonic() - started < 1.0

    asyncio.run(scenario())
