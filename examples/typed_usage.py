"""A small, fully typed use of the package; the type checker runs over it."""

from __future__ import annotations

import sys
import tempfile
from pathlib import Path

from vorlstore import VorlReader, VorlWriter


def build_users(path: Path) -> int:
    writer = VorlWriter()
    ada = writer.add({"name": "Ada", "langs": ["Analytical Engine"]}, "user:1", "ada@example.org")
    writer.add_key(b"\x00admin", ada)
    writer.build(path)
    return ada


def main() -> int:
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "users.vrls"
        build_users(path)
        with VorlReader(path) as reader:
            name: str = reader["user:1"]["name"]
            pairs: list[tuple[str, object]] = reader.prefix("user:")
            size: float = reader.stats()["file_size_kb"]
            print(name, len(pairs), f"{size:.2f} KiB", reader.verify())
    return 0


if __name__ == "__main__":
    sys.exit(main())
