"""``tralix render``'s pictures: one position of a stored game as PNG or SVG, or the whole game
as an animated GIF (a frame per piece, the pieces' ends as the rules engine finds them), in the
seats' colours. PNG and GIF need Pillow (the ``train`` and ``play`` extras bring it); SVG is
written as text. Each picture carries the mark ``tralix render`` (a PNG text chunk, a GIF
comment, an SVG description), by which a later render knows a picture it may replace."""

from __future__ import annotations

import io
from pathlib import Path
from typing import Any

from ..base.files import write_atomically
from .games import FREE_COLOUR, SEAT_COLOURS, StoredGame, ViewError

FORMATS = (".png", ".svg", ".gif")
MARK = "tralix render"
_GRID = (170, 170, 170)
_BOARD_PIXELS = 480


def cell_pixels(side: int) -> int:
    return max(4, _BOARD_PIXELS // side)


def _colour(owner: int) -> tuple[int, int, int]:
    return SEAT_COLOURS[owner - 1] if owner else FREE_COLOUR


def _image(game: StoredGame, laid: int) -> Any:
    try:
        from PIL import Image, ImageDraw
    except ImportError:
        raise ViewError("PNG and GIF pictures need Pillow (pip install pillow, or the play or "
                        "train extra); .svg needs nothing") from None
    cell = cell_pixels(game.side)
    size = cell * game.side
    image = Image.new("RGB", (size, size), _GRID)
    draw = ImageDraw.Draw(image)
    gap = 1 if cell >= 12 else 0
    for tile, owner in enumerate(game.owners(laid)):
        r, c = divmod(tile, game.side)
        draw.rectangle((c * cell + gap, r * cell + gap, (c + 1) * cell - 1, (r + 1) * cell - 1),
                       fill=_colour(int(owner)))
    return image


def svg(game: StoredGame, laid: int) -> str:
    cell = cell_pixels(game.side)
    size = cell * game.side
    rects = []
    for tile, owner in enumerate(game.owners(laid)):
        r, c = divmod(tile, game.side)
        rgb = "#{:02x}{:02x}{:02x}".format(*_colour(int(owner)))
        rects.append(f'<rect x="{c * cell + 1}" y="{r * cell + 1}" width="{cell - 1}" '
                     f'height="{cell - 1}" fill="{rgb}"/>')
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{size}" height="{size}" '
            f'viewBox="0 0 {size} {size}">\n<desc>{MARK}</desc>\n<title>game {game.id}, '
            f'{laid} of {game.moves} tiles laid</title>\n<rect width="{size}" height="{size}" '
            f'fill="#aaaaaa"/>\n' + "\n".join(rects) + "\n</svg>\n")


def is_rendered(path: Path) -> bool:
    """Whether the file at ``path`` is a picture written by render (its mark near the start)."""
    try:
        with open(path, "rb") as f:
            return MARK.encode() in f.read(4096)
    except OSError:
        return False


def picture_format(output: Path) -> str:
    """The picture's format by its name's suffix: .png, .svg or .gif, else a ViewError."""
    suffix = output.suffix.lower()
    if suffix not in FORMATS:
        raise ViewError(f"--output {output}: the picture's name must end with .png, .svg or "
                        f".gif, not {suffix or 'nothing'}")
    return suffix


def render(game: StoredGame, laid: int | None, output: Path) -> str:
    """Writes the picture (whole or not at all); ``laid`` None draws the end of the game (for
    a GIF: every piece). Returns what was drawn, for the command's output line."""
    suffix = picture_format(output)
    if laid is not None:
        game.check_move(laid)
    end = game.moves if laid is None else laid
    picture = io.BytesIO()
    drawn = f"{end} of {game.moves} tiles laid"
    if suffix == ".svg":
        picture.write(svg(game, end).encode("utf-8"))
    elif suffix == ".png":
        from PIL.PngImagePlugin import PngInfo

        text = PngInfo()
        text.add_text("Software", MARK)
        _image(game, end).save(picture, format="PNG", pnginfo=text)
    else:
        steps = sorted({0, end, *(int(e) for e in game.ends if e <= end)})
        frames = [_image(game, n) for n in steps]
        durations = [120] * (len(frames) - 1) + [2000]
        frames[0].save(picture, format="GIF", save_all=True, append_images=frames[1:],
                       duration=durations, loop=0, comment=MARK)
        drawn = f"{len(frames)} frames up to {end} of {game.moves} tiles laid"
    write_atomically(output, lambda f: f.write(picture.getvalue()))
    return drawn
