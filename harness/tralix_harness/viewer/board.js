// The board on a canvas, the seats' hands of pieces and the result in words, shared by the
// viewer's page and the play page. owners: one entry per tile, row by row (0 free, seat + 1).
// Board options: heat, [tile, weight 0..1] pairs drawn over free tiles (labels: their texts);
// mark, a tile outlined; valid, tiles marked as playable (validColour); pieces, the number of
// the piece on each tile (-1 none), whose borders are drawn; outlines, [{tiles, dashed}] sets
// of tiles outlined; ghost, {tiles, ok}: a piece held over the board, green where it may go
// and red where not.
const BOARD_PIXELS = 560;

function boardCell(side) {
  return Math.max(4, Math.floor(BOARD_PIXELS / side));
}

// The edges of a set of tiles that face a tile outside it, as [x0, y0, x1, y1] in cells.
function setEdges(side, tiles) {
  const inside = new Set(tiles);
  const edges = [];
  for (const t of tiles) {
    const r = Math.floor(t / side), c = t % side;
    if (r === 0 || !inside.has(t - side)) edges.push([c, r, c + 1, r]);
    if (r === side - 1 || !inside.has(t + side)) edges.push([c, r + 1, c + 1, r + 1]);
    if (c === 0 || !inside.has(t - 1)) edges.push([c, r, c, r + 1]);
    if (c === side - 1 || !inside.has(t + 1)) edges.push([c + 1, r, c + 1, r + 1]);
  }
  return edges;
}

function strokeEdges(g, edges, cell) {
  g.beginPath();
  for (const [x0, y0, x1, y1] of edges) {
    g.moveTo(x0 * cell, y0 * cell);
    g.lineTo(x1 * cell, y1 * cell);
  }
  g.stroke();
}

function drawBoard(canvas, side, owners, colours, options) {
  const cell = boardCell(side);
  const size = cell * side;
  if (canvas.width !== size) { canvas.width = size; canvas.height = size; }
  const g = canvas.getContext("2d");
  g.setLineDash([]);
  g.fillStyle = "rgb(170,170,170)";
  g.fillRect(0, 0, size, size);
  const gap = cell >= 12 ? 1 : 0;
  for (let t = 0; t < side * side; t++) {
    const r = Math.floor(t / side), c = t % side;
    g.fillStyle = owners[t] ? colours.seats[owners[t] - 1] : colours.free;
    g.fillRect(c * cell + gap, r * cell + gap, cell - gap, cell - gap);
  }
  if (options.pieces && cell >= 8) {  // each piece's border, thin
    g.strokeStyle = "rgba(0,0,0,0.45)";
    g.lineWidth = cell >= 20 ? 2 : 1;
    const edges = [];
    const other = (t, r, c) => r < 0 || r >= side || c < 0 || c >= side || options.pieces[r * side + c] !== options.pieces[t];
    for (let t = 0; t < side * side; t++) {
      if (options.pieces[t] < 0) continue;
      const r = Math.floor(t / side), c = t % side;
      if (other(t, r - 1, c)) edges.push([c, r, c + 1, r]);
      if (other(t, r + 1, c)) edges.push([c, r + 1, c + 1, r + 1]);
      if (other(t, r, c - 1)) edges.push([c, r, c, r + 1]);
      if (other(t, r, c + 1)) edges.push([c + 1, r, c + 1, r + 1]);
    }
    strokeEdges(g, edges, cell);
  }
  if (options.valid) {
    g.fillStyle = options.validColour || "rgba(60,60,60,0.28)";
    for (const t of options.valid) {
      const r = Math.floor(t / side), c = t % side;
      g.fillRect(c * cell + cell / 4, r * cell + cell / 4, cell / 2, cell / 2);
    }
  }
  if (options.heat) {
    g.font = Math.floor(cell * 0.38) + "px sans-serif";
    g.textAlign = "center";
    g.textBaseline = "middle";
    for (const [t, w] of options.heat) {
      const r = Math.floor(t / side), c = t % side;
      g.fillStyle = "rgba(120,20,160," + (0.12 + 0.78 * w).toFixed(3) + ")";
      g.fillRect(c * cell + gap, r * cell + gap, cell - gap, cell - gap);
      if (cell >= 24 && options.labels) {
        g.fillStyle = w > 0.5 ? "white" : "black";
        g.fillText(options.labels.get(t), c * cell + cell / 2, r * cell + cell / 2);
      }
    }
  }
  for (const outline of options.outlines || []) {
    g.strokeStyle = "black";
    g.lineWidth = Math.max(2, Math.floor(cell / 12));
    g.setLineDash(outline.dashed ? [Math.max(3, cell / 5), Math.max(2, cell / 8)] : []);
    strokeEdges(g, setEdges(side, outline.tiles), cell);
  }
  g.setLineDash([]);
  if (options.mark !== undefined && options.mark !== null) {
    const r = Math.floor(options.mark / side), c = options.mark % side;
    g.strokeStyle = "black";
    g.lineWidth = Math.max(2, Math.floor(cell / 10));
    g.strokeRect(c * cell + g.lineWidth / 2 + gap, r * cell + g.lineWidth / 2 + gap,
                 cell - g.lineWidth - gap, cell - g.lineWidth - gap);
  }
  if (options.ghost) {
    g.fillStyle = options.ghost.ok ? "rgba(30,170,60,0.55)" : "rgba(220,30,30,0.45)";
    for (const t of options.ghost.tiles) {
      const r = Math.floor(t / side), c = t % side;
      g.fillRect(c * cell + gap, r * cell + gap, cell - gap, cell - gap);
    }
    g.strokeStyle = options.ghost.ok ? "rgb(0,110,30)" : "rgb(150,0,0)";
    g.lineWidth = Math.max(2, Math.floor(cell / 12));
    strokeEdges(g, setEdges(side, options.ghost.tiles), cell);
  }
}

