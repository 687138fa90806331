"""The `once` marker: slow child-interpreter probes whose outcome cannot depend on the CPython
version, so CI runs them on one interpreter only (`-m "not once"` on the others; see .ci/run).

They are listed here, by file and function, rather than marked where they are written, so that
the list of what runs once stays in one place.
"""
import pytest

RUN_ONCE = {
    # A real SIGINT against each long native loop: the loops poll for signals through the same
    # stable call on every version, and the probes' cost is child start-up and waiting.
    "test_hostile.py::test_ctrl_c_stops_long_loops",
    "test_lystra.py::test_long_loops_can_be_interrupted",
    "test_hostile_step.py::test_ctrl_c_interrupts_a_step_before_it_changes_anything",
}


def pytest_collection_modifyitems(items):
    for item in items:
        if f"{item.path.name}::{getattr(item, 'originalname', item.name)}" in RUN_ONCE:
            item.add_marker(pytest.mark.once)
