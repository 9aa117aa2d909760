// The README's picture of the preview page: `korvane preview INPUT` showing the "melt" look, half
// before and half after, saved as a JPEG.
//   node tests/browser/screenshot.js KORVANE INPUT OUTPUT.jpg
"use strict";
const { playwrightOrSkip, startPreview, stopPreview, settled, shootMeltLook } = require("./preview-page.js");

const [korvane, input, output] = process.argv.slice(2);

async function main() {
  const { chromium, executable } = playwrightOrSkip();
  const { url, server } = await startPreview(korvane, input, process.cwd());
  const browser = await chromium.launch({ executablePath: executable });
  try {
    const page = await browser.newPage({ viewport: { width: 1280, height: 720 } });
    page.setDefaultTimeout(120000);
    await page.goto(url);
    await settled(page);
    await shootMeltLook(page, settled, output, page =>
      page.waitForFunction(() => document.getElementById("before").naturalWidth > 0));
  } finally {
    await browser.close();
    await stopPreview(server);
  }
}

main().catch(e => {
  console.error(e.message);
  process.exit(1);
});
