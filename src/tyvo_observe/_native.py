"""tyvo's library under its second entry point, "_tyvo_observe": a module that shares the state
of the loaded tyvo (its job tasks above all) and connects observers to their runs."""

import importlib.machinery
import importlib.util
import sys
from types import ModuleType

import tyvo


def _load() -> ModuleType:
    name = "_tyvo_observe"
    loaded = sys.modules.get(name)
    if loaded is not None:
        return loaded
    library = tyvo.__file__
    if library is None:
        raise ImportError("tyvo_observe needs tyvo's compiled module, which has no file here")
    loader = importlib.machinery.ExtensionFileLoader(name, library)
    module_spec = importlib.util.spec_from_file_location(name, library, loader=loader)
    if module_spec is None:
        raise ImportError(f"cannot load {name} from {library}")
    module = importlib.util.module_from_spec(module_spec)
    loader.exec_module(module)
    sys.modules[name] = module
    return module


_module = _load()
RunEvent = _module.RunEvent
set_sinks = _module.set_sinks
job_states = _module.job_states
started_schedulers = _module.started_schedulers
runs_in_progress = _module.runs_in_progress
current_run = _module.current_run
replica_skipped = _module.replica_skipped
cancelled_at_shutdown = _module.cancelled_at_shutdown
