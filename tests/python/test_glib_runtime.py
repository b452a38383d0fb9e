"""The process-wide runtime: start, close, the loop thread and the rank overrides.

Each test runs in a fresh interpreter: the runtime and GStreamer's registry are per process.
"""

import json

import pytest

from conftest import run_python

NOT_STARTED = (
    "The GObject libraries have not been initialized yet. "
    "They can be initialized with glib_runtime.start()"
)


def run_ok(code, env=None):
    result = run_python(code, env=env)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_assert_started_follows_start_and_close():
    out = run_ok(
        """
        import threading
        from kelvo import glib_runtime
        def check():
            try:
                glib_runtime.assert_started()
                return "started"
            except RuntimeError as e:
                return str(e)
        print(check())
        glib_runtime.start()
        print(check())
        loops = [t for t in threading.enumerate() if t.name == "GlibRuntimeThread"]
        print(len(loops), loops[0].daemon, loops[0].is_alive())
        glib_runtime.close()
        print(check())
        print([t.name for t in threading.enumerate()])
        glib_runtime.close()
        """
    )
    lines = out.splitlines()
    assert lines[0] == NOT_STARTED
    assert lines[1] == "started"
    assert lines[2] == "1 True True"
    assert lines[3] == NOT_STARTED
    assert lines[4] == "['MainThread']"


def test_start_without_main_loop_creates_no_thread():
    out = run_ok(
        """
        import threading
        from kelvo import glib_runtime
        glib_runtime.start(start_main_loop=False)
        glib_runtime.assert_started()
        print([t.name for t in threading.enumerate()], glib_runtime._state())
        glib_runtime.close()
        print(glib_runtime._state())
        glib_runtime.start(0)  # any value, tested for truth
        print(glib_runtime._state())
        """
    )
    assert out.splitlines() == [
        "['MainThread'] (True, False, False)",
        "(False, False, False)",
        "(True, False, False)",
    ]


def test_second_start_is_a_no_op_and_leaves_the_loop_alone():
    out = run_ok(
        """
        import logging, threading
        from kelvo import glib_runtime
        lines = []
        class Keep(logging.Handler):
            def emit(self, record):
                lines.append(record.getMessage())
        logging.getLogger("kelvo").addHandler(Keep())
        logging.getLogger("kelvo").setLevel(logging.INFO)
        glib_runtime.start()
        first = len(lines)
        glib_runtime.start()
        glib_runtime.start(start_main_loop=False)
        loops = [t for t in threading.enumerate() if t.name == "GlibRuntimeThread"]
        print(first > 0, len(lines) == first, len(loops))
        glib_runtime.close()
        glib_runtime.start()
        print(len(lines) == 2 * first)
        glib_runtime.close()
        """,
        env={"KELVO_JPEG_RANK": "300"},
    )
    assert out.splitlines() == ["True True 1", "True"]


def test_many_immediate_start_close_cycles_never_hang():
    out = run_ok(
        """
        import threading
        from kelvo import glib_runtime
        for _ in range(500):
            glib_runtime.start()
            glib_runtime.close()
        print([t.name for t in threading.enumerate()])
        """
    )
    assert out.strip() == "['MainThread']"


def test_concurrent_callers_do_not_deadlock_while_the_runtime_logs():
    # Each start logs (rank overrides) through Python while other threads wait for the
    # runtime's lock: no caller may hold the GIL while it waits.
    out = run_ok(
        """
        import logging, threading
        from kelvo import glib_runtime
        logging.basicConfig(level=logging.INFO, handlers=[logging.NullHandler()])
        def churn():
            for _ in range(40):
                glib_runtime.start()
                try:
                    glib_runtime.assert_started()
                except RuntimeError:
                    pass
                glib_runtime.close()
        threads = [threading.Thread(target=churn) for _ in range(4)]
        for t in threads: t.start()
        for t in threads: t.join(60)
        print(sum(t.is_alive() for t in threads))
        """,
        env={"KELVO_LIBAV_RANK": "257"},
    )
    assert out.strip() == "0"


def test_host_exit_without_close_is_clean():
    result = run_python(
        """
        from kelvo import glib_runtime
        glib_runtime.start()
        """
    )
    assert result.returncode == 0
    assert result.stderr == ""


RANKS = """
    import json, logging
    from kelvo import glib_runtime
    lines = []
    class Keep(logging.Handler):
        def emit(self, record):
            lines.append([record.levelname, record.getMessage()])
    logging.getLogger("kelvo").addHandler(Keep())
    logging.getLogger("kelvo").setLevel(logging.INFO)
    glib_runtime.start()
    import gi
    gi.require_version("Gst", "1.0")
    from gi.repository import Gst
    names = ["avdec_h264", "avdec_h265", "jpegdec"]
    ranks = {n: Gst.ElementFactory.find(n).get_rank() for n in names}
    print(json.dumps({"lines": lines, "ranks": ranks}))
"""


def ranks_with(env):
    return json.loads(run_ok(RANKS, env=env))


def test_no_override_logs_nothing():
    result = ranks_with({})
    assert result["lines"] == []
    assert result["ranks"]["avdec_h264"] == 256


@pytest.mark.parametrize("value", ["257", " 257 ", "+257", "2_5_7", "\u0662\u0665\u0667"])
def test_override_sets_every_decoder_of_the_plugin(value):
    result = ranks_with({"KELVO_LIBAV_RANK": value})
    assert result["ranks"]["avdec_h264"] == 257
    assert result["ranks"]["avdec_h265"] == 257
    assert result["ranks"]["jpegdec"] == 256  # another plugin
    messages = [m for level, m in result["lines"]]
    assert "Setting rank for element factory avdec_h264 to 257" in messages
    assert all(level == "INFO" and m.endswith(" to 257") for level, m in result["lines"])


def test_zero_is_accepted():
    result = ranks_with({"KELVO_JPEG_RANK": "0"})
    assert result["ranks"]["jpegdec"] == 0
    assert ["INFO", "Setting rank for element factory jpegdec to 0"] in result["lines"]


@pytest.mark.parametrize("value", ["-1", "", "257.0", "0x101", "high", "1__0"])
def test_invalid_value_is_refused_and_the_other_plugin_still_applies(value):
    result = ranks_with({"KELVO_JPEG_RANK": value, "KELVO_LIBAV_RANK": "300"})
    assert result["ranks"]["jpegdec"] == 256
    assert result["ranks"]["avdec_h264"] == 300
    errors = [m for level, m in result["lines"] if level == "ERROR"]
    assert errors and errors[0] == (
        f"Invalid rank value for KELVO_JPEG_RANK: '{value}'. The value must be an unsigned "
        "integer. The plugin's rank will not be changed."
    )


def test_value_beyond_the_rank_type_is_refused():
    result = ranks_with({"KELVO_JPEG_RANK": str(2**32 + 257)})
    assert result["ranks"]["jpegdec"] == 256
    assert any("no greater than 4294967295" in m for _, m in result["lines"])


def test_lower_case_variable_is_not_read():
    result = ranks_with({"kelvo_libav_rank": "300"})
    assert result["lines"] == []
    assert result["ranks"]["avdec_h264"] == 256


def test_doctor_lists_decoders_with_ranks_and_variables():
    result = run_python(
        "import sys; from kelvo.cli import main; sys.exit(main(['doctor']))",
        env={"KELVO_LIBAV_RANK": "260"},
    )
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert out.startswith("GStreamer 1.")
    assert "libav  [KELVO_LIBAV_RANK: set to '260']" in out
    assert "avdec_h264" in out and "260 (PRIMARY+4)" in out
    assert "jpegdec" in out
