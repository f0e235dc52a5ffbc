import subprocess
import sys
import threading

import tyvo


def test_public_surface_is_exactly_version_scheduler_trigger():
    assert tyvo.__version__ == "0.1.0"
    assert tyvo.__doc__ == ""
    public = [name for name in dir(tyvo) if not name.startswith("_")]
    assert sorted(public) == ["Scheduler", "Trigger"]
    assert not any(isinstance(v, type) and issubclass(v, BaseException) for v in vars(tyvo).values())


def test_reimport_gives_the_same_module_object(python):
    python(
        """
        import os, sys, threading
        before = threading.active_count()
        # Counted against the start: an emulator (qemu-user) keeps a thread of its own in every process.
        native_before = len(os.listdir("/proc/self/task"))
        import tyvo
        first = tyvo
        del sys.modules["tyvo"]
        import tyvo
        assert tyvo is first
        assert threading.active_count() == before
        assert len(os.listdir("/proc/self/task")) == native_before, "import started a thread"
        """
    )


def test_import_needs_no_event_loop_and_starts_no_native_thread():
    out = subprocess.run(
        [sys.executable, "-c", "import os; before = len(os.listdir('/proc/self/task')); import tyvo; "
                               "print(before, len(os.listdir('/proc/self/task')))"],
        capture_output=True, text=True, check=True,
    )
    before, after = out.stdout.split()
    assert after == before, "import started a native thread"


def test_sub_interpreter_is_refused(python):
    if sys.version_info < (3, 12):
        # No public way to run code in a sub-interpreter from Python before 3.12.
        import pytest
        pytest.skip("needs _xxsubinterpreters / _interpreters")
    python(
        """
        import tyvo
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        code = "try:\\n import tyvo\\nexcept ImportError as e:\\n pass\\nelse:\\n raise SystemExit('imported')"
        try:
            interpreters.run_string(interp, code)
        except Exception as e:
            # single-phase modules are also refused by the interpreter itself on isolated sub-interpreters
            assert "imported" not in str(e), e
        """
    )


def test_scheduler_class_properties():
    import pytest

    assert tyvo.Scheduler.__text_signature__ == "()"
    with pytest.raises(TypeError):
        tyvo.Scheduler(1)
    with pytest.raises(TypeError):
        tyvo.Scheduler(x=1)
    with pytest.raises(TypeError):
        type("Sub", (tyvo.Scheduler,), {})
    s = tyvo.Scheduler()
    with pytest.raises(AttributeError):
        s.anything = 1
    with pytest.raises(TypeError):
        __import__("weakref").ref(s)
