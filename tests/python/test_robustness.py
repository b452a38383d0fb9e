"""No host call hangs or crashes the process, and readers keep their streams alive.

The scenarios that froze or crashed a process run in fresh interpreters with a time limit, so
that a freeze fails the test instead of hanging the suite.
"""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import run_python

KELVO_THREADS = ("SamplePullingThread", "PipelineRestarterThread", "PipelineTeardownThread",
                 "StreamReaderCloseThread")


def test_host_calls_never_freeze_against_restarting_readers():
    """Host threads hammer every public call while readers restart several times a second."""
    result = run_python(
        """
        import logging, random, threading, time
        logging.basicConfig(level=logging.INFO, handlers=[logging.NullHandler()])
        from kelvo import glib_runtime
        from kelvo.stream_reader.base import StreamStatus
        from kelvo.stream_reader.gst import GstStreamReader

        # Ends after a few frames (a restart each time); H.264 with a buffer_src element, so
        # that keyframes-only changes a real probe while the pipeline is rebuilt.
        FINITE = ("videotestsrc num-buffers=%d ! video/x-raw,width=64,height=48,framerate=60/1 "
                  "! x264enc tune=zerolatency speed-preset=ultrafast key-int-max=5 ! h264parse "
                  "! identity name=buffer_src ! avdec_h264 ! videoconvert ! appsink")
        LIVE = ("videotestsrc is-live=true ! video/x-raw,format=BGR,width=64,height=48,"
                "framerate=30/1 ! appsink")
        glib_runtime.start()

        def make(i):
            description = LIVE if i == 0 else FINITE % (4 + i)
            return GstStreamReader(i, f"test://{i}", pipeline_str=description,
                                   runtime_options={"keyframes_only": i % 2 == 0},
                                   base_backoff_seconds=0.05, max_backoff_seconds=0.1,
                                   backoff_randomness_seconds=0.02)

        readers = [make(i) for i in range(5)]
        stop = time.monotonic() + 5
        errors = []

        def hammer(seed):
            rng = random.Random(seed)
            while time.monotonic() < stop:
                r = rng.choice(readers)
                try:
                    op = rng.randrange(9)
                    if op == 0: r.stats
                    elif op == 1: r.status
                    elif op == 2: r.latest_frame
                    elif op == 3: r.latest_frame_event.wait(0.01)
                    elif op == 4: r.new_status_event.wait(0.005); r.new_status_event.clear()
                    elif op == 5: r.set_runtime_option_vals({"keyframes_only": rng.random() < .5})
                    elif op == 6: r.status = rng.choice([StreamStatus.HALTED, StreamStatus.STREAMING])
                    elif op == 7: repr(r); r.id; r._pipeline_state.status
                    elif op == 8 and rng.random() < 0.01: r.close(block=rng.random() < .5)
                except Exception as e:
                    errors.append(repr(e))

        threads = [threading.Thread(target=hammer, args=(s,)) for s in range(4)]
        for t in threads: t.start()
        for t in threads: t.join()
        restarts = sum(r.stats["restarts"] for r in readers)
        for r in readers: r.wait_until_closed()
        glib_runtime.close()
        deadline = time.monotonic() + 10
        names = THREAD_NAMES
        while time.monotonic() < deadline and any(
                t.name in names for t in threading.enumerate()):
            time.sleep(0.05)
        left = [t.name for t in threading.enumerate() if t.name in names]
        print("errors", errors[:3], "restarts", restarts, "left", left,
              "closed", all(r.status == StreamStatus.CLOSED for r in readers))
        """.replace("THREAD_NAMES", repr(KELVO_THREADS)),
        timeout=90,
    )
    assert result.returncode == 0, result.stderr[-3000:]
    assert "errors [] " in result.stdout
    assert "left [] closed True" in result.stdout
    restarts = int(result.stdout.split("restarts ")[1].split()[0])
    assert restarts >= 8, result.stdout


