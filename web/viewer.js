// The viewer page (viewer.html): view state, level choice, contrast and
// drawing; the reads and decodes run in viewer-worker.js.

const params = new URLSearchParams(location.search);
const $ = (id) => document.getElementById(id);
const canvas = $("view");
const ctx = canvas.getContext("2d", { willReadFrequently: true });

/** The gray of sample v under the linear contrast [min, max]. */
export function gray(v, min, max) {
  if (!(max > min)) return v >= max ? 255 : 0;
  return Math.min(255, Math.max(0, Math.round(((v - min) * 255) / (max - min))));
}

const worker = new Worker(new URL("./viewer-worker.js", import.meta.url), { type: "module" });
let nextId = 0;
const pending = new Map();
worker.onmessage = ({ data }) => {
  const p = pending.get(data.id);
  pending.delete(data.id);
  if (data.error) p.reject(new Error(data.error));
  else p.resolve(data);
};
function ask(message) {
  const id = nextId++;
  return new Promise((resolve, reject) => {
    pending.set(id, { resolve, reject });
    worker.postMessage({ ...message, id });
  });
}

const state = { meta: null, zoom: 1, cx: 0, cy: 0, index: [], min: null, max: null, fixed: null, last: null, drawn: 0 };

function setState(s, detail = "") {
  document.body.dataset.state = s;
  $("error").textContent = s === "error" ? detail : "";
}

function levelFor(zoom) {
  if (state.fixed !== null) return state.fixed;
  const r = Math.floor(-Math.log2(zoom) + 1e-9);
  return Math.max(0, Math.min(state.meta.maxReduce, r));
}

// The visible window in full-resolution coordinates, and at the level.
function window_(reduce) {
  const [h, w] = state.meta.shape.slice(-2);
  const f = 2 ** reduce;
  const x0 = state.cx - canvas.width / (2 * state.zoom), y0 = state.cy - canvas.height / (2 * state.zoom);
  const x1 = x0 + canvas.width / state.zoom, y1 = y0 + canvas.height / state.zoom;
  const lx0 = Math.max(0, Math.floor(x0 / f)), ly0 = Math.max(0, Math.floor(y0 / f));
  const lx1 = Math.min(Math.ceil(w / f), Math.ceil(x1 / f)), ly1 = Math.min(Math.ceil(h / f), Math.ceil(y1 / f));
  return { x0, y0, f, lx0, ly0, lx1, ly1 };
}

let scheduled = false;
function render() {
  if (scheduled) return;
  scheduled = true;
  requestAnimationFrame(() => {
    scheduled = false;
    draw().catch((e) => setState("error", e.message));
  });
}

async function draw() {
  const reduce = levelFor(state.zoom);
  const win = window_(reduce);
  const serial = ++state.drawn;
  setState("loading");
  if (win.lx1 <= win.lx0 || win.ly1 <= win.ly0) {
    ctx.fillStyle = "#000";
    ctx.fillRect(0, 0, canvas.width, canvas.height);
    setState("ready");
    return;
  }
  const selection = [...state.index, [win.ly0, win.ly1], [win.lx0, win.lx1]];
  const answer = await ask({ type: "read", reduce, selection });
  if (serial !== state.drawn) return; // a newer view has been asked for
  state.last = { ...answer, reduce, win };
  if (state.min === null) autoContrast();
  paint();
  const s = answer.stats;
  $("level").textContent = `level ${reduce} (1/${2 ** reduce})`;
  $("stats").textContent = `${s.requests} requests, ${s.bytes} bytes` + (s.wholeObjects ? ` (${s.wholeObjects} whole objects: no ranges)` : "");
  document.body.dataset.level = String(reduce);
  document.body.dataset.requests = String(s.requests);
  document.body.dataset.bytes = String(s.bytes);
  setState("ready");
}

