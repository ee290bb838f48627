// The fixed part of the HTML report: its style sheet and the script that
// draws the page from the session's data. The script builds every element
// with the DOM and puts every text of the session in with text nodes, never
// as markup, so that no part name or server reply can become page content.
// It must not hold "</script" or "<!--": it is inlined in a script element.
#include "html_report.h"

namespace clonesim {

const char* html_page_style()
{
    return R"css(
:root { --ok: #1f7a3a; --ok-bg: #e3f4e8; --bad: #b3261e; --bad-bg: #fbe4e2; --warn: #8a5a00; --warn-bg: #fff2cc;
        --idle: #555; --idle-bg: #eceff1; --line: #d0d7de; --row: 28px; }
* { box-sizing: border-box; }
body { font: 14px/1.4 system-ui, sans-serif; margin: 0; color: #1b1f24; background: #fff; }
header, main > section { padding: 0 20px; }
header { border-bottom: 1px solid var(--line); padding-bottom: 12px; }
h1 { font-size: 20px; margin: 14px 0 2px; word-break: break-all; }
h2 { font-size: 17px; margin: 22px 0 8px; }
h3 { font-size: 15px; margin: 16px 0 6px; }
.description { margin: 0 0 8px; color: #444; }
.verdict { padding: 8px 12px; border-radius: 6px; font-weight: 600; margin: 8px 0; }
.verdict.ok { background: var(--ok-bg); color: var(--ok); }
.verdict.bad { background: var(--bad-bg); color: var(--bad); }
.counts { display: flex; flex-wrap: wrap; gap: 8px; margin: 6px 0; }
.chip { padding: 2px 10px; border-radius: 12px; background: var(--idle-bg); }
nav { position: sticky; top: 0; background: #f6f8fa; border-bottom: 1px solid var(--line); padding: 6px 20px; z-index: 2; }
nav a { margin-right: 16px; }
.outcome-translated { color: var(--ok); }
.outcome-refused { color: var(--bad); font-weight: 600; }
.outcome-warning { color: var(--warn); font-weight: 600; }
.outcome-not-translated { color: var(--idle); }
.sev-error { color: var(--bad); font-weight: 600; }
.sev-warning { color: var(--warn); font-weight: 600; }
.sev-note { color: var(--idle); }
.toolbar { display: flex; flex-wrap: wrap; gap: 14px; align-items: center; margin: 6px 0; }
.toolbar input[type=search] { width: 22em; padding: 4px 6px; }
.grid-head, .grid-row { display: grid; align-items: center; }
.grid-head { font-weight: 600; background: #f6f8fa; border: 1px solid var(--line); border-bottom: none; }
.grid-head > div { padding: 4px 6px; cursor: pointer; user-select: none; white-space: nowrap; overflow: hidden; }
.grid-head > div[aria-sort=ascending]::after { content: " \25B2"; }
.grid-head > div[aria-sort=descending]::after { content: " \25BC"; }
.viewport { position: relative; overflow: auto; height: 60vh; border: 1px solid var(--line); }
.spacer { position: relative; }
.grid-row { position: absolute; left: 0; right: 0; height: var(--row); border-bottom: 1px solid #eef1f4; cursor: pointer; }
.grid-row:hover { background: #f3f8ff; }
.grid-row.selected { background: #dcebff; }
.grid-row > div { padding: 0 6px; white-space: nowrap; overflow: hidden; text-overflow: ellipsis; }
.parts-grid { grid-template-columns: 4em minmax(10em, 2fr) minmax(10em, 2fr) minmax(6em, 1fr) 4em minmax(6em, 1fr) minmax(8em, 1.5fr) minmax(8em, 1.5fr) 9em; }
.requests-grid { grid-template-columns: 4.5em minmax(10em, 1.4fr) minmax(11em, 1fr) minmax(12em, 2fr) 4em minmax(10em, 2fr) minmax(8em, 1fr); }
.empty { color: var(--idle); font-style: italic; padding: 6px; }
table { border-collapse: collapse; margin: 4px 0 10px; }
td, th { border: 1px solid var(--line); padding: 3px 8px; text-align: left; vertical-align: top; }
th { background: #f6f8fa; }
td.text { white-space: pre-wrap; word-break: break-all; max-width: 60em; }
dl.fields { display: grid; grid-template-columns: max-content auto; gap: 2px 14px; margin: 6px 0; }
dl.fields dt { color: #555; }
dl.fields dd { margin: 0; word-break: break-all; }
pre { background: #f6f8fa; border: 1px solid var(--line); padding: 8px; white-space: pre-wrap; word-break: break-all; }
.byte { background: #ffe0b2; color: #6d3d00; border-radius: 3px; padding: 0 2px; font-family: monospace; }
.none { color: var(--idle); font-style: italic; }
.fold { margin-left: 6px; font-size: 12px; }
#story { border-top: 3px solid #0969da; margin-top: 14px; }
section, #story, #request-detail { scroll-margin-top: 40px; }
#story[hidden] { display: none; }
.arrow { color: var(--idle); padding: 0 6px; }
)css";
}

const char* html_page_script()
{
    return R"js(
"use strict";
(function () {
  const data = JSON.parse(document.getElementById("session-data").textContent);
  const ROW = 28;
  const FOLD = 300;

  // Bytes that are not UTF-8 arrive as U+10FF00 + byte (a surrogate pair
  // DBFF DF00..DFFF); they are shown as \xHH, marked.
  const BAD_BYTE = /\uDBFF([\uDF00-\uDFFF])/g;
  function hex(unit) { return "\\x" + (unit.charCodeAt(0) - 0xDF00).toString(16).toUpperCase().padStart(2, "0"); }
  function plain(s) { return s == null ? "" : String(s).replace(BAD_BYTE, (m, low) => hex(low)); }
  function txt(s) {
    const f = document.createDocumentFragment();
    s = String(s);
    let at = 0;
    for (const m of s.matchAll(BAD_BYTE)) {
      if (m.index > at) f.append(document.createTextNode(s.slice(at, m.index)));
      const b = document.createElement("span");
      b.className = "byte";
      b.title = "a byte that is not valid UTF-8";
      b.textContent = hex(m[1]);
      f.append(b);
      at = m.index + m[0].length;
    }
    if (at < s.length) f.append(document.createTextNode(s.slice(at)));
    return f;
  }
  function el(tag, props, ...children) {
    const e = document.createElement(tag);
    if (props) for (const [k, v] of Object.entries(props)) {
      if (k === "class") e.className = v;
      else if (k === "text") e.append(txt(v));
      else if (k.startsWith("on")) e.addEventListener(k.slice(2), v);
      else e.setAttribute(k, v);
    }
    for (const c of children) if (c != null) e.append(typeof c === "string" ? txt(c) : c);
    return e;
  }
  function none(text) { return el("span", { class: "none" }, text); }
  function quoted(s) { return s == null ? none("(none)") : el("span", null, "\u201C", s, "\u201D"); }
  // A long text shows its start and can be opened in place.
  function folded(s) {
    if (s == null) return none("(none)");
    s = String(s);
    if (s.length <= FOLD) return el("span", null, s);
    const span = el("span", null, s.slice(0, FOLD), "\u2026");
    const more = el("button", { class: "fold", type: "button" }, "show all " + s.length.toLocaleString("en") + " characters");
    more.addEventListener("click", () => { span.replaceChildren(txt(s)); more.remove(); });
    return el("span", null, span, more);
  }
  function outcomeClass(o) { return "outcome-" + o.replace(/ /g, "-"); }
  function plural(n, one, many) { return n.toLocaleString("en") + " " + (n === 1 ? one : many); }
  function partLink(i) {
    return el("a", { href: "#part-" + (i + 1) }, data.parts[i].n);
  }
  function section(id, title) {
    const s = el("section", { id: id }, el("h2", null, title));
    main.append(s);
    return s;
  }
  function table(headers, rows) {
    if (rows.length === 0) return el("div", { class: "empty" }, "(none)");
    return el("table", null, el("thead", null, el("tr", null, ...headers.map(h => el("th", null, h)))),
      el("tbody", null, ...rows.map(r => el("tr", null, ...r.map(c => el("td", { class: "text" }, c))))));
  }
  function stepName(s) {
    if (!(s >= 0 && s < data.steps.length)) return "";
    const [label, part] = data.steps[s];
    return part == null ? label : label + " of " + plain(typeof part === "number" ? data.parts[part].n : part);
  }
  function statusOf(q) {
    return q.f ? el("span", { class: "sev-error", title: q.f === "malformed" ? "the server could not parse the input" : "refused by the server" }, q.st + " " + q.f) : String(q.st);
  }
  function requestName(q) { return q.c + " " + (data.request_names[q.c] || "unknown"); }
  // Which parts each request and text belongs to, from the parts' stories.
  const requestParts = data.requests.map(() => []);
  const textParts = data.texts.map(() => []);
  data.parts.forEach((p, i) => { for (const r of p.rq) requestParts[r].push(i); for (const k of p.tx) textParts[k].push(i); });
  // A table of many rows shows its first ones and more on demand.
  function longTable(headers, count, rowOf) {
    const STEP = 500;
    const wrap = el("div", null);
    let shownRows = 0;
    const more = el("button", { type: "button", class: "fold" });
    function grow() {
      const upto = Math.min(count, shownRows + STEP);
      const rows = [];
      for (let k = shownRows; k < upto; ++k) rows.push(rowOf(k));
      shownRows = upto;
      if (!wrap.firstChild) wrap.append(table(headers, rows));
      else if (rows.length) wrap.querySelector("tbody").append(...rows.map(r => el("tr", null, ...r.map(c => el("td", { class: "text" }, c)))));
      if (shownRows < count) {
        more.textContent = "show " + Math.min(STEP, count - shownRows).toLocaleString("en") + " more of " + count.toLocaleString("en");
        wrap.append(more);
      } else more.remove();
    }
    more.addEventListener("click", grow);
    grow();
    return wrap;
  }

  // A list that draws only the rows in view, so that tens of thousands of
  // rows cost no more than a screenful.
  function VirtualList(viewport, gridClass, drawRow) {
    const spacer = el("div", { class: "spacer" });
    viewport.append(spacer);
    let items = [];
    let selected = -1;
    function draw() {
      const first = Math.max(0, Math.floor(viewport.scrollTop / ROW) - 10);
      const last = Math.min(items.length, Math.ceil((viewport.scrollTop + viewport.clientHeight) / ROW) + 10);
      const rows = [];
      for (let k = first; k < last; ++k) {
        const row = drawRow(items[k]);
        row.className = "grid-row " + gridClass + (items[k] === selected ? " selected" : "");
        row.style.top = (k * ROW) + "px";
        rows.push(row);
      }
      spacer.replaceChildren(...rows);
    }
    viewport.addEventListener("scroll", draw, { passive: true });
    window.addEventListener("resize", draw);
    return {
      set(list) {
        items = list;
        spacer.style.height = (items.length * ROW) + "px";
        // Room for a horizontal scroll bar below the last row.
        viewport.style.height = "min(60vh, " + (items.length * ROW + 20) + "px)";
        draw();
      },
      select(item) {
        selected = item;
        const k = items.indexOf(item);
        if (k >= 0 && (k * ROW < viewport.scrollTop || (k + 1) * ROW > viewport.scrollTop + viewport.clientHeight))
          viewport.scrollTop = Math.max(0, k * ROW - viewport.clientHeight / 2);
        draw();
      },
      get length() { return items.length; },
    };
  }

  document.title = "clonesim report: " + plain(data.scenario);
  const header = el("header", null,
    el("h1", null, "clonesim report: ", data.scenario),
    el("p", { class: "description" }, data.operation + " session" + (data.dry_run ? ", dry run" : "") +
      (data.description ? ": " : ""), data.description || ""));
  const verdict = el("div", { class: "verdict " + (data.verdict.went_through ? "ok" : "bad"), id: "verdict" },
    "verdict: ", data.verdict.text);
  header.append(verdict);
  const counts = el("div", { class: "counts", id: "counts" });
  counts.append(el("span", { class: "chip" }, plural(data.parts.length, "part", "parts")));
  for (const o of ["translated", "warning", "refused", "not translated"])
    if (data.counts[o]) counts.append(el("span", { class: "chip " + outcomeClass(o) }, data.counts[o].toLocaleString("en") + " " + o));
  counts.append(el("span", { class: "chip" }, plural(data.requests.length, "PDM request", "PDM requests")));
  const refusedRequests = data.requests.filter(q => q.f).length;
  if (refusedRequests) counts.append(el("span", { class: "chip sev-error" }, refusedRequests.toLocaleString("en") + " refused by the server"));
  for (const [level, one, many] of [["error", "error", "errors"], ["warning", "warning", "warnings"], ["note", "note", "notes"]])
    counts.append(el("span", { class: "chip" + (data.finding_counts[level] ? " sev-" + level : ""), id: "count-" + level }, plural(data.finding_counts[level], one, many)));
  header.append(counts);

  // The findings, errors first, each linked to its part; a long list shows
  // its first ones and more on demand.
  const findingOrder = data.findings.map((f, k) => k);
  const rank = { error: 0, warning: 1, note: 2 };
  findingOrder.sort((a, b) => rank[data.findings[a].level] - rank[data.findings[b].level] || a - b);
  const findingList = el("ol", { id: "findings" });
  let findingsShown = 0;
  const moreFindings = el("button", { type: "button", class: "fold" });
  function growFindings() {
    const upto = Math.min(findingOrder.length, findingsShown + 200);
    for (; findingsShown < upto; ++findingsShown) {
      const f = data.findings[findingOrder[findingsShown]];
      const item = el("li", { class: "finding" }, el("span", { class: "sev-" + f.level }, f.level), " ");
      if (f.part >= 0) item.append(partLink(f.part), ": ");
      item.append(txt(f.text));
      findingList.append(item);
    }
    if (findingsShown < findingOrder.length) moreFindings.textContent = "show " + Math.min(200, findingOrder.length - findingsShown) + " more of " + findingOrder.length.toLocaleString("en");
    else moreFindings.remove();
  }
  moreFindings.addEventListener("click", growFindings);
  header.append(el("h2", null, "Findings"), data.findings.length ? findingList : el("div", { class: "empty", id: "findings" }, "(none)"), moreFindings);
  growFindings();

  const nav = el("nav", null);
  for (const [id, title] of [["parts", "Parts"], ["timeline", "PDM requests"], ["texts", "Texts shown"],
                             ["site", "Site files and programs"], ["database", "PDM database"], ["files", "Files"]])
    nav.append(el("a", { href: "#" + id }, title));
  const main = el("main", null);
  document.body.append(header, nav, main);

  // --- parts ---------------------------------------------------------------
  const parts = section("parts", "Parts");
  const newNameTitle = data.export ? "Exported as" : "Database name or refusal";
  const columns = [
    ["#", (p, i) => i + 1],
    ["Name", p => plain(p.n)],
    [newNameTitle, p => plain(resultText(p))],
    ["Item ID", p => plain(p.id)],
    ["Rev", p => plain(p.rev)],
    ["Type", p => plain(p.type)],
    ["PDM name", p => plain(p.pn)],
    ["Description", p => plain(p.pd)],
    ["Outcome", p => p.o],
  ];
  function resultText(p) {
    if (p.o === "not translated") return "not translated: the session stopped before this part";
    if (p.o === "refused") return "refused (status " + p.st + ")" + (p.msg.length ? ": " + p.msg.join(", ") : ", no message shown");
    return p.db == null ? "" : p.db;
  }
  const search = el("input", { type: "search", id: "part-search", placeholder: "Search names, items, texts\u2026", "aria-label": "Search parts" });
  const shown = el("span", { id: "parts-shown" });
  const toolbar = el("div", { class: "toolbar" }, search);
  const filters = {};
  for (const o of ["translated", "warning", "refused", "not translated"]) {
    const box = el("input", { type: "checkbox", id: "filter-" + o.replace(/ /g, "-"), value: o });
    box.checked = true;
    filters[o] = box;
    toolbar.append(el("label", { class: outcomeClass(o) }, box, " " + o + " (" + (data.counts[o] || 0).toLocaleString("en") + ")"));
  }
  toolbar.append(shown);
  const head = el("div", { class: "grid-head parts-grid", role: "row" });
  const viewport = el("div", { class: "viewport", id: "parts-list" });
  parts.append(toolbar, head, viewport);

  let order = data.parts.map((p, i) => i);
  let sortColumn = 0, sortAscending = true;
  let haystacks = null;
  function haystack(i) {
    if (!haystacks) haystacks = data.parts.map((p, k) => [k + 1, p.n, resultText(p), p.id, p.rev, p.type, p.pn, p.pd, p.o].map(plain).join("\n").toLowerCase());
    return haystacks[i];
  }
  const partRows = VirtualList(viewport, "parts-grid", i => {
    const p = data.parts[i];
    const row = el("div", { role: "row", "data-part": String(i) });
    columns.forEach(([title, value], c) => {
      const cell = el("div", { role: "cell" });
      const text = c === 0 ? String(i + 1) : c === 1 ? p.n : c === 2 ? resultText(p) : c === 8 ? p.o : [null, null, null, p.id, p.rev, p.type, p.pn, p.pd][c];
      if (text != null) { cell.append(txt(text)); cell.title = plain(text); }
      if (c === 8) cell.className = outcomeClass(p.o);
      row.append(cell);
    });
    row.addEventListener("click", () => { location.hash = "part-" + (i + 1); });
    return row;
  });
  function applyFilter() {
    const needle = search.value.trim().toLowerCase();
    const wanted = new Set(Object.keys(filters).filter(o => filters[o].checked));
    const view = order.filter(i => wanted.has(data.parts[i].o) && (!needle || haystack(i).includes(needle)));
    partRows.set(view);
    shown.textContent = view.length.toLocaleString("en") + " of " + plural(data.parts.length, "part", "parts") + " shown";
  }
  columns.forEach(([title, value], c) => {
    const cell = el("div", { role: "columnheader", title: "Sort by " + title }, title);
    cell.addEventListener("click", () => {
      sortAscending = sortColumn === c ? !sortAscending : true;
      sortColumn = c;
      const keys = data.parts.map(value);
      const collator = new Intl.Collator("en", { numeric: true });
      order = data.parts.map((p, i) => i).sort((a, b) => {
        const r = c === 0 ? keys[a] - keys[b] : collator.compare(keys[a], keys[b]);
        return (sortAscending ? r : -r) || a - b;
      });
      for (const h of head.children) h.removeAttribute("aria-sort");
      cell.setAttribute("aria-sort", sortAscending ? "ascending" : "descending");
      applyFilter();
    });
    head.append(cell);
  });
  search.addEventListener("input", applyFilter);
  for (const box of Object.values(filters)) box.addEventListener("change", applyFilter);

  // --- one part's story ----------------------------------------------------
  const story = el("section", { id: "story", hidden: "" });
  parts.append(story);
  function requestRow(r) {
    const q = data.requests[r];
    return [el("a", { href: "#request-" + (r + 1) }, String(r + 1)), stepName(q.s), requestName(q),
            q.in == null ? none("(no input)") : folded(q.in), statusOf(q), q.rp == null ? none("(no reply)") : folded(q.rp)];
  }
  function changeRow(k) {
    const c = data.changes[k];
    const becomes = c.d ? el("span", null, c.d) : none("");
    const change = c.was != null ? el("span", null, el("span", null, c.was), el("span", { class: "arrow" }, "\u2192"), becomes) : becomes;
    return [c.k, c.id + (c.rev ? "/" + c.rev : ""), change];
  }
  function itemChangeRow(k) {
    const c = data.item_changes[k];
    return [c.field, c.id + (c.rev ? "/" + c.rev : ""),
            el("span", null, quoted(c.was), el("span", { class: "arrow" }, "\u2192"), quoted(c.becomes)),
            c.released ? el("span", { class: "sev-error" }, "released") : ""];
  }
  function fileRow(k) {
    const f = data.files[k];
    if (f.k === "mapping file")
      return [f.k, f.path, el("span", null, "written by the server, " + (f.outcome === "deleted" ? "deleted by the library" : "kept")), el("pre", null, f.content)];
    let what = "saved " + plural(f.saves, "time", "times");
    if (f.failed) what += ", " + plural(f.failed, "save", "saves") + " failed";
    if (f.open) what += ", left open";
    const attributes = f.attributes.length ? table(["Attribute", "Value"], f.attributes.map(([t, v]) => [t, quoted(v)])) : none("no attribute written");
    return [f.k, f.path, what, attributes];
  }
  function openPart(i) {
    const p = data.parts[i];
    const fields = el("dl", { class: "fields" });
    function field(title, value) { fields.append(el("dt", null, title), el("dd", null, value)); }
    field("outcome", el("span", { class: outcomeClass(p.o) }, p.o));
    if (p.o === "refused" || p.o === "not translated") field("result", resultText(p));
    else field(newNameTitle, p.db == null ? none("(none)") : el("span", null, p.db));
    if (p.id) { field("item ID", p.id); field("revision", p.rev); }
    if (p.rel) { field("relation", p.rel); field("related name", p.reln); }
    field("item type", quoted(p.type));
    field("PDM name", quoted(p.pn));
    field("description", quoted(p.pd));
    const mine = data.findings.filter(f => f.part === i);
    story.replaceChildren(
      el("h2", null, "Part " + (i + 1) + ": ", p.n), fields,
      ...(mine.length ? [el("h3", null, "Findings"), el("ul", null, ...mine.map(f => el("li", null, el("span", { class: "sev-" + f.level }, f.level), ": ", f.text)))] : []),
      el("h3", null, "Requests sent for it, in order"),
      table(["#", "Step", "Request", "Input", "Status", "Reply"], p.rq.map(requestRow)),
      el("h3", null, "Texts shown"),
      table(["Where", "Step", "Title", "Text"], p.tx.map(k => { const t = data.texts[k]; return [t.k, stepName(t.s), t.t, t.m]; })),
      el("h3", null, "PDM database changes"),
      ...(p.ic.length ? [table(["Field of an existing item", "Item", "Was \u2192 becomes", ""], p.ic.map(itemChangeRow))] : []),
      table(["Change", "Item", "Was \u2192 becomes"], p.ch.map(changeRow)),
      el("h3", null, "Files written"),
      table(["Kind", "Path", "What happened", "Contents"], p.fl.map(fileRow)));
    story.hidden = false;
    partRows.select(i);
  }

  // --- the requests as a timeline -------------------------------------------
  const timeline = section("timeline", "PDM requests, in the order they were sent");
  const requestSearch = el("input", { type: "search", id: "request-search", placeholder: "Search requests\u2026", "aria-label": "Search requests" });
  const requestsShown = el("span", { id: "requests-shown" });
  const requestHead = el("div", { class: "grid-head requests-grid" });
  for (const t of ["#", "Step", "Request", "Input", "Status", "Reply", "Parts"]) requestHead.append(el("div", null, t));
  const requestViewport = el("div", { class: "viewport", id: "requests-list" });
  const requestDetail = el("div", { id: "request-detail" });
  timeline.append(el("div", { class: "toolbar" }, requestSearch, requestsShown), requestHead, requestViewport, requestDetail);
  const requestRows = VirtualList(requestViewport, "requests-grid", r => {
    const q = data.requests[r];
    const row = el("div", { role: "row", "data-request": String(r) });
    const p = requestParts[r];
    const cells = [String(r + 1), stepName(q.s), requestName(q), q.in == null ? "(no input)" : q.in, q.st + (q.f ? " " + q.f : ""), q.rp == null ? "" : q.rp,
                   p.length === 0 ? "" : plain(data.parts[p[0]].n) + (p.length > 1 ? " and " + (p.length - 1).toLocaleString("en") + " more" : "")];
    for (const c of cells) {
      const shownText = c.length > FOLD ? c.slice(0, FOLD) + "\u2026" : c;
      row.append(el("div", { title: plain(shownText) }, shownText));
    }
    if (q.f) row.children[4].className = "sev-error";
    row.addEventListener("click", () => { location.hash = "request-" + (r + 1); });
    return row;
  });
  let requestHaystacks = null;
  function applyRequestFilter() {
    const needle = requestSearch.value.trim().toLowerCase();
    if (needle && !requestHaystacks)
      requestHaystacks = data.requests.map((q, r) => [r + 1, stepName(q.s), requestName(q), q.in, q.st + (q.f ? " " + q.f : ""), q.rp].map(plain).join("\n").toLowerCase());
    const view = [];
    for (let r = 0; r < data.requests.length; ++r) if (!needle || requestHaystacks[r].includes(needle)) view.push(r);
    requestRows.set(view);
    requestsShown.textContent = view.length.toLocaleString("en") + " of " + plural(data.requests.length, "request", "requests") + " shown";
  }
  requestSearch.addEventListener("input", applyRequestFilter);
  function openRequest(r) {
    const q = data.requests[r];
    const partList = el("span", null);
    const p = requestParts[r];
    p.slice(0, 100).forEach((i, k) => { if (k) partList.append(", "); partList.append(partLink(i)); });
    if (p.length > 100) partList.append(" and " + (p.length - 100).toLocaleString("en") + " more");
    requestDetail.replaceChildren(el("h3", null, "Request " + (r + 1) + ": " + requestName(q)),
      el("dl", { class: "fields" },
        el("dt", null, "step"), el("dd", null, stepName(q.s) || "\u2014"),
        el("dt", null, "input"), el("dd", null, q.in == null ? none("(no input)") : folded(q.in)),
        el("dt", null, "status"), el("dd", null, statusOf(q)),
        el("dt", null, "reply"), el("dd", null, q.rp == null ? none("(no reply)") : folded(q.rp)),
        el("dt", null, "for"), el("dd", null, p.length ? partList : none("the session"))));
    requestRows.select(r);
  }

  // --- texts, site files and programs, database, files ------------------------
  const texts = section("texts", "Texts shown");
  texts.append(el("h3", null, "Error boxes and listing window"),
    longTable(["Where", "Step", "Title", "Text", "Part"], data.texts.length, k => { const t = data.texts[k]; return [t.k, stepName(t.s), t.t, t.m, textParts[k].length ? partLink(textParts[k][0]) : ""]; }),
    el("h3", null, "Standard output (the library and the site programs it ran)"),
    data.stdout.length ? el("pre", { id: "stdout" }, data.stdout.join("\n")) : el("div", { class: "empty" }, "(none)"));

  const site = section("site", "Site files and programs");
  site.append(el("h3", null, "Environment of the session"),
    table(["Variable", "Value"], data.env.map(([n, v]) => [n, v == null ? none("(unset)") : v])));
  if (data.mapping) {
    const m = data.mapping;
    site.append(el("h3", null, "Import attribute mapping file ", m.file));
    if (!m.readable) site.append(el("div", { class: "sev-warning" }, "The file cannot be read: no attribute is mapped."));
    else site.append(
      table(["Line", "Text", "Read as"], m.lines.map(l => [String(l.line), l.text, l.entry ? "\u201C" + plain(l.key) + "\u201D \u2192 attribute \u201C" + plain(l.title) + "\u201D" + (l.why ? " (" + plain(l.why) + ")" : "") : "skipped: " + plain(l.why)])),
      table(["Key", "Attribute"], m.keys.map(([k, t]) => [k, t == null ? none("not mapped") : quoted(t)])));
  }
  const programs = data.env.filter(([n, v]) => v != null && /PROGRAM|PFM_ITEMID|PDM_ROOT/.test(n));
  if (programs.length || data.programs.length) site.append(el("h3", null, "Site programs"),
    table(["Variable", "Program"], programs.map(([n, v]) => [n, v])),
    el("p", null, "What they printed is under ", el("a", { href: "#texts" }, "Standard output"), ". The runs, in order:"),
    longTable(["#", "Program", "Arguments", "Exit status"], data.programs.length, k => {
      const run = data.programs[k];
      return [String(k + 1), run.program, run.arguments.map(plain).join(" "), run.exit ? el("span", { class: "sev-warning" }, String(run.exit)) : "0"];
    }));
  const mappingFiles = data.files.map((f, k) => k).filter(k => data.files[k].k === "mapping file");
  if (mappingFiles.length) site.append(el("h3", null, "Export log mapping files"), longTable(["Kind", "Path", "What happened", "Contents"], mappingFiles.length, k => fileRow(mappingFiles[k])));
  site.append(el("h3", null, "Host callbacks"),
    table(["Name", "Point", "Calls", "Registered at the end"], data.callbacks.map(c => [c.name, String(c.point), String(c.calls), c.registered ? "yes" : el("span", { class: "sev-error" }, "NO")])));
  if (data.misuse.length) site.append(el("h3", { class: "sev-error" }, "Host misuse by the library"), el("pre", null, data.misuse.join("\n")));
  site.append(el("h3", null, "Steps of the session"),
    !data.played ? el("p", null, "(no session was played)") : el("div", null,
      el("p", null, data.stops.length ? "Notifications answered with a non-zero result: " : "Every notification was answered with 0."),
      data.stops.length ? table(["Point", "Part", "Result"], data.stops.map(([p, n, r]) => [p, n, String(r)])) : "",
      longTable(["#", "Step"], data.steps.length, k => [String(k + 1), stepName(k)])));

  const database = section("database", "PDM database changes");
  if (data.item_changes.length) database.append(el("h3", null, "Items that were in the database before the session"),
    longTable(["Field", "Item", "Was \u2192 becomes", ""], data.item_changes.length, itemChangeRow),
    el("h3", null, "Every change, in order"));
  database.append(longTable(["Change", "Item", "Was \u2192 becomes"], data.changes.length, changeRow));
  const files = section("files", "Files");
  files.append(longTable(["Kind", "Path", "What happened", "Contents"], data.files.length, fileRow));

  function follow() {
    const m = /^#(part|request)-(\d+)$/.exec(location.hash);
    if (!m) return;
    const k = Number(m[2]) - 1;
    if (m[1] === "part" && k >= 0 && k < data.parts.length) { openPart(k); story.scrollIntoView(); }
    if (m[1] === "request" && k >= 0 && k < data.requests.length) { openRequest(k); requestDetail.scrollIntoView(); }
  }
  window.addEventListener("hashchange", follow);
  applyFilter();
  applyRequestFilter();
  follow();
  document.body.setAttribute("data-ready", "true");
})();
)js";
}

}  // namespace clonesim
