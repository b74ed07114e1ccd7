"""What a call raises, held to its exact class.

pytest.raises also passes a subclass; the bindings promise the class itself,
so a test that names a class means that one.
"""

import pytest


def raised(exc, fn, *args):
    """What fn(*args) raises, which must be exactly `exc`."""
    with pytest.raises(exc) as e:
        fn(*args)
    assert type(e.value) is exc
    return e.value
