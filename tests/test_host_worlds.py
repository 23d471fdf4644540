"""The world service on a real SQLite database with a clock the test moves: ticks, proposals,
suspend and resume with catch-up, the host's replay, export and archive."""

import pytest

from kest import chain, jsontext
from kest.server import ledger
from kest.server.config import ServerConfig
from kest.server.errors import BadInput, Conflict
from kest.server.settings import Settings
from kest.server.store import open_store
from kest.server.worlds import WorldService
from kest.server.writer import GroupWriter

KEY = "ab" * 32


class Clock:
    def __init__(self):
        self.now = 1000.0

    def __call__(self) -> float:
        return self.now


@pytest.fixture(params=["sqlite", "postgresql"])
def host(request, tmp_path):
    """Opens services on databases by name (SQLite files under tmp_path, or databases of the tests'
    PostgreSQL server); all share one clock."""
    opened = []
    clock = Clock()
    databases = {}

    def database(name: str) -> str:
        if request.param == "sqlite":
            return str(tmp_path / f"{name}.db")
        if name not in databases:
            databases[name] = request.getfixturevalue("postgres_server").create_database()
        return databases[name]

    def open_service(name: str = "host") -> WorldService:
        store = open_store(database(name))
        writer = GroupWriter(store)
        config = ServerConfig()
        defaults = Settings(config.epoch_seconds, config.max_catchup, None, None, {})
        opened.append((store, writer))
        return WorldService(store, writer, KEY, defaults, clock)

    open_service.clock = clock
    yield open_service
    for store, writer in opened:
        writer.close()
        store.close()


def file(service, world_id, entity, action, target=None, epoch=None, client="c1"):
    body = {"actionId": action, "clientId": client, **({"targetId": target} if target else {})}
    if epoch is not None:
        body["epoch"] = epoch
    return service.writer.run(service.proposal_job(world_id, service.facts(world_id), entity, body))


def chain_of(service, world_id):
    return [ledger.record_value(record) for record in service.stored_records(world_id)]


def test_the_clock_ticks_due_epochs_in_passes_of_max_catchup(host):
    service = host()
    service.create("vale", settings={"epochSeconds": 1, "maxCatchup": 3})
    host.clock.now += 7.5
    assert service.advance("vale") == 3
    assert service.advance("vale") == 3
    assert service.advance("vale") == 1
    assert service.advance("vale") == 0
    records = chain_of(service, "vale")
    assert [r["seq"] for r in records] == list(range(7))
    assert chain.verify(KEY, records, ledger.genesis("vale")) == []
    # Standing orders act when nobody files: every default actor has one.
    assert all(r["payload"]["actions_processed"] for r in records[:1])


def test_proposals_replace_repeat_and_refuse_resolved_epochs(host):
    service = host()
    service.create("vale", settings={"epochSeconds": 1})
    assert file(service, "vale", "aria", "strike", "gob-1")["status"] == "filed"
    assert file(service, "vale", "aria", "strike", "gob-1")["status"] == "unchanged"
    assert file(service, "vale", "aria", "strike", "gob-2", client="c2")["status"] == "replaced"
    host.clock.now += 1
    service.advance("vale")
    tick_input = jsontext.loads(service.store.reads().tick_input("vale", 1))
    assert tick_input["aria"] == {"actionId": "strike", "targetId": "gob-2"}
    with pytest.raises(Conflict, match="epoch 1 is already resolved"):
        file(service, "vale", "aria", "strike", "gob-1", epoch=1)


@pytest.mark.parametrize(
    ("entity", "action", "target", "message"),
    [
        ("aria", "dance", None, "not an action of this world"),
        ("aria", "strike", "nobody", "not an entity of this world"),
        ("nobody", "strike", "ogre", "not an entity of this world"),
        ("aria", "strike", "__proto__", "must not be __proto__"),
        ("aria", "strike", "e\u0301", "not in NFC"),
        ("aria", "strike", "x" * 257, "longer than 256 UTF-16 units"),
        ("aria", "strike", "\U0001f600" * 129, "longer than 256 UTF-16 units"),
    ],
)
def test_proposals_that_could_wedge_a_tick_are_refused(host, entity, action, target, message):
    service = host()
    service.create("vale")
    with pytest.raises(BadInput, match=message):
        file(service, "vale", entity, action, target)


@pytest.mark.parametrize(
    ("ruleset", "message"),
    [
        ({"bad": {"kind": "check", "check": {"type": "nope"}}}, 'action "bad": AST: '),
        ({"bad": {"kind": "mutations", "mutations": {}}}, 'action "bad": AST: mutations must be an array'),
        ({"bad": {"kind": "dance"}}, 'its kind must be "check" or "mutations"'),
        ({}, "at least one action"),
    ],
)
def test_hostile_rulesets_are_refused_at_creation_with_the_engine_words(host, ruleset, message):
    service = host()
    with pytest.raises(BadInput, match=message):
        service.create("vale", ruleset=ruleset)
    assert service.store.reads().world_ids() == []


