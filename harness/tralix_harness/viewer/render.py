"""``tralix render``'s pictures: one position of a stored game as PNG or SVG, or the whole game
as an animated GIF (a frame per piece, the pieces' ends as the rules engine finds them), in the
seats' colours, with a caption under the board (the game, the tiles laid, the result at the
end) and a legend (each seat's colour, tiles and score). PNG and GIF need Pillow (the ``train``
and ``play`` extras bring it); SVG is written as text. Each picture carries the mark ``tralix
render`` (a PNG text chunk, a GIF comment, an SVG description), by which a later render knows a
picture it may replace."""

from __future__ import annotations

import html
import io
from pathlib import Path
from typing import Any

from ..base.files import write_atomically
from .games import FREE_COLOUR, SEAT_COLOURS, StoredGame, ViewError, tiles_laid

FORMATS = (".png", ".svg", ".gif")
MARK = "tralix render"
_GRID = (170, 170, 170)
_BOARD_PIXELS = 480
_LINE = 18  # pixels per line of the caption and the legend
_FONT = 13


def cell_pixels(side: int) -> int:
    return max(4, _BOARD_PIXELS // side)


def board_pixels(side: int) -> int:
    """The board's width and height in a picture, whose top-left corner it fills."""
    return cell_pixels(side) * side


def caption(game: StoredGame, laid: int) -> tuple[str, list[str]]:
    """The line under the board and the legend's line for each seat."""
    words = f"game {game.id}, {laid} of {game.moves} tiles laid"
    if laid == game.moves:
        best = max(game.outcome)
        winners = [s for s in range(4) if game.outcome[s] > best - 1e-3]
        words += (f": seat {winners[0]} won" if len(winners) == 1 else
                  f": a tie, seats {', '.join(map(str, winners[:-1]))} and {winners[-1]} "
                  "shared the win")
    laid_by = tiles_laid(game.owners(laid))
    scores = game.scores(laid)
    return words, [f"seat {s}: {laid_by[s]} tiles, score {scores[s]}" for s in range(4)]


def _legend_place(seat: int, size: int) -> tuple[int, int]:
    """Where seat's swatch goes: two seats a line."""
    return 4 + (seat % 2) * (size // 2), size + _LINE + 4 + (seat // 2) * _LINE


def _colour(owner: int) -> tuple[int, int, int]:
    return SEAT_COLOURS[owner - 1] if owner else FREE_COLOUR


def _image(game: StoredGame, laid: int) -> Any:
    try:
        from PIL import Image, ImageDraw, ImageFont
    except ImportError:
        raise ViewError("PNG and GIF pictures need Pillow (pip install pillow, or the play or "
                        "train extra); .svg needs nothing") from None
    cell = cell_pixels(game.side)
    size = cell * game.side
    image = Image.new("RGB", (size, size + 3 * _LINE + 8), "white")
    draw = ImageDraw.Draw(image)
    draw.rectangle((0, 0, size - 1, size - 1), fill=_GRID)
    gap = 1 if cell >= 12 else 0
    for tile, owner in enumerate(game.owners(laid)):
        r, c = divmod(tile, game.side)
        draw.rectangle((c * cell + gap, r * cell + gap, (c + 1) * cell - 1, (r + 1) * cell - 1),
                       fill=_colour(int(owner)))
    try:
        font: Any = ImageFont.load_default(_FONT)
    except TypeError:  # a Pillow before 10.1: its one bitmap font
        font = ImageFont.load_default()
    words, legend = caption(game, laid)
    draw.text((4, size + 4), words, fill="black", font=font)
    for seat, text in enumerate(legend):
        x, y = _legend_place(seat, size)
        draw.rectangle((x, y + 2, x + 11, y + 13), fill=SEAT_COLOURS[seat], outline="black")
        draw.text((x + 17, y + 1), text, fill="black", font=font)
    return image


def _hex(colour: tuple[int, int, int]) -> str:
    return "#{:02x}{:02x}{:02x}".format(*colour)


def svg(game: StoredGame, laid: int) -> str:
    cell = cell_pixels(game.side)
    size = cell * game.side
    height = size + 3 * _LINE + 8
    rects = []
    for tile, owner in enumerate(game.owners(laid)):
        r, c = divmod(tile, game.side)
        rects.append(f'<rect x="{c * cell + 1}" y="{r * cell + 1}" width="{cell - 1}" '
                     f'height="{cell - 1}" fill="{_hex(_colour(int(owner)))}"/>')
    words, legend = caption(game, laid)
    text = [f'<text x="4" y="{size + 4 + _FONT}">{html.escape(words)}</text>']
    for seat, line in enumerate(legend):
        x, y = _legend_place(seat, size)
        text.append(f'<rect class="legend" x="{x}" y="{y + 2}" width="12" height="12" '
                    f'fill="{_hex(SEAT_COLOURS[seat])}" stroke="black"/>')
        text.append(f'<text x="{x + 17}" y="{y + _FONT}">{html.escape(line)}</text>')
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{size}" height="{height}" '
            f'viewBox="0 0 {size} {height}" font-family="sans-serif" font-size="{_FONT}">\n'
            f'<desc>{MARK}</desc>\n<title>{html.escape(words)}</title>\n'
            f'<rect width="{size}" height="{height}" fill="white"/>\n'
            f'<rect width="{size}" height="{size}" fill="#aaaaaa"/>\n'
            + "\n".join(rects) + "\n" + "\n".join(text) + "\n</svg>\n")


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
