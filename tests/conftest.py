import os
import sys

from hypothesis import HealthCheck, settings

# The pure-Python models beside the tests are imported by name.
sys.path.insert(0, os.path.dirname(__file__))

settings.register_profile("default", max_examples=200, deadline=None)
# A shorter run for builds that are many times slower (sanitizers).
settings.register_profile(
    "quick", max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))
