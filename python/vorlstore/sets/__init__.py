"""Store sets: one logical store split over several shard stores.

A set directory holds generations, each a folder of shard stores and the
manifest that names them, and a pointer file that names the published one.
The package's rooms, in the order data walks through them:

- `routing`: which shard holds a key (`HashRouting`, `RangeRouting`) and
  `plan_routing`, the one place a partitioning choice becomes a rule;
- `manifest`: the layout on disk and the manifest's codec;
- `publication`: a generation from its empty folder to the pointer swap,
  through the `SetStorage` interface (`LocalStorage` for a directory);
- `building`: shards from pairs, `SetBuilder` and `write_store_set`;
- `reading`: `StoreSet`, a published set as one read-only mapping.

Nothing here needs Dask: `vorlstore.dask` builds sets on a cluster with
these pieces.
"""

from __future__ import annotations

from .. import _lazy

TYPE_CHECKING = False

# Names are imported when first used, so that a command that only reads a
# set does not pay for the building rooms.
_HOME = {
    **dict.fromkeys(["key_bytes"], "..reader"),
    **dict.fromkeys(["SetBuilder", "build_counted_shard", "build_shard", "encode_object", "shard_info",
                     "write_store_set"], ".building"),
    **dict.fromkeys(["MANIFEST", "POINTER", "ShardInfo", "shard_file_name"], ".manifest"),
    **dict.fromkeys(["LocalStorage", "Publication", "SetStorage", "foreign_entries", "is_store_set", "open_storage"],
                    ".publication"),
    **dict.fromkeys(["StoreSet"], ".reading"),
    **dict.fromkeys(["PARTITIONS", "SAMPLE_PER_SHARD", "HashRouting", "KeySample", "RangeRouting", "Routing",
                     "key_sample", "plan_routing", "range_boundaries", "routing_from_json"], ".routing"),
}

__all__ = [
    "StoreSet", "SetBuilder", "write_store_set", "build_shard", "build_counted_shard", "encode_object", "shard_info",
    "Publication", "SetStorage", "LocalStorage", "foreign_entries", "is_store_set", "open_storage",
    "ShardInfo", "shard_file_name", "MANIFEST", "POINTER",
    "HashRouting", "RangeRouting", "Routing", "KeySample", "plan_routing", "routing_from_json",
    "key_bytes", "key_sample", "range_boundaries", "PARTITIONS", "SAMPLE_PER_SHARD",
]

if TYPE_CHECKING:
    from ..reader import key_bytes
    from .building import SetBuilder, build_counted_shard, build_shard, encode_object, shard_info, write_store_set
    from .manifest import MANIFEST, POINTER, ShardInfo, shard_file_name
    from .publication import LocalStorage, Publication, SetStorage, foreign_entries, is_store_set, open_storage
    from .reading import StoreSet
    from .routing import (
        PARTITIONS,
        SAMPLE_PER_SHARD,
        HashRouting,
        KeySample,
        RangeRouting,
        Routing,
        key_sample,
        plan_routing,
        range_boundaries,
        routing_from_json,
    )


__getattr__, __dir__ = _lazy(globals(), _HOME)