function paint() {
  const { data, shape, win } = state.last;
  const [h, w] = shape;
  const image = new ImageData(w, h);
  const px = image.data;
  const { min, max } = state;
  for (let i = 0; i < w * h; i++) {
    const g = gray(data[i], min, max);
    px[4 * i] = px[4 * i + 1] = px[4 * i + 2] = g;
    px[4 * i + 3] = 255;
  }
  const tile = new OffscreenCanvas(w, h);
  tile.getContext("2d").putImageData(image, 0, 0);
  ctx.imageSmoothingEnabled = false;
  ctx.fillStyle = "#000";
  ctx.fillRect(0, 0, canvas.width, canvas.height);
  const scale = state.zoom * win.f;
  ctx.drawImage(tile, (win.lx0 * win.f - win.x0) * state.zoom, (win.ly0 * win.f - win.y0) * state.zoom, w * scale, h * scale);
}

function autoContrast() {
  let min = Infinity, max = -Infinity;
  for (const v of state.last.data) {
    if (v < min) min = v;
    if (v > max) max = v;
  }
  state.min = min;
  state.max = max;
  $("min").value = min;
  $("max").value = max;
}

function sliders() {
  const lead = state.meta.shape.slice(0, -2);
  const box = $("sliders");
  lead.forEach((n, axis) => {
    const label = document.createElement("label");
    const input = Object.assign(document.createElement("input"), { type: "range", min: 0, max: n - 1, value: state.index[axis] });
    const shown = document.createElement("span");
    shown.textContent = `axis ${axis}: ${state.index[axis]}`;
    input.oninput = () => {
      state.index[axis] = Number(input.value);
      shown.textContent = `axis ${axis}: ${input.value}`;
      render();
    };
    label.append(input, shown);
    box.append(label);
  });
}

function interact() {
  let drag = null;
  canvas.onpointerdown = (e) => { drag = { x: e.clientX, y: e.clientY }; canvas.setPointerCapture(e.pointerId); };
  canvas.onpointerup = () => { drag = null; };
  canvas.onpointermove = (e) => {
    if (!drag) return;
    state.cx -= (e.clientX - drag.x) / state.zoom;
    state.cy -= (e.clientY - drag.y) / state.zoom;
    drag = { x: e.clientX, y: e.clientY };
    render();
  };
  canvas.onwheel = (e) => {
    e.preventDefault();
    const r = canvas.getBoundingClientRect();
    const mx = e.clientX - r.left, my = e.clientY - r.top;
    const before = { x: state.cx + (mx - canvas.width / 2) / state.zoom, y: state.cy + (my - canvas.height / 2) / state.zoom };
    state.zoom *= e.deltaY < 0 ? 1.25 : 0.8;
    state.cx = before.x - (mx - canvas.width / 2) / state.zoom;
    state.cy = before.y - (my - canvas.height / 2) / state.zoom;
    render();
  };
  const contrast = () => {
    state.min = Number($("min").value);
    state.max = Number($("max").value);
    if (state.last) paint();
  };
  $("min").onchange = contrast;
  $("max").onchange = contrast;
  $("auto").onclick = () => { if (state.last) { autoContrast(); paint(); } };
}

async function main() {
  const url = params.get("url");
  if (!url) throw new Error("give the array's address as ?url=");
  canvas.width = Number(params.get("width")) || window.innerWidth;
  canvas.height = Number(params.get("height")) || Math.max(200, window.innerHeight - 60);
  const absolute = new URL(url, location.href).href;
  $("name").textContent = absolute;
  const { meta } = await ask({ type: "open", url: absolute });
  state.meta = meta;
  const given = (params.get("index") ?? "").split(",").filter((s) => s !== "").map(Number);
  state.index = meta.shape.slice(0, -2).map((n, i) => Math.min(n - 1, Math.max(0, given[i] ?? 0)));
  if (params.has("min") && params.has("max")) {
    state.min = Number(params.get("min"));
    state.max = Number(params.get("max"));
    $("min").value = state.min;
    $("max").value = state.max;
  }
  const [h, w] = meta.shape.slice(-2);
  if (params.has("reduce")) {
    state.fixed = Math.max(0, Math.min(meta.maxReduce, Number(params.get("reduce"))));
    state.zoom = Number(params.get("zoom")) || 2 ** -state.fixed;
    state.cx = canvas.width / (2 * state.zoom);
    state.cy = canvas.height / (2 * state.zoom);
  } else {
    state.zoom = Math.min(canvas.width / w, canvas.height / h);
    state.cx = w / 2;
    state.cy = h / 2;
  }
  sliders();
  interact();
  await draw();
}

main().catch((e) => setState("error", e.message));
