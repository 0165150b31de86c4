"""A set's layout on disk and the manifest that describes one generation.

::

    DIR/CURRENT                       "g-<ns>-<hex>\\n", replaced by rename
    DIR/g-<ns>-<hex>/manifest.json    format, routing, one entry per shard
    DIR/g-<ns>-<hex>/shard-00000.vrls ...

The manifest is the only description of a generation: a reader trusts
nothing in the folder that the manifest does not name.
"""

from __future__ import annotations

import json
import os
import re
from collections.abc import Sequence
from dataclasses import asdict, dataclass
from typing import Any

from ..errors import CorruptError
from .routing import Routing, routing_from_json

FORMAT = "vorlstore-set"
VERSION = 1
POINTER = "CURRENT"
MANIFEST = "manifest.json"
GENERATION = re.compile(r"g-[0-9]{20}-[0-9a-f]{8}")


@dataclass(frozen=True)
class ShardInfo:
    """One shard as the manifest records it."""

    file: str
    keys: int
    objects: int
    bytes: int
    crc32: int


def shard_file_name(index: int) -> str:
    return f"shard-{index:05d}.vrls"


def check_shard_list(routing: Routing, shards: Sequence[ShardInfo]) -> None:
    """Refuses shards that are not exactly the routing's, in order, by their standard names."""
    if len(shards) != routing.shards:
        raise ValueError(f"{len(shards)} shards built for a routing of {routing.shards}")
    for i, info in enumerate(shards):
        if info.file != shard_file_name(i):
            raise ValueError(f"shard {i} is {info.file!r}, expected {shard_file_name(i)!r}")


def manifest_of(routing: Routing, shards: Sequence[ShardInfo]) -> dict[str, Any]:
    return {
        "format": FORMAT,
        "version": VERSION,
        "routing": routing.to_json(),
        "keys": sum(s.keys for s in shards),
        "bytes": sum(s.bytes for s in shards),
        "shards": [asdict(s) for s in shards],
    }


def encode_manifest(manifest: dict[str, Any]) -> bytes:
    return json.dumps(manifest, indent=1).encode()


def decode_manifest(data: bytes, where: str) -> tuple[Routing, list[ShardInfo]]:
    """The routing and shards a manifest's bytes describe; *where* names it in errors."""
    try:
        doc = json.loads(data)
    except ValueError as e:
        raise CorruptError(f"{where}: not JSON: {e}") from None
    if not isinstance(doc, dict) or doc.get("format") != FORMAT:
        raise CorruptError(f"{where}: not a store set manifest")
    if doc.get("version") != VERSION:
        raise CorruptError(f"{where}: set version {doc.get('version')!r}, this reader knows {VERSION}")
    routing = routing_from_json(doc.get("routing"), where)
    try:
        shards = [ShardInfo(**entry) for entry in doc["shards"]]
    except (KeyError, TypeError) as e:
        raise CorruptError(f"{where}: bad shard list: {e!r}") from None
    if len(shards) != routing.shards:
        raise CorruptError(f"{where}: {len(shards)} shards for a routing of {routing.shards}")
    for info in shards:
        if os.path.basename(info.file) != info.file:
            raise CorruptError(f"{where}: shard name {info.file!r} leaves the generation")
    return routing, shards