class TestUnconstructedReaders:
    def test_every_member_raises_instead_of_crashing(self):
        result = run_python(
            """
            import threading
            from kelvo import glib_runtime
            from kelvo.stream_reader.gst import GstStreamReader

            class Early(GstStreamReader):
                def __init__(self):
                    for touch in (repr, lambda s: s.status, lambda s: s.stats, lambda s: s.close(),
                                  lambda s: s.latest_frame, lambda s: s._pipeline_state):
                        try:
                            print("value", touch(self))
                        except RuntimeError as e:
                            print("refused", "not constructed" in str(e))
                    super().__init__(1, "x://y", runtime_options={},
                                     pipeline_str="videotestsrc ! appsink")

            glib_runtime.start()
            Early().wait_until_closed()
            try:
                GstStreamReader.__new__(GstStreamReader).close()
            except RuntimeError as e:
                print("refused", "not constructed" in str(e))

            # Another thread touches a reader whose must_play construction is still running.
            reader = GstStreamReader.__new__(GstStreamReader)
            seen = []
            def touch():
                try:
                    seen.append(reader.stats)
                except RuntimeError:
                    seen.append("refused")
            never_plays = "videotestsrc ! video/x-raw,width=8,height=8 ! queue max-size-buffers=1 ! identity sleep-time=2000000 ! appsink"
            thread = threading.Thread(target=touch)
            import kelvo.stream_reader.gst as gst
            gst._STATE_CHANGE_TIMEOUT = 0.5
            def construct():
                try:
                    reader.__init__(1, "x://y", runtime_options={}, pipeline_str=never_plays,
                                    must_play=True)
                except Exception as e:
                    print("construction failed", type(e).__name__)
            builder = threading.Thread(target=construct)
            builder.start(); thread.start(); thread.join(); builder.join()
            print("concurrent", seen)
            glib_runtime.close()
            """
        )
        assert result.returncode == 0, result.stderr[-3000:]
        lines = result.stdout.splitlines()
        assert lines[0].startswith("value <GstStreamReader (not constructed)")
        assert lines[1:7] == ["refused True"] * 6
        assert "construction failed StreamSetupError" in lines
        assert lines[-1] in ("concurrent ['refused']",)

    @pytest.mark.parametrize("order", [
        ("_kelvo", "gi", "_pipelines"), ("gi", "_pipelines", "_kelvo"),
        ("_pipelines", "_kelvo", "gi"), ("gst", "gi", "_pipelines"),
    ])
    def test_core_errors_become_python_errors_in_any_import_order(self, order):
        imports = {
            "_kelvo": "import kelvo._kelvo",
            "_pipelines": "import kelvo._pipelines",
            "gst": "import kelvo.stream_reader.gst",
            "gi": "import gi; gi.require_version('Gst', '1.0'); "
                  "from gi.repository import Gst; Gst.init(None)",
        }
        code = "\n".join(imports[name] for name in order) + textwrap.dedent("""
            import kelvo._pipelines as p
            from kelvo.errors import StreamSetupError
            try:
                p.CustomPipelineFactory("videotestsrc ! nosuchelement ! appsink", url="x://y",
                                        pipeline_watcher=lambda *a: True,
                                        on_complete=lambda pipeline: None).build()
            except StreamSetupError as e:
                print("raised", "nosuchelement" in str(e))
            """)
        result = run_python(code)
        assert result.returncode == 0, result.stderr[-2000:]
        assert result.stdout.strip() == "raised True"


