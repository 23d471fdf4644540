"""The tests' PostgreSQL server: reachable only through its socket, never as root, gone without a trace."""

import os
import pathlib

import psycopg
import pytest
from postgres_server import PostgresServer


def test_server_listens_on_its_socket_only_and_not_as_root(postgres_server):
    with psycopg.connect(postgres_server.url()) as connection:
        settings = dict(
            connection.execute(
                "SELECT name, setting FROM pg_settings WHERE name IN ('listen_addresses', 'unix_socket_directories')"
            ).fetchall()
        )
        data_directory = connection.execute("SHOW data_directory").fetchone()[0]
    assert settings == {"listen_addresses": "", "unix_socket_directories": str(postgres_server.folder)}
    assert os.stat(data_directory).st_uid != 0


def test_each_database_is_fresh_and_separate(postgres_server):
    first, second = postgres_server.create_database(), postgres_server.create_database()
    assert first != second
    with psycopg.connect(first) as connection:
        connection.execute("CREATE TABLE marker (id integer)")
    with psycopg.connect(second) as connection:
        assert connection.execute("SELECT to_regclass('marker')").fetchone()[0] is None


def test_server_stops_and_its_folder_goes_when_the_block_fails(postgres_server):
    # A second server beside the session's: each lives in its own folder, so they never meet.
    with pytest.raises(RuntimeError, match="the block failed"):
        with PostgresServer() as server:
            folder = pathlib.Path(server.folder)
            url = server.create_database()
            raise RuntimeError("the block failed")
    assert not folder.exists()
    with pytest.raises(psycopg.OperationalError):
        psycopg.connect(url, connect_timeout=2)
