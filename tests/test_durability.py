"""The `kest` tool's files under crashes, concurrent signers and failing disks. Each `kest` runs in
a forked process: its own open files and locks, as a separate run has, without a start-up."""

import errno
import multiprocessing
import os
import random
import resource
import signal
import sys
import time

import pytest

from kest import chain, chainfile, cli, durable

KEY = "durable key"
FORK = multiprocessing.get_context("fork")
TORN = b'{"seq":2,"type":"Epo'  # the start of a record that a crash cut short


def _kest(argv, out, prepare):
    os.environ[cli.KEY_VARIABLE] = KEY
    with open(out, "w", buffering=1) as output:
        sys.stdout = sys.stderr = output
        prepare()
        os._exit(cli.main([str(arg) for arg in argv]))


def start(folder, *argv, prepare=lambda: None):
    (folder / "out").write_text("")  # empty even when the process is killed before it opens it
    process = FORK.Process(target=_kest, args=(argv, folder / "out", prepare))
    process.start()
    return process


def kest(folder, *argv, prepare=lambda: None) -> tuple[int, str]:
    """`kest ARGV`: its exit status and what it printed."""
    process = start(folder, *argv, prepare=prepare)
    process.join(60)
    return process.exitcode, (folder / "out").read_text()


def records_of(path) -> list[dict]:
    text, torn = chainfile.split_torn(path.read_bytes())
    assert torn is None
    return chain.read_chain(text)


def payload_file(folder, payloads):
    (folder / "payloads").write_text("".join(f'"{payload}"\n' for payload in payloads))
    return folder / "payloads"


def sealed_chain(folder, payloads) -> tuple:
    path, seal = folder / "chain.jsonl", folder / "seal.json"
    assert kest(folder, "sign", path, payload_file(folder, payloads), "--seal", seal)[0] == 0
    return path, seal


def test_concurrent_signers_append_every_record_to_one_chain(tmp_path):
    def sign(worker: int) -> None:
        for call in range(8):
            folder = tmp_path / f"{worker}-{call}"
            folder.mkdir()
            signing = payload_file(folder, [f"{worker}.{call}"])
            assert kest(folder, "sign", tmp_path / "chain.jsonl", signing, "--seal", tmp_path / "s")[0] == 0

    workers = [FORK.Process(target=sign, args=(worker,)) for worker in range(4)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(60)
    assert [worker.exitcode for worker in workers] == [0] * 4
    assert kest(tmp_path, "verify", tmp_path / "chain.jsonl", "--seal", tmp_path / "s")[0] == 0
    signed = sorted(record["payload"] for record in records_of(tmp_path / "chain.jsonl"))
    assert signed == sorted(f"{worker}.{call}" for worker in range(4) for call in range(8))


def test_a_signer_killed_at_any_moment_loses_no_record_it_reported(tmp_path):
    # Long lines of two-byte characters: one append spans many pages, and a kill may cut it short.
    began = time.perf_counter()
    path, seal = sealed_chain(tmp_path, ["é" * 3000 + str(n) for n in range(24)])
    duration, rng = time.perf_counter() - began, random.Random(16)
    base, base_seal, before = path.read_bytes(), seal.read_bytes(), records_of(path)
    for _ in range(12):  # each trial from the same chain, so that one span of time covers a signing
        path.write_bytes(base)
        seal.write_bytes(base_seal)
        signer = start(tmp_path, "sign", path, tmp_path / "payloads", "--seal", seal)
        time.sleep(rng.uniform(0, duration * 1.5))
        os.kill(signer.pid, signal.SIGKILL)
        signer.join(60)
        reported = {line.split()[-1] for line in (tmp_path / "out").read_text().splitlines()}
        assert kest(tmp_path, "repair", path, "--seal", seal)[0] == 0
        assert kest(tmp_path, "verify", path, "--seal", seal)[0] == 0
        after = records_of(path)
        assert after[: len(before)] == before
        assert reported <= {record["sig"] for record in after}


@pytest.mark.parametrize("kept", [1, 8, 18, -2])  # 8 bytes end inside the first "ü"
def test_a_torn_last_line_is_reported_refused_and_dropped(tmp_path, kept):
    path, seal = sealed_chain(tmp_path, ["ü0", "ü1"])
    whole = path.read_bytes()
    torn = chain.chain_lines(chain.extend(KEY, records_of(path), ["ü2"])).encode()[:kept]
    path.write_bytes(whole + torn)
    found = f"TornLastLine: line 3, {len(torn)} bytes without a line break: a write cut short; kest repair drops it"
    assert kest(tmp_path, "verify", path, "--seal", seal) == (1, f"{found}\n2 records, 1 finding\n")
    assert kest(tmp_path, "sign", path, tmp_path / "payloads") == (1, f"{path}: {found}\n")
    shown = torn[: cli.REPAIR_SHOWN].decode(errors="replace")
    assert kest(tmp_path, "repair", path, "--seal", seal) == (
        0,
        f"dropped line 3, {len(torn)} bytes without a line break: {shown!r}\n",
    )
    assert path.read_bytes() == whole


@pytest.mark.parametrize(
    ("damage", "message"),
    [
        (lambda text, seal: (text.replace("ü1", "ü9"), seal), "damage other than a torn last line"),
        (lambda text, seal: (text[:30] + text[text.index("\n") :], seal), "line 1: "),
        (lambda text, seal: (text[: text.index("\n") + 1], seal), "the seal is not one over the first records"),
        (lambda text, seal: (text, seal.replace('"count":2', '"count":1')), "the seal is not one over the first"),
    ],
    ids=["tampered", "torn-in-the-middle", "sealed-record-dropped", "forged-seal"],
)
def test_repair_refuses_damage_that_a_crash_cannot_leave(tmp_path, damage, message):
    path, seal = sealed_chain(tmp_path, ["ü0", "ü1"])
    text, seal_text = damage(path.read_text(), seal.read_text())
    path.write_bytes(text.encode() + TORN)
    seal.write_text(seal_text)
    code, out = kest(tmp_path, "repair", path, "--seal", seal)
    assert (code, message in out.splitlines()[-1]) == (1, True)
    assert (path.read_bytes(), seal.read_text()) == (text.encode() + TORN, seal_text)


def test_a_seal_write_cut_before_its_rename_leaves_the_old_seal(tmp_path):
    path, seal = sealed_chain(tmp_path, ["a", "b"])
    old_seal = seal.read_bytes()

    def die_at_rename():
        os.replace = lambda *_: os.kill(os.getpid(), signal.SIGKILL)

    assert kest(tmp_path, "sign", path, tmp_path / "payloads", "--seal", seal, prepare=die_at_rename)[0] == -9
    assert seal.read_bytes() == old_seal
    assert kest(tmp_path, "repair", path, "--seal", seal) == (0, f"sealed 4 records in {seal}\n")


def _fill_the_disk():  # the chain may grow by less than an append
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    limit = os.path.getsize("chain.jsonl") + 100
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))