function tileAt(canvas, side, event) {
  const box = canvas.getBoundingClientRect();
  const cell = box.width / side;
  const c = Math.floor((event.clientX - box.left) / cell);
  const r = Math.floor((event.clientY - box.top) / cell);
  return r >= 0 && r < side && c >= 0 && c < side ? r * side + c : null;
}

// ----- pieces ----------------------------------------------------------------------------

// A shape: [row, column] cells moved to the top-left corner, sorted.
function normalised(cells) {
  const top = Math.min(...cells.map(([r]) => r)), left = Math.min(...cells.map(([, c]) => c));
  return cells.map(([r, c]) => [r - top, c - left]).sort((a, b) => a[0] - b[0] || a[1] - b[1]);
}
function turnedClockwise(cells) { return normalised(cells.map(([r, c]) => [c, -r])); }
function flipped(cells) { return normalised(cells.map(([r, c]) => [r, -c])); }

// The tiles of a shape whose cell `held` lies on tile (row, column), and whether it is wholly
// on the board.
function shapeTiles(side, cells, held, row, column) {
  const tiles = [];
  let inside = true;
  for (const [r, c] of cells) {
    const rr = row + r - held[0], cc = column + c - held[1];
    if (rr < 0 || rr >= side || cc < 0 || cc >= side) inside = false;
    else tiles.push(rr * side + cc);
  }
  return {tiles: tiles.sort((a, b) => a - b), inside};
}

// The cell a shape is held by: the one nearest its middle.
function heldCell(cells) {
  const mr = cells.reduce((s, [r]) => s + r, 0) / cells.length;
  const mc = cells.reduce((s, [, c]) => s + c, 0) / cells.length;
  let best = cells[0], distance = Infinity;
  for (const cell of cells) {
    const d = (cell[0] - mr) ** 2 + (cell[1] - mc) ** 2;
    if (d < distance - 1e-9) { best = cell; distance = d; }
  }
  return best;
}

// A seat's hand: the 21 pieces in a grid of HAND_COLUMNS boxes of 5 x 5 cells, each in the
// seat's colour while held and pale grey once laid; `picked` framed.
const HAND_COLUMNS = 7;

function handBox(cell) { return 5 * cell + 2 * Math.max(2, Math.round(cell / 2)); }

