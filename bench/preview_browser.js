// Slider to new pixels in the browser: the preview page in Debian's chromium (playwright-core), the
// angle slider moved one step at a time; each step is timed from the input event to the first frame
// painted after the new picture has loaded. Prints the median and 90th percentile.
//
//   NODE_PATH=build/release/browser/node_modules node bench/preview_browser.js build/release/bin/korvane INPUT [STEPS]
"use strict";
const path = require("node:path");
const { playwrightOrSkip, startPreview, stopPreview } = require(path.join(__dirname, "..", "tests", "browser", "preview-page.js"));

const [korvane, input, steps = "40"] = process.argv.slice(2);

async function main() {
  const { chromium, executable } = playwrightOrSkip();
  const { url, server } = await startPreview(path.resolve(korvane), path.resolve(input), process.cwd());
  const browser = await chromium.launch({ executablePath: executable });
  try {
    const page = await browser.newPage({ viewport: { width: 1600, height: 900 } });
    await page.goto(url);
    await page.waitForFunction(() => document.getElementById("after").complete && document.getElementById("after").src);
    const times = [];
    for (let i = 1; i <= Number(steps); ++i) {
      times.push(await page.evaluate(angle => new Promise(resolve => {
        const slider = document.getElementById("p_angle"), after = document.getElementById("after");
        const start = performance.now();
        after.addEventListener("load", () => requestAnimationFrame(() => resolve(performance.now() - start)), { once: true });
        slider.value = angle;
        slider.dispatchEvent(new Event("input"));
      }), i * 3));
    }
    times.sort((a, b) => a - b);
    const at = q => times[Math.floor(q * (times.length - 1))];
    console.log(`slider to pixels in chromium: median ${at(0.5).toFixed(1)} ms, p90 ${at(0.9).toFixed(1)} ms over ${times.length} steps`);
  } finally {
    await browser.close();
    await stopPreview(server);
  }
}
main().catch(e => { console.error(e); process.exit(1); });
