// The board on a canvas, shared by the viewer's page and the play page. owners: one entry per
// tile, row by row (0 free, seat + 1). options.heat: [tile, weight 0..1] pairs drawn over free
// tiles; options.mark: a tile outlined; options.valid: tiles highlighted as playable.
const BOARD_PIXELS = 560;

function boardCell(side) {
  return Math.max(4, Math.floor(BOARD_PIXELS / side));
}

function drawBoard(canvas, side, owners, colours, options) {
  const cell = boardCell(side);
  const size = cell * side;
  if (canvas.width !== size) { canvas.width = size; canvas.height = size; }
  const g = canvas.getContext("2d");
  g.fillStyle = "rgb(170,170,170)";
  g.fillRect(0, 0, size, size);
  const gap = cell >= 12 ? 1 : 0;
  for (let t = 0; t < side * side; t++) {
    const r = Math.floor(t / side), c = t % side;
    g.fillStyle = owners[t] ? colours.seats[owners[t] - 1] : colours.free;
    g.fillRect(c * cell + gap, r * cell + gap, cell - gap, cell - gap);
  }
  if (options.valid) {
    g.fillStyle = "rgba(60,60,60,0.28)";
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
  if (options.mark !== undefined && options.mark !== null) {
    const r = Math.floor(options.mark / side), c = options.mark % side;
    g.strokeStyle = "black";
    g.lineWidth = Math.max(2, Math.floor(cell / 10));
    g.strokeRect(c * cell + g.lineWidth / 2 + gap, r * cell + g.lineWidth / 2 + gap,
                 cell - g.lineWidth - gap, cell - g.lineWidth - gap);
  }
}

function tileAt(canvas, side, event) {
  const box = canvas.getBoundingClientRect();
  const cell = box.width / side;
  const c = Math.floor((event.clientX - box.left) / cell);
  const r = Math.floor((event.clientY - box.top) / cell);
  return r >= 0 && r < side && c >= 0 && c < side ? r * side + c : null;
}
