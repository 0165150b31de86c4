"""Python started in the folder above a checkout cloned as ``vorlstore/``
imports the installed package, or says why it cannot; never an empty
namespace package."""

from __future__ import annotations

import pathlib
import shutil
import subprocess
import sys

import pytest

from processes import child_env

CHECKOUT_INIT = pathlib.Path(__file__).resolve().parents[2] / "__init__.py"


@pytest.mark.parametrize("flags, args, expected", [
    # The package is on the path (the child inherits this interpreter's).
    ([], ["-c", "import vorlstore, vorlstore.reader; print(vorlstore.VorlReader.__name__)"], "VorlReader"),
    ([], ["-m", "vorlstore", "--version"], "vorlstore 0.2.0"),
    # Nothing but the checkout: no site packages, no PYTHONPATH.
    (["-S", "-E"], ["-c", "import vorlstore"], "is a checkout of vorlstore's source, not the package"),
    (["-S", "-E"], ["-m", "vorlstore"], "is a checkout of vorlstore's source, not the package"),
])
def test_checkout_beside_the_working_folder(tmp_path, flags, args, expected):
    (tmp_path / "vorlstore").mkdir()
    shutil.copy(CHECKOUT_INIT, tmp_path / "vorlstore")
    done = subprocess.run([sys.executable, *flags, *args], cwd=tmp_path, env=child_env(),
                          capture_output=True, text=True, timeout=120)
    assert expected in done.stdout + done.stderr, done.stderr
