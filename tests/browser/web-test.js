// The browser page (web/) served as static files: opens data/coffee.png, sets looks with its
// controls and with a preset, and checks that "Download PNG" gives the pixels of the command line
// "Copy command" shows, run with this build's `korvane render`, byte for byte. A mask drawn on the
// picture comes within a tolerance (the page fills masks with the canvas, the CLI with Cairo).
// One-second clips made by ffmpeg (VP9 in WebM, H.264 in MP4) render to WebMs with every frame.
// Runs once on one thread and once cross-origin isolated with threads. Leaves a screenshot of the page in KORVANE_ARTEFACTS.
"use strict";
const assert = require("node:assert/strict");
const { execFileSync, spawn } = require("node:child_process");
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const readline = require("node:readline");
const { playwrightOrSkip } = require("./preview-page.js");

const korvane = process.env.KORVANE;
const source = process.env.KORVANE_SOURCE_DIR;
const site = process.env.KORVANE_WEB_SITE;
const artefacts = process.env.KORVANE_ARTEFACTS;
const input = path.join(source, "data", "coffee.png");

// The file's pixels as 8-bit RGBA, decoded by ffmpeg.
const pixelsOf = file => execFileSync("ffmpeg", ["-v", "error", "-i", file, "-f", "rawvideo", "-pix_fmt", "rgba", "-"],
                                      { maxBuffer: 1 << 28 });

function startServer() {
  return new Promise((resolve, reject) => {
    const server = spawn("python3", [path.join(source, "web", "serve"), site, "0"], { stdio: ["ignore", "pipe", "inherit"] });
    server.on("error", reject);
    server.on("exit", code => reject(new Error("web/serve exited with " + code)));
    readline.createInterface({ input: server.stdout }).once("line", url => resolve({ url: url.trim(), server }));
  });
}

const settled = page => page.waitForFunction(() => /^\d+ ms$/.test(document.getElementById("status").textContent));

async function resetAll(page) {
  await page.$eval("#status", s => { s.textContent = ""; });
  await page.click("#resetall");
  await settled(page);
}

async function copiedCommand(page) {
  await page.$eval("#status", s => { s.textContent = ""; });
  await page.click("#copy");
  const shown = await page.waitForFunction(() => {
    const text = document.getElementById("status").textContent;
    return text.startsWith("korvane render ") && text;
  });
  return shown.jsonValue();
}

async function downloaded(page, file) {
  const [download] = await Promise.all([page.waitForEvent("download"), page.click("#download")]);
  await download.saveAs(file);
  return file;
}

// Runs the command the page copied, in a folder holding the input under the name the page knows.
function runCommand(line, work) {
  const words = line.match(/'[^']*'|\S+/g).map(w => w.replace(/^'(.*)'$/, "$1"));
  assert.equal(words.shift(), "korvane");
  execFileSync(korvane, words, { cwd: work, stdio: ["ignore", "ignore", "inherit"] });
  return path.join(work, words[words.indexOf("-o") + 1]);
}

async function checkLook(page, work, name, setLook, tolerance = 0) {
  await resetAll(page);
  await setLook();
  await settled(page);
  const line = await copiedCommand(page);
  const expected = pixelsOf(runCommand(line, work));
  const got = pixelsOf(await downloaded(page, path.join(work, name + "-page.png")));
  assert.equal(got.length, expected.length, name + ": picture size");
  let differing = 0, largest = 0;
  for (let i = 0; i < got.length; ++i) {
    const d = Math.abs(got[i] - expected[i]);
    if (d) { ++differing; largest = Math.max(largest, d); }
  }
  const share = differing / got.length;
  console.log(`${name}: ${line}: ${differing} values differ (largest ${largest})`);
  assert.ok(share <= tolerance, `${name}: ${(100 * share).toFixed(3)} % of the values differ from the CLI's, more than ${100 * tolerance} %`);
}

async function setNumber(page, name, value) {
  await page.fill(`#p_${name} + input`, String(value));
  await page.press(`#p_${name} + input`, "Tab");
}

async function loadPreset(page, work, preset) {
  const file = path.join(work, "preset.json");
  fs.writeFileSync(file, JSON.stringify(preset));
  await page.setInputFiles("#loadpreset", file);
}

