"""Small helpers for tests that inspect the exception a call raises."""

import pytest


def raised(call):
    """The exception `call()` raises, whatever its type."""
    with pytest.raises(BaseException) as info:
        call()
    return info.value


def notes(exc):
    """The notes attached to `exc` (empty where the interpreter has none)."""
    return getattr(exc, "__notes__", [])
