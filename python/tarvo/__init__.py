"""tarvo: exact, robust and fast registration of 3-D point clouds."""

from ._tarvo import METHODS, __version__

__all__ = ["METHODS", "__version__"]
