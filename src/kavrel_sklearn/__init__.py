"""kavrel for scikit-learn and Dask users.

``KavrelEncoder`` is a scikit-learn transformer around ``kavrel.Encoder``;
``kavrel_sklearn.dask.encode_dask`` encodes a Dask DataFrame with one code
per label across all its partitions.  Both import their library on first
use: ``import kavrel_sklearn`` needs scikit-learn, ``kavrel_sklearn.dask``
needs Dask too.
"""

from kavrel_sklearn._estimator import KavrelEncoder

__all__ = ["KavrelEncoder"]