async function drawMask(page) {
  await page.click("#mask");
  const box = await page.locator("#draw").boundingBox();
  const at = (x, y) => ({ x: box.x + box.width * x, y: box.y + box.height * y });
  for (const [x, y] of [[0.2, 0.2], [0.75, 0.3], [0.6, 0.85]]) {
    const p = at(x, y);
    await page.mouse.click(p.x, p.y);
  }
  // A double-click's first click places the last point, its second closes the mask.
  const last = at(0.25, 0.7);
  await page.mouse.dblclick(last.x, last.y);
}

// A one-second clip made by ffmpeg (`codec` arguments into `name`) renders to a WebM of as many frames.
async function checkClip(page, work, name, codec) {
  const clip = path.join(work, name);
  execFileSync("ffmpeg", ["-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=320x180:rate=24:duration=1",
                          ...codec, clip]);
  await page.setInputFiles("#open", clip);
  await page.waitForSelector("#clip:not([hidden])");
  await settled(page);
  const [download] = await Promise.all([page.waitForEvent("download", { timeout: 240000 }), page.click("#clip")]);
  const out = path.join(work, name + "-page.webm");
  await download.saveAs(out);
  const count = file => execFileSync("ffprobe", ["-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                                                 "stream=nb_read_frames", "-of", "csv=p=0", file]).toString().trim();
  assert.equal(count(out), count(clip), name + ": frames of the rendered clip");
  console.log(name + ": " + count(out) + " frames");
}

async function session(chromium, executable, url, threads, work) {
  const browser = await chromium.launch({ executablePath: executable });
  try {
    const page = await browser.newPage({ viewport: { width: 1280, height: 720 }, acceptDownloads: true });
    page.setDefaultTimeout(120000);
    page.on("pageerror", e => console.log("page error: " + e.message));
    await page.goto(url + (threads ? "" : "?threads=1"));
    await page.waitForSelector("body[data-ready]");
    const shown = await page.textContent("#threads");
    console.log("page: " + shown);
    assert.ok(threads ? /cross-origin isolated/.test(shown) && !/^1 thread/.test(shown) : /^1 thread/.test(shown), shown);
    await page.setInputFiles("#open", input);
    await settled(page);

    await checkLook(page, work, "angle", () => setNumber(page, "angle", 33));
    await checkLook(page, work, "noise", () => loadPreset(page, work, { noise_amount: 40, noise_seed: 7, threshold_high: 0.8 }));
    await checkLook(page, work, "fills", async () => {
      await page.uncheck("#p_fill");
      await page.selectOption("#p_sort_key", { label: "hue" });
      await setNumber(page, "blur", 3);
    });
    await checkLook(page, work, "mask", () => drawMask(page), 0.01);
    if (!threads && artefacts) {
      fs.mkdirSync(artefacts, { recursive: true });
      await page.screenshot({ path: path.join(artefacts, "web-page.png") });
    }
    if (!threads) {
      await checkClip(page, work, "clip.webm", ["-c:v", "libvpx-vp9", "-b:v", "1M", "-deadline", "realtime"]);
      await checkClip(page, work, "clip.mp4", ["-c:v", "libx264", "-pix_fmt", "yuv420p"]);
    }
  } finally {
    await browser.close();
  }
}

async function main() {
  if (!site || !fs.existsSync(path.join(site, "korvane.wasm"))) {
    console.log("web page test skipped: the page is not built (web/build; emscripten from scripts/install-deps)");
    process.exit(77);
  }
  const { chromium, executable } = playwrightOrSkip();
  const { url, server } = await startServer();
  const work = fs.mkdtempSync(path.join(os.tmpdir(), "korvane-web-"));
  fs.copyFileSync(input, path.join(work, "coffee.png"));
  try {
    await session(chromium, executable, url, false, work);
    if (fs.existsSync(path.join(site, "korvane-mt.wasm"))) await session(chromium, executable, url, true, work);
  } finally {
    server.kill();
    fs.rmSync(work, { recursive: true, force: true });
  }
}

main().catch(e => {
  console.error(e.stack || e.message);
  process.exit(1);
});
