"""A small, fully typed use of the package; the type checker runs over it."""

from __future__ import annotations

import sys
import tempfile
from datetime import datetime, timezone
from pathlib import Path

import vorlstore
from vorlstore import BuildSummary, StoreStats, VorlReader, VorlWriter


def build_users(path: Path) -> BuildSummary:
    writer = VorlWriter(datetime=True)
    ada = writer.add({"name": "Ada", "joined": datetime(1843, 7, 10, tzinfo=timezone.utc)}, "user:1")
    writer.add_key(b"\x00admin", ada)
    writer.update({"user:2": {"name": "Grace"}})
    return writer.build(path)


def main() -> int:
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "users.vrls"
        summary = build_users(path)
        try:
            with VorlReader(path) as reader:
                name: str = reader["user:1"]["name"]
                pairs: list[tuple[str, object]] = list(reader.prefix("user:"))
                last: list[str] = [key for key, _ in reader.range(reverse=True)][:1]
                stats: StoreStats = reader.stats()
                print(name, len(pairs), last, stats["file_size"], stats["hash_index"], reader.verify())
        except vorlstore.Error as e:
            print(f"cannot read {path}: {e}", file=sys.stderr)
            return 1
        merged: BuildSummary = vorlstore.merge(Path(tmp) / "merged.vrls", path, path)
        print(summary["keys"], merged["keys"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
