from __future__ import annotations

from collections.abc import Iterator

import pytest

from mariadb_server import MariaDB, MariaDBServer, seed_shop


@pytest.fixture(scope="session")
def mariadb() -> Iterator[MariaDB]:
    """A seeded throwaway MariaDB server shared by the whole run."""
    with MariaDBServer() as db:
        seed_shop(db)
        yield db
