// The page of `korvane preview` in a real browser: controls that show their defaults and set nothing
// until moved, drag the angle slider and see the picture change, copy the command line and run it,
// compare "Render full size" with that command's file, byte for byte, draw a mask, choose a path and
// click its centre, load a preset, and the same for a frame of a sequence. Leaves a screenshot of the page in KORVANE_ARTEFACTS.
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
// "Copy command"'s line as the status shows it: an observer notes it the moment it is shown, since
// a render that lands later (soon, on a busy machine) writes its time there.
async function copiedCommand(page) {
  await page.$eval("#status", status => {
    status.textContent = "";
    window.shownCommand = "";
    new MutationObserver((_, observer) => {
      if (status.textContent.startsWith("korvane render ")) {
        window.shownCommand = status.textContent;
        observer.disconnect();
      }
    }).observe(status, { childList: true, characterData: true, subtree: true });
  });
  await page.click("#copy");
  const shown = await page.waitForFunction(() => window.shownCommand);
  return (await shown.jsonValue()).trim();
}
// Runs a copied command with this build's binary in `cwd`.
const runCommand = (command, cwd) =>
  execFileSync("sh", ["-c", command.replace(/^korvane /, '"$KORVANE" ') + " --quiet"], { cwd, stdio: "inherit" });

async function main() {
  const { chromium, executable } = playwrightOrSkip();
  fs.rmSync(artefacts, { recursive: true, force: true });
  const work = path.join(artefacts, "work");
  fs.mkdirSync(work, { recursive: true });

  const browser = await chromium.launch({ executablePath: executable });
  try {
    await stillPage(browser, work);
    await sequencePage(browser, work);
  } finally {
    await browser.close();
  }
  console.log("browser test passed; screenshot in " + path.join(artefacts, "preview.png"));
}

async function stillPage(browser, work) {
  const { url, server } = await startPreview(korvane, input, work);
  try {
    const context = await browser.newContext({ viewport: { width: 1280, height: 800 }, acceptDownloads: true });
    await context.grantPermissions(["clipboard-read", "clipboard-write"], { origin: new URL(url).origin });
    const page = await context.newPage();
    page.setDefaultTimeout(90000);  // renders are slow on a loaded machine, and more so under the sanitizers
    page.on("pageerror", e => { throw e; });
    await page.goto(url);
    await settled(page);
    const before = await shownPicture(page);

    // Group headings name the group in English beside its registered name.
    const table = await page.evaluate(async () => (await fetch("/api/params" + location.search)).json());
    const legends = await page.locator("legend").allTextContents();
    for (const group of new Set(table.map(p => p.group).filter(Boolean)))
      assert.ok(legends.some(legend => legend.includes(group) && /[A-Za-z]{4,}/.test(legend)),
                "a heading names '" + group + "' in English: " + legends.join(", "));

    // Every slider and number field shows its parameter's default, even one outside the slider's
    // range (noise_seed's 0); moved a step and back, or reset, a control sets nothing.
    const sliders = await page.$$eval("#side input[type=range]", all => all.map(slider => ({
      name: slider.id.slice(2), value: Number(slider.value), field: Number(slider.nextElementSibling.value),
      top: Number(slider.value) === Number(slider.max) })));
    assert.ok(sliders.some(s => s.name === "noise_seed"), "noise_seed has a slider");
    for (const { name, value, field, top } of sliders) {
      const wanted = table.find(p => p.name === name).default;
      assert.equal(value, wanted, name + "'s slider shows its default");
      assert.equal(field, wanted, name + "'s number field shows its default");
      await page.press("#p_" + name, top ? "ArrowLeft" : "ArrowRight");
      await page.press("#p_" + name, top ? "ArrowRight" : "ArrowLeft");
    }
    await page.fill("#p_noise_seed + input", "7");
    await page.press("#p_noise_seed + input", "Tab");
    await page.click("#p_noise_seed ~ button");
    assert.equal(await page.inputValue("#p_noise_seed"), "0", "reset shows noise_seed's default");
    await settled(page);
    const untouched = await copiedCommand(page);
    assert.ok(!untouched.includes("--set"), "controls at their defaults set nothing: " + untouched);

    // Drag the angle slider's thumb from the middle (0 degrees) a tenth of its width to the right.
    const slider = page.locator("#p_angle");
    await slider.scrollIntoViewIfNeeded();
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

    const command = await copiedCommand(page);
    assert.ok(command.includes("--set angle=" + angle), "the command sets the dragged angle: " + command);
    const copied = await page.evaluate(() => navigator.clipboard.readText());
    assert.equal(copied, command, "the clipboard holds the command the page shows");
    // The command names `korvane`; run it with this build's binary, in the server's folder.
    runCommand(command, work);
    const written = fs.readFileSync(path.join(work, "coffee_sorted.png"));

    const [download] = await Promise.all([page.waitForEvent("download"), page.click("#full")]);
    assert.equal(download.suggestedFilename(), "coffee_sorted.png");
    const downloaded = path.join(artefacts, "downloaded.png");
    await download.saveAs(downloaded);
    assert.ok(fs.readFileSync(downloaded).equals(written), "'Render full size' is byte for byte the command's file");
    assert.equal(after, sha256(written), "the page showed the look the command renders");

    await page.screenshot({ path: path.join(artefacts, "preview.png") });

    // Three clicks and a double-click draw a mask of four points: the double-click's point once.
    await page.click("#mask");
    const area = await page.locator("#draw").boundingBox();
    const clicks = [[0.2, 0.2], [0.8, 0.25], [0.75, 0.8], [0.25, 0.75]].map(([u, v]) =>
      [Math.round(area.x + u * area.width), Math.round(area.y + v * area.height)]);
    for (const [x, y] of clicks.slice(0, 3)) await page.mouse.click(x, y);
    await page.mouse.dblclick(...clicks[3]);
    const masked = await copiedCommand(page);
    const mask = /--mask 'M ([^']*) Z'/.exec(masked);
    assert.ok(mask && masked.includes("--set mask=1"), "the command holds the drawn mask: " + masked);
    const points = mask[1].split(" L ").map(point => point.split(" ").map(Number));
    assert.equal(points.length, 4, "the mask has the points clicked: " + mask[1]);
    const scale = 600 / area.width;  // coffee.png's pixels per CSS pixel
    points.forEach(([x, y], i) => assert.ok(Math.abs(x - (clicks[i][0] - area.x) * scale) <= 2 &&
                                            Math.abs(y - (clicks[i][1] - area.y) * scale) <= 2,
                                            "point " + i + " lies where it was clicked: " + mask[1]));

    // A look control, and a click on the picture while the path has a centre: the centre moves
    // there, in percent of the frame; a loaded preset puts every look back but its own.
    await page.selectOption("#p_path", "2");
    const picture = await page.locator("#draw").boundingBox();
    await page.mouse.click(Math.round(picture.x + 0.3 * picture.width), Math.round(picture.y + 0.6 * picture.height));
    const centred = await copiedCommand(page);
    assert.ok(centred.includes("--set path=circles"), "the command sets the chosen path: " + centred);
    const centre = ["x", "y"].map(axis => Number((new RegExp("--set centre_" + axis + "=([-0-9.]+)").exec(centred) || [])[1]));
    assert.ok(Math.abs(centre[0] - 30) <= 1 && Math.abs(centre[1] - 60) <= 1, "the centre lies where it was clicked: " + centred);
    await page.setInputFiles("#presetfile", { name: "look.json", mimeType: "application/json",
                                              buffer: Buffer.from(JSON.stringify({ interval: "waves", wave_phase: 45 })) });
    const loaded = await copiedCommand(page);
    assert.ok(loaded.includes("--set interval=waves") && loaded.includes("--set wave_phase=45") && !loaded.includes("centre_x"),
              "the preset's looks and nothing else: " + loaded);
    await context.close();
  } finally {
    const code = await stopPreview(server);
    assert.ok(code === 130 || code === 0, "korvane preview stopped on Ctrl-C, exit " + code);
  }
}