def _fill_the_disk_before_the_seal():
    def no_space(*_):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    durable.replace = no_space


@pytest.mark.parametrize(
    ("chain_file", "prepare", "message"),
    [
        ("folder", lambda: None, "cannot extend chain.jsonl: Is a directory"),
        ("file", _fill_the_disk, "cannot extend chain.jsonl: File too large"),
        ("file", _fill_the_disk_before_the_seal, "cannot write seal.json: No space left on device"),
        ("missing", lambda: None, "non-canonicalizable payload: NonIntegerNumber"),
    ],
)
def test_a_chain_that_cannot_be_extended_stays_as_it_was(tmp_path, monkeypatch, chain_file, prepare, message):
    monkeypatch.chdir(tmp_path)
    path, seal = sealed_chain(tmp_path, ["a"])
    if chain_file != "file":
        path.unlink()
    if chain_file == "folder":
        path.mkdir()
    if chain_file == "missing":
        (tmp_path / "payloads").write_text('{"n": 0.5}\n')
    kept = sorted(tmp_path.iterdir()), path.is_file() and path.read_bytes(), seal.read_bytes()
    assert kest(tmp_path, "sign", "chain.jsonl", "payloads", "--seal", "seal.json", prepare=prepare) == (
        1,
        message + "\n",
    )
    assert (sorted(tmp_path.iterdir()), path.is_file() and path.read_bytes(), seal.read_bytes()) == kept


@pytest.mark.parametrize("through_a_link", [False, True])
def test_a_whole_file_write_keeps_permissions_and_links_or_leaves_the_old_file(tmp_path, through_a_link):
    target, link, folder = tmp_path / "seal.json", tmp_path / "link.json", tmp_path / "folder"
    target.write_text("old")
    target.chmod(0o640)
    link.symlink_to(target)
    named = link if through_a_link else target
    durable.write_text(named, "new")
    assert (named.read_text(), target.stat().st_mode & 0o777, link.is_symlink()) == ("new", 0o640, True)
    folder.mkdir()
    with pytest.raises(IsADirectoryError):
        durable.write_text(folder, "never written")  # fails at the rename, after the write
    assert (sorted(tmp_path.iterdir()), target.read_text()) == ([folder, link, target], "new")
