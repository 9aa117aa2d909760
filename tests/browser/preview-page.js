// What the browser test and the README's screenshot share: a `korvane preview` server on a free
// port, and Debian's chromium driven by playwright-core.
"use strict";
const { spawn } = require("node:child_process");
const fs = require("node:fs");
const readline = require("node:readline");

const SKIP = 77;  // CTest's skip code for these tests

function chromiumPath() {
  for (const path of [process.env.KORVANE_CHROMIUM, "/usr/bin/chromium", "/usr/bin/chromium-browser"])
    if (path && fs.existsSync(path)) return path;
  return null;
}

// Loads playwright-core, or exits with the skip code when it or chromium is missing.
function playwrightOrSkip() {
  const executable = chromiumPath();
  if (!executable) {
    console.log("browser test skipped: chromium not found (scripts/install-deps installs it as /usr/bin/chromium)");
    process.exit(SKIP);
  }
  let playwright;
  try {
    playwright = require("playwright-core");
  } catch (e) {
    console.log("browser test skipped: playwright-core is not installed (tests/browser/setup installs it): " + e.message);
    process.exit(SKIP);
  }
  return { chromium: playwright.chromium, executable };
}

// Starts `korvane preview INPUT --no-open` in `cwd`; resolves to { url, server } once it has printed
// its address.
function startPreview(korvane, input, cwd) {
  return new Promise((resolve, reject) => {
    const server = spawn(korvane, ["preview", input, "--no-open"], { cwd, stdio: ["ignore", "pipe", "inherit"] });
    server.on("error", reject);
    server.on("exit", code => reject(new Error("korvane preview exited with " + code + " before printing its address")));
    readline.createInterface({ input: server.stdout }).once("line", url => resolve({ url: url.trim(), server }));
  });
}

async function stopPreview(server) {
  if (server.exitCode !== null) return server.exitCode;
  const exited = new Promise(resolve => server.once("exit", resolve));
  server.kill("SIGINT");
  return exited;
}

// Resolves once the page has shown a rendered picture and has no render outstanding.
async function settled(page) {
  try {
    await page.waitForFunction(() => /^\d+ ms$/.test(document.getElementById("status").textContent) &&
                                     document.getElementById("after").complete &&
                                     document.getElementById("after").naturalWidth > 0);
  } catch (e) {
    e.message += "; the page's status reads '" + await page.locator("#status").textContent() + "'";
    throw e;
  }
}

// The README pictures' look ("melt") set through the controls, the split at half and the controls
// scrolled to the top, then the page saved as a JPEG; `settle` waits for each render, `ready` for
// the split view's picture.
async function shootMeltLook(page, settle, output, ready = async () => {}) {
  const look = { angle: "90", threshold_low: "0.3", threshold_high: "1" };
  for (const [name, value] of Object.entries(look)) {
    await page.fill(`#p_${name} + input`, value);
    await page.press(`#p_${name} + input`, "Tab");
    await settle(page);
  }
  await page.check("#p_reverse");
  await settle(page);
  await page.$eval("#split", split => { split.value = 50; split.dispatchEvent(new Event("input")); });
  await ready(page);
  await page.$eval("#side", side => { side.scrollTop = 0; });
  await page.screenshot({ path: output, type: "jpeg", quality: 80 });
}

module.exports = { SKIP, playwrightOrSkip, startPreview, stopPreview, settled, shootMeltLook };
