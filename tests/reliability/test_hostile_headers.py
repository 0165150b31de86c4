"""Store files whose header and index lie about sizes and positions: counts,
key lengths and offsets at the limits of their fields.

The header is covered by no checksum, so nothing stops a file from claiming
4,294,967,295 keys in 100 bytes or an index at 2**64 - 1.  Each case runs in
a child interpreter that opens the file (and queries it, where it opens) a
hundred times; the test checks the exact error of every call and that the
child's peak resident memory grows by no more than a small bound over its
baseline, and prints the figures.  Outside the sanitizer run the child also
caps its address space, so that even a reservation that is never touched
(and would not show in resident memory) fails the case.

The children import _vorlstore from this interpreter's import path
(tools/test.d/concurrency.sh points it at a build folder).
"""

import json
import struct
import subprocess
import sys
import textwrap

import pytest

from processes import UNDER_ASAN, child_env
from storecodec import assemble, entry, record

U32_MAX = 2**32 - 1
U64_MAX = 2**64 - 1
ROUNDS = 100
MIB = 1 << 20
# Peak resident growth allowed over the child's baseline, and the address
# space allowed beyond what it has mapped when the case starts.
RESIDENT_BOUND = 64 * MIB
ADDRESS_SPACE_BOUND = 512 * MIB


def store(num_keys, index_offset, body):
    """One object claimed, `num_keys` keys from `index_offset`, and `body`; the file CRC-32 is correct."""
    return assemble(b"", body, num_keys=num_keys, num_objects=1, index_offset=index_offset)


def with_entries(objects_section, entries, tail=b""):
    """A store whose index holds `entries` (key, offset) in the given order after `objects_section`."""
    index = b"".join(entry(k, o) for k, o in entries)
    return assemble(objects_section, index + tail, num_keys=len(entries), num_objects=1)


def offset_past_end(offset_of):
    """A store with a sound key "good" and a key "bad" at `offset_of(file length)`."""
    length = len(with_entries(record(b"payload"), [(b"bad", 0), (b"good", 40)]))
    bad = offset_of(length)
    return bad, with_entries(record(b"payload"), [(b"bad", bad), (b"good", 40)])


def corrupt(text):
    return "RuntimeError: VorlCorruptError: " + text


def open_failure(field):
    """Calls for a file that must not open: with and without the whole-file check."""
    text = corrupt(f"index section truncated ({field})")
    return [((True, "open"), text), ((False, "open"), text)]


def bad_offset(offset):
    """Calls for a file that opens but whose key "bad" points at `offset`, out of bounds."""
    read = corrupt(f"offset {offset} out of bounds")
    return [
        ((True, "exists", b"bad"), "True"),
        ((True, "get_raw", b"good"), repr(b"payload")),
        ((True, "get_raw", b"bad"), read),
        ((False, "prefix_raw", b"b"), read),
        ((True, "items_raw"), read),
        ((False, "objects_raw"), read),
        ((True, "verify"), corrupt(f"object offset {offset} out of bounds")),
    ]


def long_record(offset):
    """Calls for a file whose record at `offset`, the target of key "k", runs past the end."""
    text = corrupt(f"object at {offset} extends beyond file end")
    return [
        ((True, "exists", b"k"), "True"),
        ((True, "keys"), repr(["k"])),
        ((True, "get_raw", b"k"), text),
        ((False, "prefix_raw", b""), text),
        ((True, "items_raw"), text),
        ((True, "objects_raw"), text),
        ((False, "verify"), text),
    ]


def cases():
    out = []
    # Open-time: the index parse must fail, whatever num_keys claims, without
    # reserving for the claim.
    zero = store(U32_MAX, 40, bytes(60))
    assert len(zero) == 100
    out.append(("100 bytes claiming 4294967295 keys at offset 40", zero, open_failure("key_len")))
    out.append(("100 bytes claiming 4294967295 keys of 65535 bytes", store(U32_MAX, 40, b"\xff" * 60),
                open_failure("key + offset")))
    for name, index_offset in [("2**64-1", U64_MAX), ("2**64-2", U64_MAX - 1), ("2**64-10", U64_MAX - 9),
                               ("2**63", 2**63)]:
        out.append((f"4294967295 keys, index_offset {name}", store(U32_MAX, index_offset, bytes(60)),
                    open_failure("key_len")))
    sound = record(b"payload") + entry(b"a", 40)
    out.append(("key_len 65535 in the last 10 bytes",
                store(2, 40 + 15, sound + struct.pack(">HQ", 0xFFFF, 40)), open_failure("key + offset")))
    out.append(("key_len 65535 in the last 2 bytes",
                store(2, 40 + 15, sound + struct.pack(">H", 0xFFFF)), open_failure("key + offset")))
    out.append(("entry starting at the last byte", store(2, 40 + 15, sound + b"\xff"), open_failure("key_len")))
    # Query-time: the file opens (offsets are not checked then); every read
    # and the deep verification report the offending offset.
    for name, offset_of in [("2**64-1", lambda n: U64_MAX), ("2**64-8", lambda n: U64_MAX - 7),
                            ("2**64-9", lambda n: U64_MAX - 8), ("2**63", lambda n: 2**63),
                            ("file length - 7", lambda n: n - 7), ("file length", lambda n: n)]:
        offset, data = offset_past_end(offset_of)
        out.append((f"object offset {name}", data, bad_offset(offset)))
    out.append(("record length 0xFFFFFFFF at 40",
                with_entries(record(b"payload", 0xFFFFFFFF), [(b"k", 40)]), long_record(40)))
    # Bytes after the index are ignored except by the checksum: a record
    # header there, 8 bytes before the end, claiming 0xFFFFFFFF bytes.
    size = len(with_entries(record(b"payload"), [(b"k", 0)], tail=bytes(8)))
    out.append(("record length 0xFFFFFFFF 8 bytes before the end",
                with_entries(record(b"payload"), [(b"k", size - 8)], tail=struct.pack(">II", U32_MAX, 0)),
                long_record(size - 8)))
    size = len(with_entries(record(b"payload"), [(b"k", 40)]))
    out.append(("record length one byte past the end",
                with_entries(record(b"payload", size - 48 + 1), [(b"k", 40)]), long_record(40)))
    return out


