"""A compressed store's figures, read by ranges and measured as a mapped reader measures them.

Exact for a store of at most ``_engine.STATS_SAMPLE`` entries (every record
its live entries lead to); beyond, the records of that many entries at an
even stride give the ratio and the share compressed, and the object section
(less the record headers) the stored bytes.  Nothing is decompressed: the
frame headers state the decoded sizes.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

from .._native import _engine
from .ordered import OrderedIndex

RECORD_HEADER = 8  # length and CRC before each payload
DATA_OFFSET = 40  # the first record, after the header


def compression_figures(index: OrderedIndex, layout: dict[str, int], payloads: Callable[[Sequence[int]], list[Any]],
                        expander: Any) -> dict[str, Any]:
    n = layout["num_keys"]
    stride = 1 if n <= _engine.STATS_SAMPLE else n // _engine.STATS_SAMPLE
    if stride == 1:
        live = [o for batch in index.forward(0, n, None) for _, o in batch]
    else:
        live = [o for _, o, alive in index.entries(list(range(0, n, stride))) if alive]
    stored = decoded = compressed = 0
    measured = payloads(list(dict.fromkeys(live)))
    for payload in measured:
        size = expander.decoded_size(payload)
        stored += len(payload)
        decoded += len(payload) if size is None else size
        compressed += size is not None
    ratio = 1.0 if stored == 0 else decoded / stored
    out: dict[str, Any] = {"codec": "zstd", "dictionary_size": layout["dict_length"], "compressed_objects": compressed,
                           "stored_bytes": stored, "decoded_bytes": decoded, "ratio": ratio,
                           "estimated": stride != 1}
    if stride != 1:
        objects = layout["num_objects"]
        section = max(0, layout["index_offset"] - DATA_OFFSET)
        headers = RECORD_HEADER * objects
        out["stored_bytes"] = 0 if headers > section else section - headers
        out["decoded_bytes"] = int(float(out["stored_bytes"]) * ratio)
        out["compressed_objects"] = int(float(objects) * float(compressed) / float(max(1, len(measured))))
    return out
