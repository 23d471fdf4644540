"""Makes the `kest` package importable from a source checkout too; an installed one still wins.

Also the PostgreSQL server of the tests that need one: started once per test process, on first use.
"""

import os
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
if str(ROOT) not in sys.path:
    sys.path.append(str(ROOT))

# `make test` sets this: there the server is a dependency like any other, so its absence fails the run
# instead of skipping the tests that need it.
REQUIRE_POSTGRES = os.environ.get("KEST_REQUIRE_POSTGRES") == "1"


@pytest.fixture(scope="session")
def postgres_server():
    """A PostgreSQL server of the system's packages in a temporary folder, stopped and removed at the end."""
    from postgres_server import PostgresServer, Unavailable

    try:
        server = PostgresServer()
    except Unavailable as reason:
        if REQUIRE_POSTGRES:
            pytest.fail(f"PostgreSQL is required here: {reason}")
        pytest.skip(f"PostgreSQL is not installed: {reason}")
    with server:
        yield server


@pytest.fixture
def postgres_url(postgres_server) -> str:
    """The connection URL of a fresh, empty database of its own for one test."""
    return postgres_server.create_database()
