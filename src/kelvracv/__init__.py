"""kelvracv: an immediate-mode drawing and game-loop library on OpenCV.

The whole library lives in the native module ``kelvracv._kelvra_core``.
Import it explicitly; importing it opens the audio mixer and starts the
volume monitor, so this package does not do it for you::

    from kelvracv import _kelvra_core as kv
"""

__all__ = []
__version__ = "0.1.0"
