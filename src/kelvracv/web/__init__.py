"""The web front-end: a running program's frames live in a browser page, and
the page's keyboard and mouse as its input.

``python -m kelvracv run game.py --web`` or ``KELVRACV_WEB=[HOST:]PORT python
game.py``: the frame loop runs headless and calls ``serve_from_environment``
before its first frame. Needs aiohttp (the package's optional dependency
group ``web``).
"""

from .server import DEFAULT_PORT, WebServer, parse_address, serve, serve_from_environment

__all__ = ["DEFAULT_PORT", "WebServer", "parse_address", "serve", "serve_from_environment"]
