// The system's chromium, driven by playwright-core from the build's
// node_modules, started the same way for every browser test: headless, no
// sandbox (tests run as root in CI), nothing fetched in the background, and
// a profile of its own that is removed afterwards.
"use strict";
const fs = require("fs");
const os = require("os");
const path = require("path");

const modules = process.env.KX_BROWSER_MODULES;
if (!modules) throw new Error("KX_BROWSER_MODULES must name the directory holding node_modules/playwright-core");
const { chromium } = require(path.resolve(modules, "node_modules", "playwright-core"));

async function launch() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "clonesim-chromium-"));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.KX_CHROMIUM || "/usr/bin/chromium",
    headless: true,
    viewport: { width: 1400, height: 900 },
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  return {
    context,
    async close() {
      await context.close();
      fs.rmSync(profile, { recursive: true, force: true });
    },
  };
}

// Opens a page file and records what it does besides drawing itself: every
// request other than the file itself, every script error and console
// error, every dialog.
async function open(context, file) {
  const page = await context.newPage();
  const url = "file://" + path.resolve(file);
  const seen = { requests: [], errors: [], dialogs: [] };
  page.on("request", r => { if (r.url() !== url) seen.requests.push(r.url()); });
  page.on("pageerror", e => seen.errors.push("page error: " + e.message));
  page.on("console", m => { if (m.type() === "error" || m.type() === "warning") seen.errors.push("console " + m.type() + ": " + m.text()); });
  page.on("dialog", d => { seen.dialogs.push(d.message()); d.dismiss().catch(() => {}); });
  await page.goto(url);
  try {
    // Generous: on a loaded two-core machine a first page has taken 30 s;
    // a page that never draws itself still fails, with what it saw.
    await page.waitForSelector("body[data-ready=true]", { timeout: 120000 });
  } catch (e) {
    throw new Error(file + " did not draw itself: " + JSON.stringify(seen));
  }
  return { page, seen };
}

// A tiny test runner: named checks, each failure reported, exit 1 on any.
function checker() {
  const failures = [];
  let count = 0;
  return {
    check(ok, what) { ++count; if (!ok) { failures.push(what); console.log("FAIL " + what); } },
    equal(actual, expected, what) {
      const a = JSON.stringify(actual), e = JSON.stringify(expected);
      this.check(a === e, what + ": expected " + e + ", got " + a);
    },
    finish() {
      console.log(count + " checks, " + failures.length + " failed");
      process.exitCode = failures.length ? 1 : 0;
    },
  };
}

module.exports = { launch, open, checker };
