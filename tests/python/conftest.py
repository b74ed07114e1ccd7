import os

import pytest
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

# Shared helpers that assert are rewritten as test modules are, so that their
# failures show the values compared.
pytest.register_assert_rewrite("raising")


@pytest.fixture
def lock_dir(tmp_path, monkeypatch):
    """The folder the logs' writers take their lock files in: the test's own,
    so that tests neither share locks nor leave files in the user's."""
    d = tmp_path / "locks"
    monkeypatch.setenv("MORVATEL_WAL_LOCK_DIR", str(d))
    return d
