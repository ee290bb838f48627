// Writes an import or export scenario of N parts, for measuring the HTML
// report at the sizes a site meets.
//
// node large_scenario.cjs N import|export FILE
"use strict";
const fs = require("fs");

const [count, kind, file] = [Number(process.argv[2]), process.argv[3], process.argv[4]];
if (!(count > 0) || !["import", "export"].includes(kind) || !file) {
  console.error("usage: node large_scenario.cjs N import|export FILE");
  process.exit(2);
}
const pad = n => String(n).padStart(6, "0");
const scene = { description: count + " parts", operation: kind, parts: [], server: { exceptions: { KXPDM_AUTO_PUBLISH_AFTER_IMPORT: "1" } } };
if (kind === "import") {
  scene.defaults = { action: 3, naming: 1, item_type: "Part" };
  scene.numbering = { next_item_number: 1 };
  for (let i = 1; i <= count; ++i)
    scene.parts.push({ name: "/data/incoming/part_" + pad(i) + ".prt",
                       attributes: [["DB_PART_NAME", "Part " + i], ["DB_PART_DESC", "Generated part number " + i]] });
} else {
  scene.defaults = { directory: "/export/large" };
  scene.server.items = [];
  for (let i = 1; i <= count; ++i) {
    const id = "L" + pad(i);
    scene.parts.push({ name: "@DB/" + id + "/A" });
    scene.server.items.push({ item_id: id, name: "Part " + i, description: "Generated part number " + i,
                              revisions: [{ rev_id: "A", native_file: id.toLowerCase() + ".prt" }] });
  }
}
fs.writeFileSync(file, JSON.stringify(scene, null, 1));
