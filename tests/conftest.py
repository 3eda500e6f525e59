import os
import sys

import pytest
from hypothesis import settings

# The pure-Python models beside the tests are imported by name.
sys.path.insert(0, os.path.dirname(__file__))

# No deadline: subprocess-heavy runs and sanitizer builds are slow but not wrong.
settings.register_profile("default", max_examples=200, deadline=None)
settings.register_profile("long", max_examples=10_000, deadline=None)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))

# Under `make sanitize` the sanitizer runtimes are preloaded. Their shadow memory and
# allocators make address-space limits and RSS figures meaningless, and they do not start
# under CPU emulation, so tests that rely on those skip there.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


def pytest_collection_modifyitems(config, items):
    if not SANITIZED:
        return
    skip = pytest.mark.skip(
        reason="measures memory or emulates a CPU: meaningless under sanitizers"
    )
    for item in items:
        if item.get_closest_marker("no_sanitizer"):
            item.add_marker(skip)