def test_forked_children_exit_and_their_readers_are_inert():
    result = run_python(
        """
        import logging, os, sys, time, warnings
        logging.basicConfig(level=logging.INFO, stream=sys.stderr)
        warnings.simplefilter("ignore", DeprecationWarning)
        from kelvo import glib_runtime
        from kelvo.stream_reader.base import StreamStatus
        from kelvo.stream_reader.gst import GstStreamReader

        glib_runtime.start()
        readers = [GstStreamReader(i, "test://x", runtime_options={},
                                   pipeline_str="videotestsrc num-buffers=3 ! appsink",
                                   base_backoff_seconds=0.01, max_backoff_seconds=0.02,
                                   backoff_randomness_seconds=0)
                   for i in range(6)]
        children = []
        for i in range(40):
            pid = os.fork()
            if pid == 0:
                if i % 2:
                    r = readers[i % 6]
                    r.close(); r.wait_until_closed(); r.stats; r.latest_frame
                    r.latest_frame_event.wait(); glib_runtime.close()
                sys.exit(0)
            children.append(pid)
            time.sleep(0.01)
        deadline = time.monotonic() + 30
        exited = 0
        while children and time.monotonic() < deadline:
            for pid in list(children):
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    children.remove(pid)
                    exited += os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
            time.sleep(0.02)
        for pid in children:
            os.kill(pid, 9)
        print("exited cleanly", exited, "hung", len(children))
        for r in readers: r.wait_until_closed()
        glib_runtime.close()
        """,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.strip() == "exited cleanly 40 hung 0"


def test_closed_by_any_path_sets_the_frame_event(runtime):
    from kelvo._kelvo import Event
    from kelvo.stream_reader.base import StreamStatus
    from kelvo.stream_reader.gst import GstStreamReader

    assert Event().wait(float("nan")) is False  # returns as threading.Event's does
    for close in (lambda r: setattr(r, "status", StreamStatus.CLOSED),
                  lambda r: r._pipeline_state.close(),
                  lambda r: r.close(block=False)):
        reader = GstStreamReader(1, "test://x", runtime_options={},
                                 pipeline_str="videotestsrc is-live=true ! appsink")
        reader.latest_frame_event.wait(5)
        reader.latest_frame
        close(reader)
        assert reader.latest_frame_event.wait(5)
        reader.wait_until_closed()


def test_dropped_reader_is_closed_without_the_host_waiting(runtime):
    import gc

    from kelvo.stream_reader.gst import GstStreamReader

    reader = GstStreamReader(1, "test://x", runtime_options={},
                             pipeline_str="videotestsrc is-live=true ! appsink")
    state = reader._pipeline_state
    thread = reader._pipeline_restarter._pipeline_restarter_thread
    del reader
    gc.collect()
    thread.join(10)
    assert not thread.is_alive() and state.status.name == "CLOSED"


def test_runtime_close_warns_about_open_readers():
    result = run_python(
        """
        import logging
        logging.basicConfig(level=logging.WARNING, format="%(levelname)s %(message)s")
        from kelvo import glib_runtime
        from kelvo.stream_reader.gst import GstStreamReader
        glib_runtime.start()
        readers = [GstStreamReader(i, "test://x", runtime_options={},
                                   pipeline_str="videotestsrc is-live=true ! appsink")
                   for i in range(2)]
        readers[0].wait_until_closed()
        glib_runtime.close()
        readers[1].wait_until_closed()
        """
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert "glib_runtime.close() with 1 stream reader still open" in result.stderr


class TestBackoffAndTeardown:
    def test_main_loop_answers_while_a_reader_backs_off(self):
        result = run_python(
            """
            import time, threading
            import gi
            gi.require_version("Gst", "1.0")
            from gi.repository import GLib, Gst
            from kelvo import glib_runtime
            from kelvo.stream_reader.gst import GstStreamReader
            glib_runtime.start()
            reader = GstStreamReader(1, "test://x", runtime_options={},
                                     pipeline_str="videotestsrc num-buffers=3 ! appsink",
                                     base_backoff_seconds=5, max_backoff_seconds=6,
                                     backoff_randomness_seconds=0)
            # First restart after 0.01 s, then the next pipeline ends too: a 6 s back-off.
            while reader.stats["restarts"] < 1 or reader.status.name != "HALTED":
                time.sleep(0.01)
            pipeline = reader._pipeline_state.pipeline.gst_pipeline
            answered = threading.Event()
            start = time.monotonic()
            # A bus message of the backing-off reader first, then a task for the loop.
            pipeline.get_bus().post(Gst.Message.new_eos(pipeline))
            GLib.idle_add(lambda: answered.set() and False)
            answered.wait(10)
            print("answered after %.2f s" % (time.monotonic() - start))
            reader.close(block=False)
            """,
            timeout=60,
        )
        assert result.returncode == 0, result.stderr[-2000:]
        waited = float(result.stdout.split("after ")[1].split()[0])
        assert waited < 2.5, result.stdout  # the back-off is 6 s

    def test_hung_teardown_does_not_stop_another_reader(self):
        result = run_python(
            """
            import threading, time
            from unittest import mock
            from kelvo import glib_runtime
            import kelvo.stream_reader.gst as gst

            release = threading.Event()

            class Stuck:
                # A pipeline whose teardown never returns until the test lets it.
                def __init__(self, pipeline): self._p = pipeline
                def __getattr__(self, name): return getattr(self._p, name)
                def set_state(self, state):
                    if state.value_nick == "null": release.wait()
                    return self._p.set_state(state)

            class StuckFactory:
                def __init__(self, description, **kwargs):
                    self._f = kelvo._pipelines.CustomPipelineFactory(description, **kwargs)
                def build(self):
                    return Stuck(self._f.build())

            import kelvo._pipelines
            gst._STATE_CHANGE_TIMEOUT = 0.5
            glib_runtime.start()
            options = dict(runtime_options={}, base_backoff_seconds=0, max_backoff_seconds=0.05,
                           backoff_randomness_seconds=0)
            with mock.patch("kelvo.stream_reader.gst.CustomPipelineFactory", StuckFactory):
                stuck = gst.GstStreamReader(1, "test://stuck", pipeline_str=
                    "videotestsrc num-buffers=3 ! appsink", **options)
            other = gst.GstStreamReader(2, "test://other", pipeline_str=
                "videotestsrc num-buffers=3 ! appsink", **options)
            time.sleep(3)
            print("stuck restarts", stuck.stats["restarts"] > 0,
                  "other restarts", other.stats["restarts"] >= 3)
            start = time.monotonic()
            stuck.wait_until_closed()
            print("closed within", time.monotonic() - start < 2)
            release.set()
            other.wait_until_closed()
            """,
            timeout=60,
        )
        assert result.returncode == 0, result.stderr[-3000:]
        assert result.stdout.split() == ["stuck", "restarts", "True", "other", "restarts", "True",
                                         "closed", "within", "True"]


def test_a_rebuild_that_fails_is_tried_again(runtime, caplog):
    from unittest import mock

    import kelvo._pipelines
    import kelvo.stream_reader.gst as gst

    builds = []

    class Flaky:  # the second and third builds fail
        def __init__(self, description, **kwargs):
            self._factory = kelvo._pipelines.CustomPipelineFactory(description, **kwargs)

        def build(self):
            builds.append(len(builds) + 1)
            if len(builds) in (2, 3):
                raise ConnectionError(f"camera away ({len(builds)})")
            return self._factory.build()

    with mock.patch.object(gst, "CustomPipelineFactory", Flaky):
        reader = gst.GstStreamReader(1, "test://x", runtime_options={},
                                     pipeline_str="videotestsrc num-buffers=30 ! appsink",
                                     base_backoff_seconds=0, max_backoff_seconds=0.05)
    try:
        deadline = time.monotonic() + 20
        while len(builds) < 4 and time.monotonic() < deadline:
            time.sleep(0.02)
        reader.latest_frame_event.clear()
        assert reader.latest_frame_event.wait(10)  # streams again, without help
        assert reader.stats["restarts"] >= 3
        failures = [r for r in caplog.records if "restart failed" in r.getMessage()]
        assert len(failures) == 2 and failures[0].exc_info[0] is ConnectionError
    finally:
        reader.wait_until_closed()


def test_watch_exits_at_once_while_a_reader_backs_off():
    start = time.monotonic()
    result = subprocess.run(
        [sys.executable, "-P", "-m", "kelvo", "watch", "--duration", "2", "rtsp://127.0.0.1:1/x"],
        capture_output=True, text=True, timeout=60, cwd="/")
    assert result.returncode == 0, result.stderr[-2000:]
    assert time.monotonic() - start < 8  # a back-off of 13 s or more is under way
