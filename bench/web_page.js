// The browser page (web/) in Debian's chromium: a picture's full-size render with the default look,
// on one thread and (cross-origin isolated) on every thread, and the 960-pixel preview as the angle
// slider moves (input event to the picture painted). Prints medians: the effect's own time inside
// the module and the time round the worker.
//
//   NODE_PATH=build/release/browser/node_modules node bench/web_page.js build/web/site PICTURE.png [RUNS]
"use strict";
const path = require("node:path");
const { spawn } = require("node:child_process");
const readline = require("node:readline");
const { playwrightOrSkip } = require(path.join(__dirname, "..", "tests", "browser", "preview-page.js"));

const [site, picture, runs = "7"] = process.argv.slice(2);
const median = xs => { const s = [...xs].sort((a, b) => a - b); return s[Math.floor(s.length / 2)]; };

function serve() {
  return new Promise((resolve, reject) => {
    const server = spawn("python3", [path.join(__dirname, "..", "web", "serve"), site, "0"], { stdio: ["ignore", "pipe", "inherit"] });
    server.on("error", reject);
    readline.createInterface({ input: server.stdout }).once("line", url => resolve({ url: url.trim(), server }));
  });
}

async function measure(browser, url, query) {
  const page = await browser.newPage({ viewport: { width: 1600, height: 900 } });
  page.setDefaultTimeout(300000);
  await page.goto(url + query);
  await page.waitForSelector("body[data-ready]");
  await page.setInputFiles("#open", path.resolve(picture));
  await page.waitForFunction(() => /^\d+ ms$/.test(document.getElementById("status").textContent));
  const threads = await page.textContent("#threads");
  const full = await page.evaluate(async n => {
    const effect = [], round = [];
    for (let i = 0; i < n; ++i) {
      const t0 = performance.now();
      const out = await render(input, { params: {}, time: 0 });
      round.push(performance.now() - t0);
      effect.push(out.ms);
    }
    return { effect, round };
  }, Number(runs));
  const preview = [];
  for (let i = 1; i <= 20; ++i) {
    preview.push(await page.evaluate(angle => new Promise(resolve => {
      const slider = document.getElementById("p_angle"), status = document.getElementById("status");
      status.textContent = "";
      const start = performance.now();
      new MutationObserver((_, observer) => {
        if (/^\d+ ms$/.test(status.textContent)) { observer.disconnect(); requestAnimationFrame(() => resolve(performance.now() - start)); }
      }).observe(status, { childList: true, characterData: true, subtree: true });
      slider.value = angle;
      slider.dispatchEvent(new Event("input"));
    }), i * 3));
  }
  const size = await page.evaluate(() => [input.width, input.height, small.width]);
  console.log(`${threads}: ${size[0]}x${size[1]} defaults: effect ${median(full.effect).toFixed(1)} ms, ` +
              `round the worker ${median(full.round).toFixed(1)} ms (median of ${runs}); ` +
              `${size[2]}-pixel preview, slider to pixels: median ${median(preview).toFixed(1)} ms of 20`);
  await page.close();
}

async function main() {
  const { chromium, executable } = playwrightOrSkip();
  const { url, server } = await serve();
  const browser = await chromium.launch({ executablePath: executable });
  try {
    await measure(browser, url, "?threads=1");
    await measure(browser, url, "");
  } finally {
    await browser.close();
    server.kill();
  }
}

main().catch(e => { console.error(e.stack || e.message); process.exit(1); });
