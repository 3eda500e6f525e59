import os
import sys

import pytest
from hypothesis import settings

# The pure-Python models beside the tests are imported by name.
sys.path.insert(0, os.path.dirname(__file__))

# No deadline: subprocess-heavy runs and sanitizer builds are slow but not wrong. `make
# test-long` loads the long profile, whose count LONG_EXAMPLES can lower for a short run.
settings.register_profile("default", max_examples=200, deadline=None)
settings.register_profile(
    "long", max_examples=int(os.environ.get("LONG_EXAMPLES", 10_000)), deadline=None
)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))

# Under `make sanitize` the sanitizer runtimes are preloaded. Their shadow memory and
# allocators make address-space limits and RSS figures meaningless, and they do not start
# under CPU emulation, so tests that rely on those skip there.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


@pytest.fixture
def rounds():
    """rounds(n): how many random cases a seeded loop tries; n everyday, and under the long
    profile as many times more as its examples outnumber the default profile's."""
    factor = settings().max_examples // settings.get_profile("default").max_examples
    return lambda n: n * max(1, factor)


# Before the mark plugin deselects by `-m`, so that `-m long` sees the markers added here.
@pytest.hookimpl(tryfirst=True)
def pytest_collection_modifyitems(config, items):
    # The property tests, which `make test-long` selects: every Hypothesis test, and every
    # seeded loop whose length comes from `rounds`.
    for item in items:
        hypothesis_test = getattr(getattr(item, "obj", None), "is_hypothesis_test", False)
        if hypothesis_test or "rounds" in getattr(item, "fixturenames", ()):
            item.add_marker(pytest.mark.long)
    if not SANITIZED:
        return
    skip = pytest.mark.skip(
        reason="measures memory or emulates a CPU: meaningless under sanitizers"
    )
    for item in items:
        if item.get_closest_marker("no_sanitizer"):
            item.add_marker(skip)
