"""``tralix render``'s pictures: one position of a stored game as PNG or SVG, or the whole game
as an animated GIF (a frame per piece), in the seats' colours. PNG and GIF need Pillow (the
``train`` extra brings it); SVG is written as text."""

from __future__ import annotations

from pathlib import Path
from typing import Any

from .games import FREE_COLOUR, SEAT_COLOURS, StoredGame, ViewError, piece_ends

FORMATS = (".png", ".svg", ".gif")
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
        raise ViewError("PNG and GIF pictures need Pillow (pip install pillow, or the train "
                        "extra); .svg needs nothing") from None
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
            f'viewBox="0 0 {size} {size}">\n<title>game {game.id}, {laid} of {game.moves} '
            f'tiles laid</title>\n<rect width="{size}" height="{size}" fill="#aaaaaa"/>\n'
            + "\n".join(rects) + "\n</svg>\n")


def render(game: StoredGame, laid: int | None, output: Path) -> str:
    """Writes the picture; ``laid`` None draws the end of the game (for a GIF: every piece).
    Returns what was drawn, for the command's output line."""
    suffix = output.suffix.lower()
    if suffix not in FORMATS:
        raise ViewError(f"--output {output}: the picture's name must end with .png, .svg or "
                        f".gif, not {suffix or 'nothing'}")
    if laid is not None:
        game.check_move(laid)
    end = game.moves if laid is None else laid
    if suffix == ".svg":
        output.write_text(svg(game, end), encoding="utf-8")
    elif suffix == ".png":
        _image(game, end).save(output, format="PNG")
    else:
        steps = sorted({0, end, *(e for e in piece_ends(game.players) if e <= end)})
        frames = [_image(game, n) for n in steps]
        durations = [120] * (len(frames) - 1) + [2000]
        frames[0].save(output, format="GIF", save_all=True, append_images=frames[1:],
                       duration=durations, loop=0)
        return f"{len(frames)} frames up to {end} of {game.moves} tiles laid"
    return f"{end} of {game.moves} tiles laid"
