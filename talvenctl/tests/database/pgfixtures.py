"""The PostgreSQL server that tools/with_postgres.sh started for these tests (TALVEN_PG_* in the
environment), and a fresh database holding talvenctl's schema for each test."""
import itertools
import os

import pytest

from station_line import psql

SOCKET = os.environ.get("TALVEN_PG_SOCKET", "")
PORT = os.environ.get("TALVEN_PG_PORT", "")
_names = itertools.count()


def odbc(database):
    return (f"Driver={{PostgreSQL Unicode}};Server={SOCKET};Port={PORT};Database={database};"
            "Uid=postgres;")


class Database:
    def __init__(self, name):
        self.name = name
        self.odbc = odbc(name)

    def sql(self, text):
        return psql(self.name, text)

    def pool(self, name="line"):
        return self.odbc + f"Pool={name};"

    def rows(self, pool="line"):
        """address -> (serial, state) of every address the pool handed out."""
        return {a.strip(): (s, st) for a, s, st in self.sql(
            f"SELECT address_text, serial, state FROM mac_address WHERE pool_name = '{pool}'")}


@pytest.fixture
def database(station):
    if not SOCKET:
        pytest.fail("no PostgreSQL server: run these tests under tools/with_postgres.sh")
    name = f"t{os.getpid()}_{next(_names)}"
    psql("postgres", f"CREATE DATABASE {name}")
    station.ok("db", "init", odbc(name))
    yield Database(name)
    psql("postgres", f"DROP DATABASE {name} WITH (FORCE)")