async function sequencePage(browser, work) {
  // A sequence numbered from 1: the time slider reaches its last frame, the command renders every
  // frame, and "Render full size" is that frame's file of the command, byte for byte.
  const sequence = path.join(work, "shot");
  fs.mkdirSync(sequence);
  for (const name of ["shot_0001.png", "shot_0002.png"]) fs.copyFileSync(input, path.join(sequence, name));
  const preview = await startPreview(korvane, path.join(sequence, "shot_####.png"), sequence);
  try {
    const context = await browser.newContext({ viewport: { width: 1280, height: 800 }, acceptDownloads: true });
    const page = await context.newPage();
    page.setDefaultTimeout(90000);
    page.on("pageerror", e => { throw e; });
    await page.goto(preview.url);
    await settled(page);
    await page.press("#time", "End");
    await settled(page);
    const command = await copiedCommand(page);
    runCommand(command, sequence);
    assert.ok(fs.existsSync(path.join(sequence, "shot_sorted_0001.png")), "the command renders every frame: " + command);
    const [download] = await Promise.all([page.waitForEvent("download"), page.click("#full")]);
    assert.equal(download.suggestedFilename(), "shot_sorted_0002.png");
    const downloaded = path.join(artefacts, "downloaded_0002.png");
    await download.saveAs(downloaded);
    assert.ok(fs.readFileSync(downloaded).equals(fs.readFileSync(path.join(sequence, "shot_sorted_0002.png"))),
              "'Render full size' is byte for byte the command's file of the frame shown");
    await context.close();
  } finally {
    const code = await stopPreview(preview.server);
    assert.ok(code === 130 || code === 0, "korvane preview of the sequence stopped on Ctrl-C, exit " + code);
  }
}

main().catch(e => {
  console.error(e);
  process.exit(1);
});
