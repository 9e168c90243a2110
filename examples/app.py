"""A small application that uses the tools package."""

import json

from tools.common.murkfold import murkfold
from tools.common.quillmark import Quillmark
from tools.common.siteward import siteward
from tools.common.starveil import starveil
from tools.dawnlog.dawnlog import dawnlog
from tools.tables.tables import Table

HERE = siteward(func=lambda _: 0)
DATA = HERE / "data"


def show_config() -> None:
    """Prints a sample config with its passwords masked and its large blob folded."""
    config = {"service": "billing", "db": {"host": "db.local", "user": "app", "Password": "s3cret!"},
              "smtp_pwd": "mail-pass", "replicas": [("r1", {"password": "r1-pass"}), ("r2", None)],
              "certificate": "MII" + "A" * 6000}
    safe = murkfold(value=starveil(value=config))
    print("config:", {k: (v if k != "certificate" else f"<{len(v)} characters, folded>") for k, v in safe.items()})
    print(safe["certificate"][:40].replace("\n", "\\n") + "...")


def show_staff() -> None:
    """Builds a table from a JSON file and prints a view without the salaries."""
    table = Table(table=json.loads((DATA / "staff.json").read_text()))
    view = table.filter(exclude=["salary"])
    print("staff:", repr(view))
    for row in view.data:
        print("  " + ", ".join(f"{k}={v}" for k, v in row.items()))


class Session:
    """A session that keeps its token private."""

    def __init__(self, user: str) -> None:
        self.user = user
        self.__token = f"tok-{user}-42"

    def authorization(self) -> str:
        return f"Bearer {self.__token}"


def show_session() -> None:
    """Reads and rotates a session's private token from outside the class."""
    session = Session("ann")
    token = Quillmark(session, "__token")
    print(f"session: {token.name} = {token.value!r} (exists: {token.exists})")
    token.value = "tok-rotated"
    print("session now sends:", session.authorization())


def main() -> None:
    dawnlog(prefix="example-app")
    print(f"example data lives in {DATA}")
    print("files:", ", ".join(sorted(p.name for p in DATA.iterdir())))
    show_config()
    show_staff()
    show_session()


if __name__ == "__main__":
    main()
