// The board, the agents' panels and the names of players, as every page of the package draws
// them from its data (DATA: colours, pieces, size, starts).
"use strict";
const SVG = "http://www.w3.org/2000/svg";
const COLOUR_NAMES = ["blue", "yellow", "red", "green"];

function svg(tag, attributes) {
  const node = document.createElementNS(SVG, tag);
  for (const [key, value] of Object.entries(attributes)) node.setAttribute(key, value);
  return node;
}

// The board's cells, row by row (cell 20 * row + column), each a rect with its index.
function drawBoard(board, size) {
  board.setAttribute("viewBox", `0 0 ${size} ${size}`);
  const cells = [];
  for (let i = 0; i < size * size; i++) {
    const cell = svg("rect", { x: i % size, y: Math.floor(i / size), width: 1, height: 1,
                               class: "cell" });
    cell.dataset.index = i;
    board.appendChild(cell);
    cells.push(cell);
  }
  return cells;
}

// Fills each cell in its owner's colour ("." or -1: nobody), an empty start cell tinted in the
// colour of the agent it belongs to.
function paintBoard(cells, owners, data) {
  for (let i = 0; i < cells.length; i++) {
    const owner = owners[i] === "." ? -1 : +owners[i];
    cells[i].dataset.owner = owner < 0 ? "" : owner;
    cells[i].setAttribute("fill", owner < 0 ? "#f5f5f5" : data.colours[owner]);
  }
  data.starts.forEach(([r, c], agent) => {
    const cell = cells[r * data.size + c];
    if (cell.dataset.owner === "") cell.setAttribute("fill", data.colours[agent] + "55");
  });
}

function pieceIcon(cells, colour) {
  const icon = svg("svg", { viewBox: "0 0 5 5" });
  for (const [r, c] of cells)
    icon.appendChild(svg("rect", { x: c, y: r, width: 0.92, height: 0.92, fill: colour }));
  return icon;
}

function plural(count, word) {
  return `${count} ${word}${count === 1 ? "" : "s"}`;
}

// How text names agent `agent`: its player's name, and its seat where another seat's player
// has the same name, so that the two are told apart by more than their colour.
function who(names, agent) {
  const twin = names.some((name, other) => other !== agent && name === names[agent]);
  return twin ? `${names[agent]} (seat ${agent}, ${COLOUR_NAMES[agent]})` : names[agent];
}

// The line that ends a game: its winner, or the agents that share the top score.
function winnerLine(names, scores) {
  const top = Math.max(...scores);
  const first = scores.map((s, a) => (s === top ? a : -1)).filter((a) => a >= 0);
  const named = first.map((a) => who(names, a));
  if (first.length === 1) return `Winner: ${named[0]} with ${top}`;
  return `A tie for first at ${top}: ${named.slice(0, -1).join(", ")} and ${named.at(-1)}`;
}

// One panel per agent: its colour with its seat number, its player's name and seat, its score,
// and the pieces it holds; `showPanel` fills it in.
function makePanels(box, data) {
  return data.colours.map((colour, agent) => {
    const panel = document.createElement("div");
    panel.className = "agent";
    panel.dataset.agent = agent;
    panel.innerHTML = `<span class="swatch" style="background:${colour}">${agent}</span>` +
      `<span class="name"></span><span class="seat">seat ${agent}, ${COLOUR_NAMES[agent]}` +
      `</span><span class="score"></span><div class="left"></div><div class="hand"></div>`;
    const hand = panel.querySelector(".hand");
    data.pieces.forEach((piece, index) => {
      const chip = document.createElement("span");
      chip.className = "piece";
      chip.dataset.piece = index;
      chip.title = piece.name;
      chip.appendChild(pieceIcon(piece.cells, colour));
      chip.appendChild(document.createTextNode(piece.name));
      hand.appendChild(chip);
    });
    box.appendChild(panel);
    return panel;
  });
}

// `hand`: a "0"/"1" per piece, whether the agent still holds it.
function showPanel(panel, name, score, hand, mover, done) {
  panel.querySelector(".name").textContent = name;
  panel.querySelector(".score").textContent = score;
  const held = [...hand].filter((h) => h === "1").length;
  panel.querySelector(".left").textContent = `${plural(held, "piece")} in hand`;
  panel.querySelector(".left").dataset.count = held;
  panel.querySelectorAll(".piece").forEach((chip) =>
    chip.classList.toggle("held", hand[+chip.dataset.piece] === "1"));
  panel.classList.toggle("mover", mover);
  panel.classList.toggle("done", done);
}
