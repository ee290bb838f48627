// The HTML report of each example and guide session and of a scenario full
// of hostile texts, checked through the page chromium draws: the banner
// renders the run's one verdict (its words, its colour, the exit status),
// the findings and every part's fate and label are shown, the outcome filter
// and the search narrow the
// table, a part opens with its story, texts are shown as text, and the page
// fetched nothing and logged no error. A screenshot of each page is left in
// the artifacts directory for a person to look at.
//
// node report_pages_test.cjs CLONESIM SOURCE_DIR WORK_DIR ARTIFACTS_DIR
"use strict";
const { spawnSync } = require("child_process");
const fs = require("fs");
const path = require("path");
const { launch, open, checker } = require("./browser.cjs");

const [clonesim, sourceDir, workDir, artifacts] = process.argv.slice(2);
// Every example and every guide scenario, by its path below examples/.
const examplesDir = path.join(sourceDir, "examples");
const examples = [
  ...fs.readdirSync(examplesDir).filter(f => /^[^.]+\.json$/.test(f)),
  ...fs.readdirSync(path.join(examplesDir, "guide")).filter(f => /^[^.]+\.json$/.test(f)).map(f => "guide/" + f),
].map(f => f.replace(/\.json$/, "")).sort();
const t = checker();

// The page and the JSON report of one run, and its exit status.
function writePage(scenario, name) {
  const file = path.join(workDir, name.replace(/\//g, "_") + ".html");
  const json = file.replace(/\.html$/, ".json");
  const run = spawnSync(clonesim, ["run", scenario, "--html", file, "--json-file", json], { encoding: "buffer" });
  t.check(run.status === 0 || run.status === 1, name + ": clonesim ran (exit " + run.status + ": " + run.stderr + ")");
  return { file, report: fs.existsSync(json) ? JSON.parse(fs.readFileSync(json, "utf8")) : null, status: run.status };
}

// The page files a part under its final fate in the JSON's words ("exported",
// "not imported", ...); its label is the worst finding about it.
function expectedOutcome(part) { return part.fate; }
function expectedLabel(report, part) {
  const levels = report.findings.filter(f => f.part === part.name).map(f => f.severity);
  return ["error", "warning", "note"].find(l => levels.includes(l)) || "";
}

// The findings at the top of the page: each shown once, linked to its part,
// and counted by severity.
async function checkFindings(page, name, report) {
  const shown = await page.$$eval("#findings li", items => items.map(li => ({
    text: li.textContent, link: li.querySelector("a") ? li.querySelector("a").getAttribute("href") : "" })));
  t.equal(shown.length, Math.min(report.findings.length, 200), name + ": one entry per finding");
  for (const f of report.findings.slice(0, 200)) {
    const at = shown.find(s => s.text.startsWith(f.severity + " ") && s.text.endsWith(f.text));
    t.check(at, name + ": finding shown: " + f.severity + " " + f.text);
    if (at && f.part) t.equal(at.link, "#part-" + (report.parts.findIndex(p => p.name === f.part) + 1), name + ": finding linked to " + f.part);
  }
  for (const level of ["error", "warning", "note"]) {
    const count = report.findings.filter(f => f.severity === level).length;
    const chip = await page.textContent("#count-" + level);
    t.check(chip === count + " " + level + (count === 1 ? " finding" : " findings"), name + ": " + count + " " + level + " counted as findings (" + chip + ")");
  }
}

// The rows the parts table shows, as the reader sees them.
function shownRows(page) {
  return page.$$eval("#parts-list .grid-row", rows => rows.map(r => ({
    index: Number(r.getAttribute("data-part")),
    cells: Array.from(r.children, c => c.textContent),
  })));
}

async function setFilter(page, all, outcomes) {
  for (const o of all) {
    const box = page.locator("#filter-" + o.replace(/ /g, "-"));
    if ((await box.isChecked()) !== outcomes.includes(o)) await box.click();
  }
}

// The banner is the run's one verdict: its text, its outcome and exit
// status, green only for a clean run, and "went through" only with exit 0.
async function checkBanner(page, name, report, status) {
  const banner = await page.$eval("#verdict", b => ({
    text: b.textContent, outcome: b.getAttribute("data-outcome"), exit: b.getAttribute("data-exit-status"),
    colour: getComputedStyle(b).backgroundColor }));
  t.equal(banner.text, "verdict: " + report.verdict.text, name + ": verdict");
  t.equal(banner.outcome, report.verdict.outcome, name + ": the banner's outcome");
  t.equal(banner.exit, String(status), name + ": the banner's exit status is the run's");
  const [r, g, b] = banner.colour.match(/\d+/g).map(Number);
  t.equal(g > r && g > b, report.verdict.outcome === "clean", name + ": the banner is green only when clean (" + banner.colour + ")");
  t.equal(banner.text.includes("went through"), status === 0, name + ": \"went through\" only with exit status 0");
}

async function checkExample(context, name) {
  const scenario = path.join(sourceDir, "examples", name + ".json");
  const { file, report, status } = writePage(scenario, name);
  if (!report) return;
  const { page, seen } = await open(context, file);

  await checkBanner(page, name, report, status);
  await checkFindings(page, name, report);
  const rows = await shownRows(page);
  t.equal(rows.length, report.parts.length, name + ": one row per part");
  report.parts.forEach((part, i) => {
    const row = rows.find(r => r.index === i);
    t.check(row && row.cells[1] === part.name, name + ": part " + (i + 1) + " named " + part.name);
    t.equal(row ? row.cells[8] : "", expectedOutcome(part), name + ": outcome of " + part.name);
    t.equal(row ? row.cells[9] : "", expectedLabel(report, part), name + ": label of " + part.name);
    if (row && expectedOutcome(part) === "translated")
      t.equal(row.cells[2], part.database_name || part.exported_as, name + ": new name of " + part.name);
  });

  // Each outcome filter shows exactly the parts of that outcome.
  const OUTCOMES = Object.keys(report.summary.parts);
  for (const o of OUTCOMES) {
    await setFilter(page, OUTCOMES, [o]);
    const filtered = await shownRows(page);
    t.check(filtered.every(r => r.cells[8] === o) && filtered.length === rows.filter(r => r.cells[8] === o).length,
            name + ": filter " + o + " shows its " + rows.filter(r => r.cells[8] === o).length + " parts");
  }
  await setFilter(page, OUTCOMES, OUTCOMES);

  // The search finds a part by a piece of its name.
  const last = report.parts[report.parts.length - 1];
  const piece = path.basename(last.name).slice(0, 8);
  await page.fill("#part-search", piece.toUpperCase());
  const found = await shownRows(page);
  t.check(found.length >= 1 && found.every(r => r.cells.join("\n").toLowerCase().includes(piece.toLowerCase())),
          name + ": search for " + piece + " shows only parts holding it");
  await page.fill("#part-search", "");

  // A part opened tells its story: the requests that named it.
  await page.click("#parts-list .grid-row[data-part=\"0\"]");
  await page.waitForSelector("#story:not([hidden])");
  const storyTitle = await page.textContent("#story h2");
  t.equal(storyTitle, "Part 1: " + report.parts[0].name, name + ": story of the first part opens");
  const storyText = await page.textContent("#story");
  const mine = report.requests.filter(r => r.input && (r.input.includes(report.parts[0].item_id || "\u0000") || r.input === report.parts[0].name));
  for (const r of mine.slice(0, 3))
    t.check(storyText.includes(r.name), name + ": story of " + report.parts[0].name + " holds request " + r.name);

  const timelineRows = await page.$$eval("#requests-list .grid-row", rows => rows.length);
  t.equal(timelineRows, Math.min(report.requests.length, timelineRows), name + ": the timeline draws its requests");
  t.check(timelineRows > 0 || report.requests.length === 0, name + ": the timeline shows requests");

  await page.evaluate(() => window.scrollTo(0, 0));
  await page.screenshot({ path: path.join(artifacts, name.replace(/\//g, "_") + ".png"), fullPage: true });
  t.equal(seen.requests, [], name + ": the page fetched nothing");
  t.equal(seen.errors, [], name + ": no script error");
  await page.close();
}

async function checkHostile(context) {
  const scenario = path.join(sourceDir, "tests", "browser", "hostile", "hostile.json");
  const source = JSON.parse(fs.readFileSync(scenario, "utf8"));
  const { file } = writePage(scenario, "hostile");
  const { page, seen } = await open(context, file);

  t.equal(await page.evaluate(() => window.pwned), undefined, "hostile: no text ran as a script");
  t.equal(seen.dialogs, [], "hostile: no dialog");
  t.equal(await page.$$eval("img, b", e => e.length), 0, "hostile: no markup from the texts became elements");
  const rows = await shownRows(page);
  t.equal(rows.map(r => r.cells[1]), source.parts.map(p => p.name), "hostile: part names shown as text, line separator and all");
  t.equal(rows[0].cells[7], source.parts[0].attributes[1][1], "hostile: description shown as text");

  // The reply of the failed publish request, in the timeline's detail.
  const publish = await page.$eval("#requests-list", list =>
    Array.from(list.querySelectorAll(".grid-row")).find(r => r.children[2].textContent === "27 auto_publish").getAttribute("data-request"));
  await page.click("#requests-list .grid-row[data-request=\"" + publish + "\"]");
  await page.waitForSelector("#request-detail dl");
  const detail = await page.textContent("#request-detail");
  t.check(detail.includes(source.server.replies[0].reply), "hostile: server reply shown as text");

  // The name cut inside a character: the byte left over shows as \xC3.
  // The row sets the address's #part-1 and the story opens on the hash
  // change, which comes after the click returns: wait for it.
  await page.click("#parts-list .grid-row[data-part=\"0\"]");
  await page.waitForSelector("#story:not([hidden]) h2");
  const story = await page.textContent("#story");
  t.check(story.includes("cast i\\xC3~~"), "hostile: a byte that is not UTF-8 shows as \\xC3 in the request input");
  t.check(await page.$$eval("#story .byte", b => b.length > 0), "hostile: the byte is marked");
  const stdout = await page.textContent("#stdout");
  t.check(stdout.includes("\\xFF\\xFE") && stdout.includes("window.pwned = \"stdout\""), "hostile: standard output shown as text with its bytes");

  // The finding about the refused request quotes the reply: as text too.
  const findings = await page.textContent("#findings");
  t.check(findings.includes("</script><script>window.pwned=") && findings.includes("<!-- <b>bold</b>"), "hostile: findings quote the reply as text");

  await page.evaluate(() => window.scrollTo(0, 0));
  await page.screenshot({ path: path.join(artifacts, "hostile.png"), fullPage: true });
  t.equal(seen.requests, [], "hostile: the page fetched nothing");
  t.equal(seen.errors, [], "hostile: no script error");
  await page.close();
}

(async () => {
  fs.mkdirSync(workDir, { recursive: true });
  fs.mkdirSync(artifacts, { recursive: true });
  const browser = await launch();
  try {
    for (const name of examples) await checkExample(browser.context, name);
    // The hostile session runs a shell script with a quote in a file
    // argument: a Windows build never runs that command, so its texts never
    // reach the page there (KX_PAGES_WITHOUT_SHELL=1 for clonesim.exe).
    if (!process.env.KX_PAGES_WITHOUT_SHELL) await checkHostile(browser.context);
  } finally {
    await browser.close();
  }
  t.finish();
})().catch(e => { console.error(e); process.exit(1); });