// Where piece `id` of a hand is drawn: the canvas pixel of its cell (0, 0), centred in its box.
function handOrigin(piece, id, cell) {
  const box = handBox(cell);
  const h = Math.max(...piece.cells.map(([r]) => r)) + 1, w = Math.max(...piece.cells.map(([, c]) => c)) + 1;
  return [(id % HAND_COLUMNS) * box + Math.floor((box - w * cell) / 2),
          Math.floor(id / HAND_COLUMNS) * box + Math.floor((box - h * cell) / 2)];
}

function drawHand(canvas, catalogue, held, colour, cell, picked) {
  const box = handBox(cell);
  const rows = Math.ceil(catalogue.length / HAND_COLUMNS);
  if (canvas.width !== box * HAND_COLUMNS) { canvas.width = box * HAND_COLUMNS; canvas.height = box * rows; }
  const g = canvas.getContext("2d");
  g.clearRect(0, 0, canvas.width, canvas.height);
  const holding = new Set(held);
  catalogue.forEach((piece, id) => {
    const x = (id % HAND_COLUMNS) * box, y = Math.floor(id / HAND_COLUMNS) * box;
    const [ox, oy] = handOrigin(piece, id, cell);
    g.fillStyle = holding.has(id) ? colour : "rgb(222,222,222)";
    g.strokeStyle = holding.has(id) ? "rgba(0,0,0,0.55)" : "rgb(200,200,200)";
    g.lineWidth = 1;
    for (const [r, c] of piece.cells) {
      g.fillRect(ox + c * cell, oy + r * cell, cell, cell);
      g.strokeRect(ox + c * cell + 0.5, oy + r * cell + 0.5, cell - 1, cell - 1);
    }
    if (id === picked) {
      g.strokeStyle = "black";
      g.lineWidth = 2;
      g.strokeRect(x + 1, y + 1, box - 2, box - 2);
    }
  });
}

function handPieceAt(canvas, cell, count, event) {
  const rect = canvas.getBoundingClientRect();
  const box = handBox(cell) * rect.width / canvas.width;
  const id = Math.floor((event.clientY - rect.top) / box) * HAND_COLUMNS +
    Math.floor((event.clientX - rect.left) / box);
  return id >= 0 && id < count ? id : null;
}

// ----- the result in words ---------------------------------------------------------------

// A seat's score: its tiles less the 89 of a full hand, or 15 with every piece laid (20 when
// the one-square piece came last).
function seatScore(tiles, piecesLeft, lastSize) {
  if (piecesLeft > 0) return tiles - 89;
  return tiles - (lastSize === 1 ? 69 : 74);
}

const PLACES = ["first", "second", "third", "fourth"];

function listed(names) {
  return names.length === 1 ? names[0]
    : names.slice(0, -1).join(", ") + " and " + names[names.length - 1];
}

// The winners by `winners` (seats), then each other seat's place by score; `you` (a seat, or
// null) is named "you". "seat 2 won with 71 tiles; you were second with 64", or "a tie: seats 1
// and 2 shared the win with 64 tiles each; ...".
function resultWords(winners, scores, laid, you, everyPiece) {
  const name = (s) => s === you ? "you" : "seat " + s;
  const tiles = (s) => laid[s] + " tiles" + (everyPiece && everyPiece[s] ? " (every piece laid)" : "");
  let text;
  if (winners.length === 1) {
    text = name(winners[0]) + " won with " + tiles(winners[0]);
  } else {
    const names = winners.map(name);
    text = "a tie: " + listed(names) + " shared the win with " + laid[winners[0]] + " tiles each";
  }
  const others = [0, 1, 2, 3].filter(s => !winners.includes(s)).sort((a, b) => scores[b] - scores[a]);
  const placed = [];
  for (const s of others) {
    if (you !== null && s !== you) continue;
    const place = PLACES[[0, 1, 2, 3].filter(o => scores[o] > scores[s]).length];
    const level = others.filter(o => o !== s && scores[o] === scores[s]).map(name);
    placed.push((s === you ? "you were " : name(s) + " ") + place +
                (level.length ? " (tied with " + listed(level) + ")" : "") + " with " + laid[s]);
  }
  return text + (placed.length ? "; " + placed.join(", ") : "");
}
