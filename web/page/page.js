// The page: the controls built from the effect's own parameter list, a live preview at the width
// the picture takes on the screen (at most 960 pixels), the same split view and masks as
// `korvane preview`, presets as the CLI reads them, and full-size renders saved as PNG (or, for a
// clip, WebM). Every render runs in the module's worker.
"use strict";
const $ = id => document.getElementById(id);
let table = [], values = {}, masks = [], drawing = null;
// The picture: its file name, full-size RGBA, whether its file had alpha, and the preview's copy.
let input = null, small = null;

// ---- the worker: one render at a time, and of the renders asked for meanwhile only the latest
const worker = new Worker("worker.js" + (new URLSearchParams(location.search).get("threads") === "1" ? "?threads=1" : ""));
let nextId = 0;
const waiting = new Map();
worker.onmessage = e => { const done = waiting.get(e.data.id); waiting.delete(e.data.id); done(e.data); };
const ask = (message, transfer = []) => new Promise(resolve => {
  message.id = ++nextId; waiting.set(message.id, resolve); worker.postMessage(message, transfer);
});
let busy = false, queued = null;
async function render(picture, look) {
  const pixels = picture.rgba.slice();  // handed over to the worker, not copied again
  const reply = await ask({ kind: "render", look, width: picture.width, height: picture.height,
                            fullWidth: input.width, fullHeight: input.height, pixels }, [pixels.buffer]);
  if (reply.error) throw new Error((reply.field ? reply.field + ": " : "") + reply.error);
  return reply;
}

function look() {
  const params = {};
  for (const p of table) if (values[p.name] !== p.default) params[p.name] = p.type === "popup" ? p.choices[values[p.name] - 1] : values[p.name];
  const b = { params, time: input && input.time || 0 };
  if (masks.length) b.masks = masks;
  return b;
}

function paint(canvas, picture) {
  canvas.width = picture.width; canvas.height = picture.height;
  canvas.getContext("2d").putImageData(new ImageData(new Uint8ClampedArray(picture.rgba.buffer, picture.rgba.byteOffset, picture.rgba.length), picture.width, picture.height), 0, 0);
  redrawMasks();
}

// The latest look at the preview's size; a look asked for while one renders waits, and only the
// newest one waiting is rendered.
async function show() {
  if (!input) return;
  if (busy) { queued = true; return; }
  busy = true; queued = false;
  $("status").textContent = "rendering…";
  const t0 = performance.now();
  try {
    const out = await render(small, look());
    paint($("after"), { width: out.width, height: out.height, rgba: out.pixels });
    $("status").textContent = Math.round(performance.now() - t0) + " ms";
  } catch (e) { $("status").textContent = e.message; }
  busy = false;
  if (queued) show();
}

// A copy of the picture at most `width` pixels wide, for the preview only (the browser's scaling).
async function scaled(picture, width) {
  if (picture.width <= width) return picture;
  const height = Math.max(1, Math.round(picture.height * width / picture.width));
  const bitmap = await createImageBitmap(new ImageData(new Uint8ClampedArray(picture.rgba), picture.width, picture.height),
    { resizeWidth: width, resizeHeight: height, resizeQuality: "high", premultiplyAlpha: "none", colorSpaceConversion: "none" });
  const canvas = new OffscreenCanvas(width, height), g = canvas.getContext("2d");
  g.drawImage(bitmap, 0, 0);
  return { width, height, rgba: new Uint8Array(g.getImageData(0, 0, width, height).data.buffer) };
}
const viewWidth = () => Math.max(1, Math.min(960, input.width, Math.ceil($("stage").clientWidth * devicePixelRatio) || 960));

// PNG through our own reader (the file's exact values); JPEG and other PNGs through the browser's
// decoder without colour management.
async function decodeImage(file) {
  const buffer = await file.arrayBuffer();
  if (/\.png$/i.test(file.name) || file.type === "image/png") {
    const png = await KorvanePng.decodePng(buffer);
    if (png) return png;
  }
  const bitmap = await createImageBitmap(new Blob([buffer]), { premultiplyAlpha: "none", colorSpaceConversion: "none" });
  const canvas = new OffscreenCanvas(bitmap.width, bitmap.height), g = canvas.getContext("2d");
  g.drawImage(bitmap, 0, 0);
  return { width: bitmap.width, height: bitmap.height, rgba: new Uint8Array(g.getImageData(0, 0, bitmap.width, bitmap.height).data.buffer), alpha: false };
}

async function usePicture(picture, name) {
  input = Object.assign(picture, { name, time: 0 });
  small = await scaled(input, viewWidth());
  paint($("before"), small);
  await show();
}

