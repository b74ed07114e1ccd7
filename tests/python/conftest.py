import os

from hypothesis import HealthCheck, settings

# Sanitizer builds run an order of magnitude slower; keep their property
# tests meaningful but short.
settings.register_profile("default", deadline=None)
settings.register_profile(
    "sanitizer",
    deadline=None,
    max_examples=25,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile(os.environ.get("MORVATEL_TEST_PROFILE", "default"))
