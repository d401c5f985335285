"""kavrel for scikit-learn and Dask users.

``KavrelEncoder`` is a scikit-learn transformer around ``kavrel.Encoder``;
``kavrel_sklearn.dask.encode_dask`` encodes a Dask DataFrame with one code
per label across all its partitions.  Each needs only its own library:
``KavrelEncoder`` imports scikit-learn when it is first named, so the Dask
road works without it.
"""

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from kavrel_sklearn._estimator import KavrelEncoder

__all__ = ["KavrelEncoder"]


def __getattr__(name: str) -> Any:
    if name == "KavrelEncoder":
        from kavrel_sklearn._estimator import KavrelEncoder

        return KavrelEncoder
    raise AttributeError(f"module 'kavrel_sklearn' has no attribute {name!r}")
