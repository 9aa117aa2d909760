// The README's picture of the browser page (web/): data/coffee.png with the "melt" look, half
// before and half after, saved as a JPEG.
//   node tests/browser/web-screenshot.js SITE OUTPUT.jpg
"use strict";
const path = require("node:path");
const { spawn } = require("node:child_process");
const readline = require("node:readline");
const { playwrightOrSkip, shootMeltLook } = require("./preview-page.js");

const [site, output] = process.argv.slice(2);

async function main() {
  const { chromium, executable } = playwrightOrSkip();
  const server = spawn("python3", [path.join(__dirname, "..", "..", "web", "serve"), site, "0"], { stdio: ["ignore", "pipe", "inherit"] });
  const url = await new Promise(resolve => readline.createInterface({ input: server.stdout }).once("line", resolve));
  const browser = await chromium.launch({ executablePath: executable });
  const settled = page => page.waitForFunction(() => /^\d+ ms$/.test(document.getElementById("status").textContent));
  try {
    const page = await browser.newPage({ viewport: { width: 1280, height: 720 } });
    page.setDefaultTimeout(120000);
    await page.goto(url.trim());
    await page.waitForSelector("body[data-ready]");
    await shootMeltLook(page, settled, output);
  } finally {
    await browser.close();
    server.kill();
  }
}

main().catch(e => {
  console.error(e.message);
  process.exit(1);
});