CASES = cases()

CHILD = textwrap.dedent("""
    import json, resource, sys, _vorlstore

    def status(field):  # bytes
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024

    path, calls, rounds, address_space = sys.argv[1], json.loads(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    if address_space:
        limit = status("VmSize") + address_space
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    before = {f: status(f) for f in ("VmHWM", "VmPeak")}
    outcomes = set()
    for _ in range(rounds):
        for verify, method, *key in calls:
            try:
                r = _vorlstore._VorlReader(path, verify)
                result = "opened" if method == "open" else repr(getattr(r, method)(*map(bytes.fromhex, key)))
            except Exception as e:
                result = f"{type(e).__name__}: {e}"
            outcomes.add((verify, method, *key, result))
    print(json.dumps({
        "outcomes": sorted(outcomes),
        "baseline": before["VmHWM"],
        "resident": status("VmHWM") - before["VmHWM"],
        "address": status("VmPeak") - before["VmPeak"],
    }))
""")


def run_case(path, calls, rounds=ROUNDS):
    wire = [[verify, method, *(k.hex() for k in key)] for verify, method, *key in calls]
    child = subprocess.run(
        [sys.executable, "-c", CHILD, str(path), json.dumps(wire), str(rounds),
         "0" if UNDER_ASAN else str(ADDRESS_SPACE_BOUND)],
        env=child_env(), capture_output=True, timeout=300)
    assert child.returncode == 0 and not child.stderr, child.stderr.decode(errors="replace")[-3000:]
    return json.loads(child.stdout)


@pytest.mark.parametrize("data, calls", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_hostile_file_gives_its_error_in_bounded_memory(tmp_path, capsys, request, data, calls):
    path = tmp_path / "hostile.vrls"
    path.write_bytes(data)
    report = run_case(path, [call for call, _ in calls])
    expected = sorted([*call[:2], *(k.hex() for k in call[2:]), result] for call, result in calls)
    # Every round gave the same answer: one outcome per call.
    assert report["outcomes"] == expected
    with capsys.disabled():
        print(f"\nhostile {request.node.callspec.id!r} ({len(data)} bytes, {ROUNDS} rounds of "
              f"{len(calls)} calls): peak resident +{report['resident'] / 1024:.0f} KiB over "
              f"{report['baseline'] / MIB:.1f} MiB, peak address space +{report['address'] / MIB:.1f} MiB")
    assert report["resident"] < RESIDENT_BOUND


# A key repeated in every index entry: the last entry must replace the
# earlier ones in constant time, or opening 40 MB of entries takes an hour
# (the child's timeout turns that into a failure instead of a hang).
DUPLICATES_SIZE = 40 * 10**6
DUPLICATES = DUPLICATES_SIZE // 10


def repeated_key():
    first, last = record(b"first"), record(b"last")
    entries = entry(b"k", 40) * (DUPLICATES - 1) + entry(b"k", 40 + len(first))
    return store(DUPLICATES, 40 + len(first + last), first + last + entries)


DUPLICATE_CASES = [
    ("zero bytes claiming 4294967295 keys", lambda: store(U32_MAX, 40, bytes(DUPLICATES_SIZE)),
     open_failure("key_len")),
    ("zero bytes claiming one key per 10 bytes", lambda: store(DUPLICATES, 40, bytes(DUPLICATES_SIZE)),
     [((True, "exists", b""), "True"), ((False, "exists", b"k"), "False"),
      ((True, "get_raw", b""), corrupt("object at 0 extends beyond file end"))]),
    ("one key in every entry, the last pointing elsewhere", repeated_key,
     [((True, "get_raw", b"k"), repr(b"last")), ((False, "objects_raw"), repr([b"first", b"last"])),
      ((True, "verify"), "True")]),
]


@pytest.mark.parametrize("make, calls", [c[1:] for c in DUPLICATE_CASES], ids=[c[0] for c in DUPLICATE_CASES])
def test_repeated_key_opens_in_linear_time_and_the_last_entry_wins(tmp_path, make, calls):
    path = tmp_path / "repeated.vrls"
    path.write_bytes(make())
    report = run_case(path, [call for call, _ in calls], rounds=1)
    assert report["outcomes"] == sorted([*call[:2], *(k.hex() for k in call[2:]), result] for call, result in calls)