def play(service, clock, world_id, epochs, pause_at=None):
    """Ticks `epochs` epochs one by one with a proposal in each; suspends the world over the
    epochs from `pause_at` on and resumes it at the end."""
    start = service.row(world_id).epoch
    for epoch in range(start + 1, start + epochs + 1):
        target = "ogre" if epoch % 2 else "gob-1"
        file(service, world_id, "aria", "strike", target, epoch=epoch, client=f"c{epoch}")
        if epoch == pause_at:
            service.suspend(world_id)
        clock.now += 1
        if pause_at is None or epoch < pause_at:
            service.advance(world_id)
    if pause_at is not None:
        service.resume(world_id)


def test_a_world_suspended_and_resumed_matches_one_that_never_paused(host):
    steady, paused = host("steady"), host("paused")
    for service in (steady, paused):
        service.create("vale", settings={"epochSeconds": 1, "maxCatchup": 100})
    play(steady, host.clock, "vale", 12)
    # The clock has moved for both already; the second plays the same epochs from the same start.
    host.clock.now -= 12
    play(paused, host.clock, "vale", 12, pause_at=4)
    a, b = steady.row("vale"), paused.row("vale")
    assert (a.epoch, a.head_seq, a.head_sig, a.state_hash) == (b.epoch, b.head_seq, b.head_sig, b.state_hash)
    assert jsontext.loads(a.state) == jsontext.loads(b.state)
    assert chain_of(steady, "vale") == chain_of(paused, "vale")


def test_the_host_replay_of_the_chain_gives_the_stored_state_and_exports_verify(host):
    service = host()
    service.create("vale", settings={"epochSeconds": 1})
    play(service, host.clock, "vale", 5)
    service.suspend("vale")
    host.clock.now += 3
    service.resume("vale")
    row = service.row("vale")
    first = service.store.reads().snapshots("vale")[0]
    replayed = ledger.replay(first.state, service.stored_records("vale"))
    assert replayed == jsontext.loads(row.state)

    archived = []
    assert service.archive("vale", archived.append) == 5
    [files] = archived
    assert files["genesis"] == ledger.genesis("vale")
    assert chain.verify(KEY, files["records"], files["genesis"], files["seal"]) == []
    rest = service.export("vale")
    assert rest["genesis"] == files["records"][-1]["sig"]
    assert chain.verify(KEY, rest["records"], rest["genesis"], rest["seal"]) == []
    # One world's records never verify inside another world's chain.
    assert chain.verify(KEY, files["records"], ledger.genesis("other")) != []


def test_configuring_changes_standing_orders_and_the_clock_from_the_next_tick_on(host):
    service, other = host(), host()  # two processes on one database
    service.create("vale", settings={"epochSeconds": 1})
    host.clock.now += 1.5
    service.advance("vale")  # epoch 1 under the default orders; half of epoch 2 has passed
    # The other process configures: the first one's next tick must not use what it kept.
    orders = {"gob-1": {"actionId": "strike", "targetId": "ogre"}, "cael": None}
    other.configure("vale", {"standingOrders": orders, "maxCatchup": 7})
    assert jsontext.loads(service.view("vale"))["maxCatchup"] == 7
    host.clock.now += 0.5
    service.advance("vale")
    orders = jsontext.loads(service.store.reads().tick_input("vale", 2))
    assert orders["gob-1"] == {"actionId": "strike", "targetId": "ogre"} and "cael" not in orders
    assert orders["aria"] == {"actionId": "strike", "targetId": "ogre"}  # left as it was
    # A new period keeps the epoch already due and times the next from now.
    host.clock.now += 1.2
    configured = service.configure("vale", {"epochSeconds": 10, "maxActions": 2})
    assert configured.next_epoch_at == pytest.approx(host.clock.now)
    assert service.advance("vale") == 1
    host.clock.now += 9.9
    assert service.advance("vale") == 0
    host.clock.now += 0.2
    assert service.advance("vale") == 1
    assert service.row("vale").epoch == 4
    assert len(chain_of(service, "vale")[-1]["payload"]["actions_processed"]) <= 2


@pytest.mark.parametrize(
    ("changes", "message"),
    [
        ({"epochSeconds": 0}, "epochSeconds must be a number"),
        ({"maxCatchup": -1}, "maxCatchup must be an integer"),
        ({"standingOrders": {"nobody": {"actionId": "strike"}}}, "not an entity of this world"),
        ({"standingOrders": {"aria": {"actionId": "dance"}}}, "not an action of this world"),
        ({"standingOrders": {"aria": {"actionId": "strike", "targetId": "__proto__"}}}, "__proto__"),
        ({"standingOrders": []}, "standingOrders must be an object"),
        ({"ruleset": {}}, '"ruleset" is not a setting'),
        ([], "the settings are an object"),
    ],
)
def test_settings_that_could_wedge_a_tick_are_refused_and_nothing_changes(host, changes, message):
    service = host()
    service.create("vale")
    before = service.store.reads().world("vale")
    with pytest.raises(BadInput, match=message):
        service.configure("vale", changes)
    assert service.store.reads().world("vale") == before
