"""Kelvra: the kelvracv native core under the name packaged projects import.

compile_project stores this file as "Kelvra.py" in every packaged project.
Importing it hands back the installed native module itself, so a project
and the library share one namespace: rebinding ``Kelvra.RUN`` or
``Kelvra.GLOBAL_VOLUME`` is seen by the library at once.
"""

import sys

from kelvracv import _kelvra_core

sys.modules[__name__] = _kelvra_core
