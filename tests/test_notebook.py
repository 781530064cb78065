"""kelvracv.notebook in a real notebook: executed headless by nbclient on an
ipykernel kernel, the page of its output cell loaded in Chromium (Debian's,
driven by Playwright), and the kernel interrupted while the program runs."""

import threading

import pytest

nbformat = pytest.importorskip("nbformat")
nbclient = pytest.importorskip("nbclient")
pytest.importorskip("ipykernel")
from jupyter_core.utils import run_sync  # noqa: E402

from test_web import browser  # noqa: E402, F401 (fixture)

GAME = """
import sys
from kelvracv import _kelvra_core as kv
print("hello from the game", *sys.argv[1:])
def tick(arr, ts):
    arr[:] = (0, 160, 0)
kv.run(tick, ((320, 240), "notebook game"), kv.C["K"])
"""

CELLS = [
    'from kelvracv import notebook\ngame = notebook.show("game.py", args=["level", "3"])\ngame.iframe',
    "import time\ntry:\n    time.sleep(60)\nexcept KeyboardInterrupt:\n    print('interrupted')",
    "print(game.running, 'hello from the game level 3' in game.log, game.url in game.output())",
    "print(game.stop() != 0, game.running)",
]

FRAMES = "() => window.kelvracv ? window.kelvracv.frames : 0"
CENTRE = """() => { const c = document.getElementById("screen");
                   return Array.from(c.getContext("2d").getImageData(c.width / 2, c.height / 2, 1, 1).data); }"""


def text(cell):
    return "".join(o.get("text", "") for o in cell.outputs if o.output_type == "stream")


def test_a_notebook_shows_the_program_which_outlives_an_interrupt(tmp_path, browser):  # noqa: F811
    (tmp_path / "game.py").write_text(GAME)
    nb = nbformat.v4.new_notebook(cells=[nbformat.v4.new_code_cell(c) for c in CELLS])
    client = nbclient.NotebookClient(nb, kernel_name="python3", timeout=120, allow_errors=True,
                                     resources={"metadata": {"path": str(tmp_path)}})
    context = browser.new_context(bypass_csp=True)
    with client.setup_kernel():
        client.execute_cell(nb.cells[0], 0)
        html = nb.cells[0].outputs[0]["data"]["text/html"]
        assert '<iframe' in html and 'src="http://127.0.0.1:' in html, nb.cells[0].outputs
        page = context.new_page()
        page.set_content(html)  # the output cell as the notebook shows it
        page.wait_for_function("() => window.frames.length === 1")
        frame = page.frames[1]
        frame.wait_for_function(f"({FRAMES})() > 3", timeout=20000)
        assert frame.title() == "notebook game"
        r, g, b, _ = frame.evaluate(CENTRE)  # the green the tick fills with, through JPEG
        assert max(abs(r - 0), abs(g - 160), abs(b - 0)) < 8
        # A kernel interrupt, as the notebook's button sends it (SIGINT to the
        # kernel's process group), while a cell runs.
        timer = threading.Timer(1.0, run_sync(client.km.interrupt_kernel))
        timer.start()
        client.execute_cell(nb.cells[1], 1)
        timer.join()
        assert text(nb.cells[1]) == "interrupted\n"
        seen = frame.evaluate(FRAMES)
        frame.wait_for_function(f"({FRAMES})() > {seen + 30}", timeout=20000)  # the program went on
        client.execute_cell(nb.cells[2], 2)
        assert text(nb.cells[2]) == "True True True\n"
        client.execute_cell(nb.cells[3], 3)
        assert text(nb.cells[3]) == "True False\n"
    context.close()
    # the program's output went to its log, never into a cell
    assert all("Volume monitor" not in text(c) and "hello" not in text(c) for c in nb.cells)