async function openFile(file) {
  $("status").textContent = "opening " + file.name + "…";
  try {
    if (file.type.startsWith("video/") || /\.(webm|mp4|mkv|mov)$/i.test(file.name)) {
      const clip = await KorvaneClip.open(file);
      $("clip").hidden = false;
      await usePicture(clip.first, file.name);
      input.clip = clip;
    } else {
      $("clip").hidden = true;
      await usePicture(await decodeImage(file), file.name);
    }
  } catch (e) { $("status").textContent = "cannot open " + file.name + ": " + e.message; }
}

const stem = () => (input ? input.name.replace(/\.[^.]*$/, "") : "look") + "_sorted";
function download(blob, name) {
  const a = document.createElement("a");
  a.href = URL.createObjectURL(blob); a.download = name; a.click();
  setTimeout(() => URL.revokeObjectURL(a.href), 60000);
}

// Values from a preset (the CLI's JSON: numbers, booleans, popup names or 1-based values).
function applyPreset(preset) {
  for (const [name, value] of Object.entries(preset)) {
    const p = table.find(q => q.name === name);
    if (!p) throw new Error("unknown parameter " + name);
    let v = value;
    if (typeof v === "boolean") v = v ? 1 : 0;
    else if (typeof v === "string") {
      if (p.type === "popup" && p.choices.includes(v)) v = p.choices.indexOf(v) + 1;
      else if (/^(on|true)$/i.test(v)) v = 1;
      else if (/^(off|false)$/i.test(v)) v = 0;
      else v = Number(v);
    }
    if (!Number.isFinite(v)) throw new Error(name + ": " + JSON.stringify(value) + " is not a value the page takes");
    p.set(v);
  }
}

function build() {
  const side = $("side"); let box = side, group = null;
  for (const p of table) {
    if (p.group !== group) {
      group = p.group;
      if (group) { box = document.createElement("fieldset"); box.innerHTML = "<legend></legend>"; box.firstChild.textContent = p.group_name + " — " + group; side.appendChild(box); }
      else box = side;
    }
    const row = document.createElement("div"); row.className = "row"; row.title = p.description + " (" + (p.range || "") + ")";
    const name = document.createElement("span"); name.textContent = p.name; row.appendChild(name);
    // A default may lie outside the slider's range (noise_seed's 0): the controls reach it too.
    const low = Math.min(p.min, p.default), high = Math.max(p.max, p.default); let ctl, num = null;
    if (p.type === "popup") { ctl = document.createElement("select"); p.choices.forEach((c, i) => { if (c) ctl.add(new Option(c, i + 1)); }); }
    else if (p.type === "checkbox") { ctl = document.createElement("input"); ctl.type = "checkbox"; }
    else if (p.type === "path") { ctl = document.createElement("input"); ctl.type = "number"; ctl.min = 0; ctl.step = 1; }
    else {
      ctl = document.createElement("input"); ctl.type = "range";
      const lo = p.type === "angle" ? -360 : low, hi = p.type === "angle" ? 360 : Math.min(high, p.type === "integer" ? Math.max(p.default * 4, 1000) : high);
      ctl.min = lo; ctl.max = hi; ctl.step = p.type === "float" ? Math.pow(10, -Math.max(p.precision, 1)) : 1;
      num = document.createElement("input"); num.type = "number"; num.min = low; num.max = high; num.step = ctl.step;
    }
    ctl.id = "p_" + p.name; row.appendChild(ctl); row.appendChild(num || document.createElement("span"));
    const reset = document.createElement("button"); reset.textContent = "↺"; reset.title = "reset to " + p.default_text; row.appendChild(reset);
    const d = document.createElement("small"); d.textContent = p.label + " — " + p.description; row.appendChild(d); box.appendChild(row);
    const set = v => { values[p.name] = v; if (ctl.type === "checkbox") ctl.checked = !!v; else ctl.value = v; if (num) num.value = v; show(); };
    p.set = set;
    ctl.addEventListener("input", () => set(ctl.type === "checkbox" ? (ctl.checked ? 1 : 0) : +ctl.value));
    if (num) num.addEventListener("change", () => { const v = +num.value; if (Number.isFinite(v)) set(Math.min(high, Math.max(low, v))); });
    reset.addEventListener("click", () => set(p.default));
    values[p.name] = p.default; if (ctl.type === "checkbox") ctl.checked = !!p.default; else ctl.value = p.default; if (num) num.value = p.default;
  }
}

