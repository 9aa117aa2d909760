// The page of `korvane preview` in a real browser: drag the angle slider and see the picture change,
// copy the command line and run it, and compare "Render full size" with that command's file, byte
// for byte. Leaves a screenshot of the page in KORVANE_ARTEFACTS.
"use strict";
const assert = require("node:assert/strict");
const { execFileSync } = require("node:child_process");
const crypto = require("node:crypto");
const fs = require("node:fs");
const path = require("node:path");
const { playwrightOrSkip, startPreview, stopPreview, settled } = require("./preview-page.js");

const korvane = process.env.KORVANE;
const input = path.join(process.env.KORVANE_SOURCE_DIR, "data", "coffee.png");
const artefacts = process.env.KORVANE_ARTEFACTS;

const sha256 = bytes => crypto.createHash("sha256").update(bytes).digest("hex");
// The bytes of the picture the page shows, hashed in the page.
const shownPicture = page => page.evaluate(async () => {
  const bytes = await (await fetch(document.getElementById("after").src)).arrayBuffer();
  return Array.from(new Uint8Array(await crypto.subtle.digest("SHA-256", bytes)), b => b.toString(16).padStart(2, "0")).join("");
});

async function main() {
  const { chromium, executable } = playwrightOrSkip();
  fs.rmSync(artefacts, { recursive: true, force: true });
  const work = path.join(artefacts, "work");
  fs.mkdirSync(work, { recursive: true });

  const { url, server } = await startPreview(korvane, input, work);
  const browser = await chromium.launch({ executablePath: executable });
  try {
    const context = await browser.newContext({ viewport: { width: 1280, height: 800 }, acceptDownloads: true });
    await context.grantPermissions(["clipboard-read", "clipboard-write"], { origin: new URL(url).origin });
    const page = await context.newPage();
    page.setDefaultTimeout(90000);  // renders are slow on a loaded machine, and more so under the sanitizers
    page.on("pageerror", e => { throw e; });
    await page.goto(url);
    await settled(page);
    const before = await shownPicture(page);

    // Drag the angle slider's thumb from the middle (0 degrees) a tenth of its width to the right.
    const slider = page.locator("#p_angle");
    const box = await slider.boundingBox();
    const y = box.y + box.height / 2;
    await page.mouse.move(box.x + box.width / 2, y);
    await page.mouse.down();
    for (let step = 1; step <= 10; ++step) await page.mouse.move(box.x + box.width * (0.5 + step / 100), y);
    await page.mouse.up();
    const angle = Number(await slider.inputValue());
    assert.ok(angle > 20 && angle < 160, "the drag moved the angle to " + angle);
    await page.waitForFunction(() => document.getElementById("status").textContent !== "rendering…");
    await settled(page);
    const after = await shownPicture(page);
    assert.notEqual(after, before, "the picture changed with the angle");
    assert.equal(await page.locator("#p_angle + input").inputValue(), String(angle), "the number field follows the slider");

    await page.click("#copy");
    await page.waitForFunction(() => document.getElementById("status").textContent.startsWith("korvane render "));
    const command = (await page.locator("#status").textContent()).trim();
    assert.ok(command.includes("--set angle=" + angle), "the command sets the dragged angle: " + command);
    const copied = await page.evaluate(() => navigator.clipboard.readText());
    assert.equal(copied, command, "the clipboard holds the command the page shows");
    // The command names `korvane`; run it with this build's binary, in the server's folder.
    execFileSync("sh", ["-c", command.replace(/^korvane /, '"$KORVANE" ') + " --quiet"], { cwd: work, stdio: "inherit" });
    const written = fs.readFileSync(path.join(work, "coffee_sorted.png"));

    const [download] = await Promise.all([page.waitForEvent("download"), page.click("#full")]);
    assert.equal(download.suggestedFilename(), "coffee_sorted.png");
    const downloaded = path.join(artefacts, "downloaded.png");
    await download.saveAs(downloaded);
    assert.ok(fs.readFileSync(downloaded).equals(written), "'Render full size' is byte for byte the command's file");
    assert.equal(after, sha256(written), "the page showed the look the command renders");

    await page.screenshot({ path: path.join(artefacts, "preview.png") });
  } finally {
    await browser.close();
    const code = await stopPreview(server);
    assert.ok(code === 130 || code === 0, "korvane preview stopped on Ctrl-C, exit " + code);
  }
  console.log("browser test passed; screenshot in " + path.join(artefacts, "preview.png"));
}

main().catch(e => {
  console.error(e);
  process.exit(1);
});
