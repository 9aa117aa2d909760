// The README's picture of the preview page: `korvane preview INPUT` showing the "melt" look, half
// before and half after, saved as a JPEG.
//   node tests/browser/screenshot.js KORVANE INPUT OUTPUT.jpg
"use strict";
const { playwrightOrSkip, startPreview, stopPreview, settled } = require("./preview-page.js");

const [korvane, input, output] = process.argv.slice(2);
const look = { angle: "90", threshold_low: "0.3", threshold_high: "1" };

async function main() {
  const { chromium, executable } = playwrightOrSkip();
  const { url, server } = await startPreview(korvane, input, process.cwd());
  const browser = await chromium.launch({ executablePath: executable });
  try {
    const page = await browser.newPage({ viewport: { width: 1280, height: 720 } });
    page.setDefaultTimeout(120000);
    await page.goto(url);
    await settled(page);
    for (const [name, value] of Object.entries(look)) {
      await page.fill(`#p_${name} + input`, value);
      await page.press(`#p_${name} + input`, "Tab");
      await settled(page);
    }
    await page.check("#p_reverse");
    await settled(page);
    await page.$eval("#split", split => { split.value = 50; split.dispatchEvent(new Event("input")); });
    await page.waitForFunction(() => document.getElementById("before").naturalWidth > 0);
    await page.$eval("#side", side => { side.scrollTop = 0; });
    await page.screenshot({ path: output, type: "jpeg", quality: 80 });
  } finally {
    await browser.close();
    await stopPreview(server);
  }
}

main().catch(e => {
  console.error(e.message);
  process.exit(1);
});
