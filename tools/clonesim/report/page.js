// The script of clonesim's HTML report: draws the page from the session's
// data (the element "session-data", made of the JSON report's records).
// Every element is built with the DOM and every text of the session goes in
// as a text node, never as markup, so that no part name or server reply can
// become page content. It is inlined in a script element at build time, so
// it must never hold a script end tag or an HTML comment opener (the build
// refuses it).
"use strict";
{
  const data = JSON.parse(document.getElementById("session-data").textContent);
  // Long lists of records come as tables: their keys once, then each
  // record's values in that order.
  for (const list of ["parts", "requests", "texts", "changes", "item_changes", "findings"]) {
    const { keys, rows } = data[list];
    data[list] = rows.map(row => Object.fromEntries(keys.map((key, i) => [key, row[i]])));
  }
  const ROW = 28;
  const FOLD = 300;
  // A part's final fate; its label (the worst finding about it) is apart.
  // In the operation's own words ("exported", "not imported", ...), in the
  // order of OUTCOME_CLASSES.
  const OUTCOMES = Object.keys(data.counts);
  const OUTCOME_CLASSES = ["translated", "not-completed", "refused", "not-translated"];

  // --- texts and elements ---------------------------------------------------

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
  function outcomeClass(o) { return "outcome-" + OUTCOME_CLASSES[OUTCOMES.indexOf(o)]; }
  function plural(n, one, many) { return n.toLocaleString("en") + " " + (n === 1 ? one : many); }
  function partLink(i) { return el("a", { href: "#part-" + (i + 1) }, data.parts[i].name); }
  function table(headers, rows) {
    if (rows.length === 0) return el("div", { class: "empty" }, "(none)");
    return el("table", null, el("thead", null, el("tr", null, ...headers.map(h => el("th", null, h)))),
      el("tbody", null, ...rows.map(r => el("tr", null, ...r.map(c => el("td", { class: "text" }, c))))));
  }

  // --- the session's records ------------------------------------------------

  function stepName(s) {
    if (!(s >= 0 && s < data.steps.length)) return "";
    const [label, part] = data.steps[s];
    return part == null ? label : label + " of " + plain(typeof part === "number" ? data.parts[part].name : part);
  }
  // The server's own verdict on a request: the status number alone says little.
  function verdictOf(q) { return q.input_not_understood ? "malformed" : q.refused_by_server ? "refused" : ""; }
  function statusOf(q) {
    const v = verdictOf(q);
    return v ? el("span", { class: "sev-error", title: v === "malformed" ? "the server could not parse the input" : "refused by the server" }, q.status + " " + v) : String(q.status);
  }
  function requestName(q) { return q.code + " " + q.name; }
  function newName(p) { return data.export ? p.exported_as : p.database_name; }
  function resultText(p) {
    if (p.outcome === OUTCOMES[3]) return "not translated: the session stopped before this part";
    if (p.outcome === OUTCOMES[1]) return p.fate + (newName(p) == null ? "" : " (translated to " + newName(p) + ")");
    if (p.outcome === "refused") return "refused (status " + p.status + ")" + (p.messages.length ? ": " + p.messages.join(", ") : ", no message shown");
    return newName(p) == null ? "" : newName(p);
  }
  // Which parts each request and text belongs to, from the parts' stories.
  const requestParts = data.requests.map(() => []);
  const textParts = data.texts.map(() => []);
  data.parts.forEach((p, i) => {
    for (const r of p.story.requests) requestParts[r].push(i);
    for (const k of p.story.texts) textParts[k].push(i);
  });

  // --- long lists -------------------------------------------------------------

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

  // --- the head of the page: verdict, counts and findings ---------------------

  function drawHeader() {
    document.title = "clonesim report: " + plain(data.scenario);
    const header = el("header", null,
      el("h1", null, "clonesim report: ", data.scenario),
      el("p", { class: "description" }, data.operation + " session" + (data.dry_run ? ", dry run" : "") +
        (data.description ? ": " : ""), data.description || ""));
    // The banner renders the run's one verdict: its colour is the outcome's.
    header.append(el("div", { class: "verdict verdict-" + data.verdict.outcome, id: "verdict",
                              "data-outcome": data.verdict.outcome, "data-exit-status": String(data.verdict.exit_status) },
      "verdict: ", data.verdict.text));
    const counts = el("div", { class: "counts", id: "counts" });
    counts.append(el("span", { class: "chip" }, plural(data.parts.length, "part", "parts")));
    for (const o of OUTCOMES)
      if (data.counts[o]) counts.append(el("span", { class: "chip " + outcomeClass(o) }, plural(data.counts[o], "part ", "parts ") + o));
    counts.append(el("span", { class: "chip" }, plural(data.requests.length, "PDM request", "PDM requests")));
    const refusedRequests = data.requests.filter(q => q.refused_by_server).length;
    if (refusedRequests) counts.append(el("span", { class: "chip sev-error" }, refusedRequests.toLocaleString("en") + " refused by the server"));
    for (const [level, one, many] of [["error", "error finding", "error findings"], ["warning", "warning finding", "warning findings"], ["note", "note finding", "note findings"]])
      counts.append(el("span", { class: "chip" + (data.finding_counts[level] ? " sev-" + level : ""), id: "count-" + level }, plural(data.finding_counts[level], one, many)));
    header.append(counts);
    drawFindings(header);
    return header;
  }

  // The findings, errors first, each linked to its part; a long list shows
  // its first ones and more on demand.
  function drawFindings(header) {
    const order = data.findings.map((f, k) => k);
    const rank = { error: 0, warning: 1, note: 2 };
    order.sort((a, b) => rank[data.findings[a].severity] - rank[data.findings[b].severity] || a - b);
    const list = el("ol", { id: "findings" });
    let shownFindings = 0;
    const more = el("button", { type: "button", class: "fold" });
    function grow() {
      const upto = Math.min(order.length, shownFindings + 200);
      for (; shownFindings < upto; ++shownFindings) {
        const f = data.findings[order[shownFindings]];
        const item = el("li", { class: "finding" }, el("span", { class: "sev-" + f.severity }, f.severity), " ");
        if (f.part_index >= 0) item.append(partLink(f.part_index), ": ");
        item.append(txt(f.text));
        list.append(item);
      }
      if (shownFindings < order.length) more.textContent = "show " + Math.min(200, order.length - shownFindings) + " more of " + order.length.toLocaleString("en");
      else more.remove();
    }
    more.addEventListener("click", grow);
    header.append(el("h2", null, "Findings"), data.findings.length ? list : el("div", { class: "empty", id: "findings" }, "(none)"), more);
    grow();
  }

  function drawNav() {
    const nav = el("nav", null);
    for (const [id, title] of [["parts", "Parts"], ["timeline", "PDM requests"], ["texts", "Texts shown"],
                               ["site", "Site files and programs"], ["database", "PDM database"], ["files", "Files"]])
      nav.append(el("a", { href: "#" + id }, title));
    return nav;
  }

  const main = el("main", null);
  document.body.append(drawHeader(), drawNav(), main);
  function section(id, title) {
    const s = el("section", { id: id }, el("h2", null, title));
    main.append(s);
    return s;
  }

  // --- the parts: a sortable, filtered table that draws the rows in view ------

  const newNameTitle = data.export ? "Exported as" : "Database name or refusal";
  const columns = [
    ["#", (p, i) => i + 1],
    ["Name", p => plain(p.name)],
    [newNameTitle, p => plain(resultText(p))],
    ["Item ID", p => plain(p.item_id)],
    ["Rev", p => plain(p.rev_id)],
    ["Type", p => plain(p.item_type)],
    ["PDM name", p => plain(p.pdm_name)],
    ["Description", p => plain(p.pdm_desc)],
    ["Outcome", p => p.outcome],
    ["Worst finding", p => p.label],
  ];
  // The text of each cell of a part's row, as it is drawn and searched.
  function cellTexts(p, i) {
    return [String(i + 1), p.name, resultText(p), p.item_id, p.rev_id, p.item_type, p.pdm_name, p.pdm_desc, p.outcome, p.label];
  }
  const partsSection = section("parts", "Parts");
  const search = el("input", { type: "search", id: "part-search", placeholder: "Search names, items, texts\u2026", "aria-label": "Search parts" });
  const partsShown = el("span", { id: "parts-shown" });
  const filters = {};
  const partsHead = el("div", { class: "grid-head parts-grid", role: "row" });
  const partsViewport = el("div", { class: "viewport", id: "parts-list" });
  let order = data.parts.map((p, i) => i);
  let haystacks = null;
  function haystack(i) {
    if (!haystacks) haystacks = data.parts.map((p, k) => cellTexts(p, k).map(plain).join("\n").toLowerCase());
    return haystacks[i];
  }
  const partRows = VirtualList(partsViewport, "parts-grid", i => {
    const p = data.parts[i];
    const row = el("div", { role: "row", "data-part": String(i) });
    cellTexts(p, i).forEach((text, c) => {
      const cell = el("div", { role: "cell" });
      if (text != null) { cell.append(txt(text)); cell.title = plain(text); }
      if (c === 8) cell.className = outcomeClass(p.outcome);
      if (c === 9 && p.label) cell.className = "sev-" + p.label;
      row.append(cell);
    });
    row.addEventListener("click", () => { location.hash = "part-" + (i + 1); });
    return row;
  });
  function applyFilter() {
    const needle = search.value.trim().toLowerCase();
    const wanted = new Set(Object.keys(filters).filter(o => filters[o].checked));
    const view = order.filter(i => wanted.has(data.parts[i].outcome) && (!needle || haystack(i).includes(needle)));
    partRows.set(view);
    partsShown.textContent = view.length.toLocaleString("en") + " of " + plural(data.parts.length, "part", "parts") + " shown";
  }
  function drawPartsToolbar() {
    const toolbar = el("div", { class: "toolbar" }, search);
    for (const o of OUTCOMES) {
      const box = el("input", { type: "checkbox", id: "filter-" + o.replace(/ /g, "-"), value: o });
      box.checked = true;
      filters[o] = box;
      box.addEventListener("change", applyFilter);
      toolbar.append(el("label", { class: outcomeClass(o) }, box, " " + o + " (" + (data.counts[o] || 0).toLocaleString("en") + ")"));
    }
    toolbar.append(partsShown);
    search.addEventListener("input", applyFilter);
    return toolbar;
  }
  // A click on a column heading sorts by it, again the other way round.
  function drawPartsHead() {
    let sortColumn = 0, sortAscending = true;
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
        for (const h of partsHead.children) h.removeAttribute("aria-sort");
        cell.setAttribute("aria-sort", sortAscending ? "ascending" : "descending");
        applyFilter();
      });
      partsHead.append(cell);
    });
  }
  partsSection.append(drawPartsToolbar(), partsHead, partsViewport);
  drawPartsHead();

  // --- one part's story ----------------------------------------------------------

  const story = el("section", { id: "story", hidden: "" });
  partsSection.append(story);
  function requestRow(r) {
    const q = data.requests[r];
    return [el("a", { href: "#request-" + (r + 1) }, String(r + 1)), stepName(q.step), requestName(q),
            q.input == null ? none("(no input)") : folded(q.input), statusOf(q), q.reply == null ? none("(no reply)") : folded(q.reply)];
  }
  function textRow(k) {
    const t = data.texts[k];
    return [t.kind, stepName(t.step), t.title, t.text];
  }
  function changeRow(k) {
    const c = data.changes[k];
    const becomes = c.detail ? el("span", null, c.detail) : none("");
    const change = c.was != null ? el("span", null, el("span", null, c.was), el("span", { class: "arrow" }, "\u2192"), becomes) : becomes;
    return [c.kind, c.item_id + (c.rev_id ? "/" + c.rev_id : ""), change];
  }
  function itemChangeRow(k) {
    const c = data.item_changes[k];
    return [c.field, c.item_id + (c.rev_id ? "/" + c.rev_id : ""),
            el("span", null, quoted(c.was), el("span", { class: "arrow" }, "\u2192"), quoted(c.becomes)),
            c.released ? el("span", { class: "sev-error" }, "released") : ""];
  }
  function fileRow(k) {
    const f = data.files[k];
    if (f.kind === "mapping file")
      return [f.kind, f.path, el("span", null, "written by the server, " + (f.outcome === "deleted" ? "deleted by the library" : "kept")), el("pre", null, f.content)];
    let what = "saved " + plural(f.saves, "time", "times");
    if (f.failed_saves) what += ", " + plural(f.failed_saves, "save", "saves") + " failed";
    if (f.left_open) what += ", left open";
    const attributes = f.attributes_written.length ? table(["Attribute", "Value"], f.attributes_written.map(([t, v]) => [t, quoted(v)])) : none("no attribute written");
    return [f.kind, f.path, what, attributes];
  }
  function partFields(p) {
    const fields = el("dl", { class: "fields" });
    function field(title, value) { fields.append(el("dt", null, title), el("dd", null, value)); }
    field("outcome", el("span", { class: outcomeClass(p.outcome) }, p.outcome));
    if (p.label) field("worst finding", el("span", { class: "sev-" + p.label }, p.label));
    if (p.outcome !== OUTCOMES[0]) field("result", resultText(p));
    else field(newNameTitle, newName(p) == null ? none("(none)") : el("span", null, newName(p)));
    if (p.item_id) { field("item ID", p.item_id); field("revision", p.rev_id); }
    if (p.relation) { field("relation", p.relation); field("related name", p.related_name); }
    field("item type", quoted(p.item_type));
    field("PDM name", quoted(p.pdm_name));
    field("description", quoted(p.pdm_desc));
    return fields;
  }
  function openPart(i) {
    const p = data.parts[i];
    const mine = data.findings.filter(f => f.part_index === i);
    story.replaceChildren(
      el("h2", null, "Part " + (i + 1) + ": ", p.name), partFields(p),
      ...(mine.length ? [el("h3", null, "Findings"), el("ul", null, ...mine.map(f => el("li", null, el("span", { class: "sev-" + f.severity }, f.severity), ": ", f.text)))] : []),
      el("h3", null, "Requests sent for it, in order"),
      table(["#", "Step", "Request", "Input", "Status", "Reply"], p.story.requests.map(requestRow)),
      el("h3", null, "Texts shown"),
      table(["Where", "Step", "Title", "Text"], p.story.texts.map(textRow)),
      el("h3", null, "PDM database changes"),
      ...(p.story.item_changes.length ? [table(["Field of an existing item", "Item", "Was \u2192 becomes", ""], p.story.item_changes.map(itemChangeRow))] : []),
      table(["Change", "Item", "Was \u2192 becomes"], p.story.changes.map(changeRow)),
      el("h3", null, "Files written"),
      table(["Kind", "Path", "What happened", "Contents"], p.story.files.map(fileRow)));
    story.hidden = false;
    partRows.select(i);
  }

  // --- the requests as a timeline ------------------------------------------------

  const timeline = section("timeline", "PDM requests, in the order they were sent");
  const requestSearch = el("input", { type: "search", id: "request-search", placeholder: "Search requests\u2026", "aria-label": "Search requests" });
  const requestsShown = el("span", { id: "requests-shown" });
  const requestHead = el("div", { class: "grid-head requests-grid" });
  for (const t of ["#", "Step", "Request", "Input", "Status", "Reply", "Parts"]) requestHead.append(el("div", null, t));
  const requestViewport = el("div", { class: "viewport", id: "requests-list" });
  const requestDetail = el("div", { id: "request-detail" });
  timeline.append(el("div", { class: "toolbar" }, requestSearch, requestsShown), requestHead, requestViewport, requestDetail);
  function statusText(q) { return q.status + (verdictOf(q) ? " " + verdictOf(q) : ""); }
  const requestRows = VirtualList(requestViewport, "requests-grid", r => {
    const q = data.requests[r];
    const row = el("div", { role: "row", "data-request": String(r) });
    const p = requestParts[r];
    const cells = [String(r + 1), stepName(q.step), requestName(q), q.input == null ? "(no input)" : q.input, statusText(q), q.reply == null ? "" : q.reply,
                   p.length === 0 ? "" : plain(data.parts[p[0]].name) + (p.length > 1 ? " and " + (p.length - 1).toLocaleString("en") + " more" : "")];
    for (const c of cells) {
      const shownText = c.length > FOLD ? c.slice(0, FOLD) + "\u2026" : c;
      row.append(el("div", { title: plain(shownText) }, shownText));
    }
    if (verdictOf(q)) row.children[4].className = "sev-error";
    row.addEventListener("click", () => { location.hash = "request-" + (r + 1); });
    return row;
  });
  let requestHaystacks = null;
  function applyRequestFilter() {
    const needle = requestSearch.value.trim().toLowerCase();
    if (needle && !requestHaystacks)
      requestHaystacks = data.requests.map((q, r) => [r + 1, stepName(q.step), requestName(q), q.input, statusText(q), q.reply].map(plain).join("\n").toLowerCase());
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
        el("dt", null, "step"), el("dd", null, stepName(q.step) || "\u2014"),
        el("dt", null, "input"), el("dd", null, q.input == null ? none("(no input)") : folded(q.input)),
        el("dt", null, "status"), el("dd", null, statusOf(q)),
        el("dt", null, "reply"), el("dd", null, q.reply == null ? none("(no reply)") : folded(q.reply)),
        el("dt", null, "for"), el("dd", null, p.length ? partList : none("the session"))));
    requestRows.select(r);
  }

  // --- texts, site files and programs, database, files ------------------------

  function drawTexts() {
    section("texts", "Texts shown").append(el("h3", null, "Error boxes and listing window"),
      longTable(["Where", "Step", "Title", "Text", "Part"], data.texts.length, k => [...textRow(k), textParts[k].length ? partLink(textParts[k][0]) : ""]),
      el("h3", null, "Standard output (the library and the site programs it ran)"),
      data.stdout.length ? el("pre", { id: "stdout" }, data.stdout.join("\n")) : el("div", { class: "empty" }, "(none)"));
  }

  // The import attribute mapping file, read line by line as check-map reads it.
  function mappingFile() {
    const m = data.mapping;
    const parts = [el("h3", null, "Import attribute mapping file ", m.file)];
    if (!m.readable) return [...parts, el("div", { class: "sev-warning" }, "The file cannot be read: no attribute is mapped.")];
    return [...parts,
      table(["Line", "Text", "Read as"], m.lines.map(l => [String(l.line), l.text, l.entry ? "\u201C" + plain(l.key) + "\u201D \u2192 attribute \u201C" + plain(l.title) + "\u201D" + (l.why ? " (" + plain(l.why) + ")" : "") : "skipped: " + plain(l.why)])),
      table(["Key", "Attribute"], m.keys.map(([k, t]) => [k, t == null ? none("not mapped") : quoted(t)]))];
  }
  function sitePrograms() {
    const programs = data.env.filter(([n, v]) => v != null && /PROGRAM|PFM_ITEMID|PDM_ROOT/.test(n));
    if (!programs.length && !data.programs.length) return [];
    return [el("h3", null, "Site programs"),
      table(["Variable", "Program"], programs.map(([n, v]) => [n, v])),
      el("p", null, "What they printed is under ", el("a", { href: "#texts" }, "Standard output"), ". The runs, in order:"),
      longTable(["#", "Program", "Arguments", "Exit status", "Error output"], data.programs.length, k => {
        const run = data.programs[k];
        return [String(k + 1), run.program, run.arguments.map(plain).join(" "), run.exit_status ? el("span", { class: "sev-warning" }, String(run.exit_status)) : "0",
                run.error_output ? el("pre", null, run.error_output) : none("(none)")];
      })];
  }
  function sessionSteps() {
    if (!data.played) return el("p", null, "(no session was played)");
    return el("div", null,
      el("p", null, data.stops.length ? "Notifications answered with a non-zero result: " : "Every notification was answered with 0."),
      data.stops.length ? table(["Point", "Part", "Result"], data.stops.map(([p, n, r]) => [p, n, String(r)])) : "",
      longTable(["#", "Step"], data.steps.length, k => [String(k + 1), stepName(k)]));
  }
  function drawSite() {
    const site = section("site", "Site files and programs");
    site.append(el("h3", null, "Environment of the session"),
      table(["Variable", "Value"], data.env.map(([n, v]) => [n, v == null ? none("(unset)") : v])));
    if (data.mapping) site.append(...mappingFile());
    site.append(...sitePrograms());
    const mappingFiles = data.files.map((f, k) => k).filter(k => data.files[k].kind === "mapping file");
    if (mappingFiles.length) site.append(el("h3", null, "Export log mapping files"), longTable(["Kind", "Path", "What happened", "Contents"], mappingFiles.length, k => fileRow(mappingFiles[k])));
    site.append(el("h3", null, "Host callbacks"),
      table(["Name", "Point", "Calls", "Registered at the end"], data.callbacks.map(c => [c.name, String(c.point), String(c.calls.length), c.registered_at_end ? "yes" : el("span", { class: "sev-error" }, "NO")])));
    if (data.misuse.length) site.append(el("h3", { class: "sev-error" }, "Host misuse by the library"), el("pre", null, data.misuse.join("\n")));
    site.append(el("h3", null, "Steps of the session"), sessionSteps());
  }
  function drawDatabaseAndFiles() {
    const database = section("database", "PDM database changes");
    if (data.item_changes.length) database.append(el("h3", null, "Items that were in the database before the session"),
      longTable(["Field", "Item", "Was \u2192 becomes", ""], data.item_changes.length, itemChangeRow),
      el("h3", null, "Every change, in order"));
    database.append(longTable(["Change", "Item", "Was \u2192 becomes"], data.changes.length, changeRow));
    section("files", "Files").append(longTable(["Kind", "Path", "What happened", "Contents"], data.files.length, fileRow));
  }
  drawTexts();
  drawSite();
  drawDatabaseAndFiles();

  // #part-N and #request-N open one part's story or one request.
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
}
