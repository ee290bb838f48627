// Measures the HTML report at the sizes a site meets and prints the
// figures; it asserts nothing about time. For each size: the page's size and
// write time (bench/html_report_bench, on a scenario made by
// bench/clonesim_scale.py), and in chromium the time the page
// takes to draw itself, an outcome filter, a search and a sort.
//
// node large_pages_bench.cjs HTML_REPORT_BENCH WORK_DIR [[export:]SIZE...]   (default 1000 20000)
"use strict";
const { spawnSync } = require("child_process");
const fs = require("fs");
const path = require("path");
const { launch, open } = require("./browser.cjs");

const [bench, workDir, ...sizeArgs] = process.argv.slice(2);
const sizes = (sizeArgs.length ? sizeArgs : ["1000", "20000"]).map(a => a.includes(":") ? a.split(":") : ["import", a]);

async function measureFilters(context, file) {
  const start = Date.now();
  const { page, seen } = await open(context, file);
  const load = (Date.now() - start) / 1000;
  // Each change is applied synchronously by the page's handler, so the time
  // around the event (and the layout it forces) is the filter's.
  const filter = await page.evaluate(() => {
    const box = document.getElementById("filter-translated");
    const t0 = performance.now();
    box.click();
    document.getElementById("parts-list").getBoundingClientRect();
    const t1 = performance.now();
    box.click();
    document.getElementById("parts-list").getBoundingClientRect();
    const t2 = performance.now();
    return { hide: t1 - t0, show: t2 - t1 };
  });
  const search = await page.evaluate(() => {
    const input = document.getElementById("part-search");
    const times = [];
    for (const text of ["p0", "p001999", "generated part 7", ""]) {
      const t0 = performance.now();
      input.value = text;
      input.dispatchEvent(new Event("input"));
      document.getElementById("parts-list").getBoundingClientRect();
      times.push([text, performance.now() - t0, document.getElementById("parts-shown").textContent]);
    }
    return times;
  });
  const sort = await page.evaluate(() => {
    const t0 = performance.now();
    document.querySelectorAll("#parts .grid-head > div")[6].click();
    document.getElementById("parts-list").getBoundingClientRect();
    return performance.now() - t0;
  });
  await page.close();
  return { load, filter, search, sort, seen };
}

(async () => {
  fs.mkdirSync(workDir, { recursive: true });
  const browser = await launch();
  try {
    for (const [kind, size] of sizes) {
      const made = spawnSync("python3", [path.join(__dirname, "..", "..", "bench", "clonesim_scale.py"), "--write-only", workDir,
                                         "--parts", size, "--kinds", kind], { encoding: "utf8", stdio: ["ignore", "pipe", "inherit"] });
      if (made.status !== 0) throw new Error("bench/clonesim_scale.py exited " + made.status);
      const scenario = made.stdout.trim();
      const page = path.join(workDir, kind + "_" + size + ".html");
      const written = spawnSync(bench, [scenario, page], { encoding: "utf8", stdio: ["ignore", "pipe", "inherit"] });
      if (written.status !== 0) throw new Error("html_report_bench exited " + written.status);
      process.stdout.write(written.stdout);
      const m = await measureFilters(browser.context, page);
      console.log(`  chromium: loaded and drawn in ${m.load.toFixed(2)} s; outcome filter off ${m.filter.hide.toFixed(1)} ms, ` +
                  `on ${m.filter.show.toFixed(1)} ms; sort by PDM name ${m.sort.toFixed(1)} ms`);
      for (const [text, ms, shown] of m.search) console.log(`  search "${text}": ${ms.toFixed(1)} ms, ${shown}`);
      if (m.seen.requests.length || m.seen.errors.length) console.log("  page fetched or logged: " + JSON.stringify(m.seen));
    }
  } finally {
    await browser.close();
  }
})().catch(e => { console.error(e); process.exit(1); });
