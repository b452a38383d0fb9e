"""Shared fixtures of the Python tests."""

import os
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def run_python(code: str, env=None, timeout: float = 120.0) -> subprocess.CompletedProcess:
    """Runs ``code`` in a fresh interpreter (process-wide state starts clean there)."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-P", "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
        cwd="/",
    )


@pytest.fixture
def runtime():
    """The process-wide runtime, started for the test and closed after it."""
    from kelvo import glib_runtime

    glib_runtime.start()
    yield glib_runtime
    glib_runtime.close()

from servers import *  # noqa: F401,F403
