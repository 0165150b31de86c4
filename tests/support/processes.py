"""Child interpreters, this process's descriptors, and the text a failed system call reads as:
for tests that must watch output, exit status or memory from outside."""

import contextlib
import os
import subprocess
import sys
import textwrap

# True when the AddressSanitizer runtime is preloaded (tools/test.sh's
# sanitizer run): it replaces the allocator, so out-of-memory behaviour
# is its own.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def child_env(**extra):
    """This environment with PYTHONPATH set to this interpreter's import path, so that a child
    imports the same _vorlstore."""
    env = dict(os.environ, **extra)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env


def run_python(code, *args, **kwargs):
    """Runs `code` (dedented) in a child interpreter with this one's import path."""
    kwargs.setdefault("capture_output", True)
    kwargs.setdefault("timeout", 120)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], env=child_env(), **kwargs)


@contextlib.contextmanager
def redirected(fd, path):
    """Points descriptor `fd` at `path` (opened for writing) for the block."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = os.dup(fd)
    target = os.open(path, os.O_WRONLY)
    os.dup2(target, fd)
    os.close(target)
    try:
        yield
    finally:
        os.dup2(saved, fd)
        os.close(saved)


def os_error_text(err):
    """How the store renders a failed system call's errno."""
    return f"{os.strerror(err)} (os error {err})"


def first_output(child, stream, seconds=60):
    """The first character `child` writes to `stream`; kills it and fails if none comes in time,
    so that a display that never appears fails the test instead of hanging it."""
    import select

    if not select.select([stream], [], [], seconds)[0]:
        child.kill()
        raise AssertionError(f"no output from {child.args} in {seconds} s")
    return stream.read(1)