function redrawMasks() {
  const c = $("draw"), img = $("after");
  c.width = img.clientWidth; c.height = img.clientHeight; c.style.width = img.clientWidth + "px"; c.style.height = img.clientHeight + "px";
  if (!input) return;
  const g = c.getContext("2d"), s = c.width / input.width; g.strokeStyle = "#ff0"; g.lineWidth = 2;
  const poly = (pts, close) => { g.beginPath(); pts.forEach((q, i) => i ? g.lineTo(q[0] * s, q[1] * s) : g.moveTo(q[0] * s, q[1] * s)); if (close) g.closePath(); g.stroke(); };
  for (const m of masks) poly(m.replace(/[MLZ]/g, "").trim().split(/\s+/).reduce((a, v, i) => { if (i % 2) a[a.length - 1].push(+v); else a.push([+v]); return a; }, []), true);
  if (drawing) poly(drawing, false);
}

async function start() {
  const hello = await ask({ kind: "hello" });
  table = hello.params;
  $("threads").textContent = hello.threaded ? hello.threads + " threads (cross-origin isolated)"
                           : hello.isolated ? "1 thread (as the address asks)" : "1 thread (the page is not cross-origin isolated)";
  build();
  $("open").addEventListener("change", () => { if ($("open").files[0]) openFile($("open").files[0]); });
  $("split").addEventListener("input", () => { $("after").style.clipPath = "inset(0 " + (100 - $("split").value) + "% 0 0)"; });
  document.addEventListener("keydown", e => { if (e.key === "b" && e.target.tagName !== "INPUT") $("after").style.visibility = "hidden"; });
  document.addEventListener("keyup", e => { if (e.key === "b") $("after").style.visibility = ""; });
  $("resetall").onclick = () => { for (const p of table) { values[p.name] = p.default; p.set(p.default); } masks = []; redrawMasks(); show(); };
  $("copy").onclick = async () => {
    const output = stem() + (input && input.clip ? ".webm" : ".png");
    const reply = await ask({ kind: "command", look: look(), input: input ? input.name : "INPUT", output });
    const text = reply.error || reply.command;
    try { await navigator.clipboard.writeText(text); } catch (e) { /* no clipboard without a user's permission */ }
    $("status").textContent = text;
  };
  $("preset").onclick = () => download(new Blob([JSON.stringify(look().params, null, 2)], { type: "application/json" }), "look.json");
  $("loadpreset").addEventListener("change", async () => {
    const file = $("loadpreset").files[0]; if (!file) return;
    try { for (const p of table) { values[p.name] = p.default; p.set(p.default); } applyPreset(JSON.parse(await file.text())); }
    catch (e) { $("status").textContent = "preset: " + e.message; }
    $("loadpreset").value = "";
  });
  $("download").onclick = async () => {
    if (!input) return;
    $("status").textContent = "rendering full size…";
    const t0 = performance.now();
    try {
      const out = await render(input, look());
      const ms = performance.now() - t0;
      download(await KorvanePng.encodePng(out.width, out.height, out.pixels, input.alpha), stem() + ".png");
      $("status").textContent = "full size in " + Math.round(ms) + " ms (effect " + Math.round(out.ms) + " ms)";
    } catch (e) { $("status").textContent = e.message; }
  };
  $("clip").onclick = async () => {
    try {
      const blob = await KorvaneClip.renderClip(input.clip, look(), (picture, time) => render(picture, Object.assign(look(), { time })),
                                                  text => { $("status").textContent = text; });
      download(blob, stem() + ".webm");
    } catch (e) { $("status").textContent = "clip: " + e.message; }
  };
  $("mask").onclick = () => { if (!input) return; drawing = []; $("draw").style.cursor = "crosshair"; $("status").textContent = "click points; double-click closes the mask"; };
  $("clearmask").onclick = () => { masks = []; drawing = null; const m = table.find(p => p.name === "mask"); if (m) m.set(0); redrawMasks(); };
  // A double-click's second click only closes the mask: its point came with the first.
  $("draw").addEventListener("click", e => { if (!drawing || e.detail > 1) return; const r = $("draw").getBoundingClientRect(), s = input.width / r.width; drawing.push([Math.round((e.clientX - r.left) * s), Math.round((e.clientY - r.top) * s)]); redrawMasks(); });
  $("draw").addEventListener("dblclick", () => {
    if (!drawing || drawing.length < 3) return;
    masks.push("M " + drawing.map(q => q.join(" ")).join(" L ") + " Z"); drawing = null; $("draw").style.cursor = "";
    const m = table.find(p => p.name === "mask"); if (m) m.set(masks.length); redrawMasks();
  });
  window.addEventListener("resize", redrawMasks);
  // The sample picture, so that the page shows the effect at once.
  const sample = new URLSearchParams(location.search).get("image") || "coffee.png";
  try { const r = await fetch(sample); if (r.ok) await usePicture(await decodeImage(new File([await r.blob()], sample, { type: "image/png" })), sample.split("/").pop()); }
  catch (e) { /* no sample beside the page: wait for a file */ }
  document.body.dataset.ready = "1";
}
start();
