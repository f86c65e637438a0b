/* What a legend costs: the legend command as it is installed (the build's
 * bundle) on styles of 100 rules (SLD, QGIS, MapLibre) to JSON, SVG, PNG,
 * an embedded HTML legend and a PDF on A4 pages in two columns, whole runs (Node's
 * start included) against Node starting and exiting; and the bytes the
 * designer loads at first, now and at a base commit (the style import loads
 * only when used).
 *
 *   node bench/legend.mjs [RUNS] [BASE_COMMIT] */
import {execFileSync, spawnSync} from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";

const root = path.resolve(path.dirname(new URL(import.meta.url).pathname), "..");
const runs = Number(process.argv[2] || 5);
const base = process.argv[3] || "";
const work = fs.mkdtempSync(path.join(os.tmpdir(), "legend-bench-"));

const rules = 100;
const sld = `<StyledLayerDescriptor version="1.0.0" xmlns="http://www.opengis.net/sld"><NamedLayer><Name>n</Name>` +
  `<UserStyle><Title>Bench</Title><FeatureTypeStyle>${Array.from({length: rules}, (_, i) =>
    `<Rule><Title>rule ${i}</Title><LineSymbolizer><Stroke><CssParameter name="stroke">#${(i * 2).toString(16).padStart(2, "0")}0000</CssParameter>` +
    `<CssParameter name="stroke-dasharray">${1 + (i % 7)} 2</CssParameter></Stroke></LineSymbolizer></Rule>`).join("")}` +
  `</FeatureTypeStyle></UserStyle></NamedLayer></StyledLayerDescriptor>`;
const qml = `<!DOCTYPE qgis PUBLIC 'http://mrcc.com/qgis.dtd' 'SYSTEM'><qgis><renderer-v2 type="categorizedSymbol" attr="a"><categories>` +
  Array.from({length: rules}, (_, i) => `<category render="true" symbol="${i}" value="${i}" label="class ${i}"/>`).join("") +
  `</categories><symbols>${Array.from({length: rules}, (_, i) =>
    `<symbol name="${i}" type="fill" alpha="1"><layer class="SimpleFill" enabled="1"><Option type="Map">` +
    `<Option name="color" value="${i},${200 - i},90,255"/><Option name="outline_color" value="0,0,0,255"/></Option></layer></symbol>`).join("")}` +
  `</symbols></renderer-v2><labeling type="simple"/></qgis>`;
const maplibre = JSON.stringify({version: 8, name: "Bench", sources: {}, layers: Array.from({length: rules}, (_, i) =>
  ({id: `layer ${i}`, type: ["fill", "line", "circle"][i % 3],
    paint: {[`${["fill", "line", "circle"][i % 3]}-color`]: `hsl(${i * 3}, 60%, 45%)`}}))});

const styles = {sld, qml, json: maplibre};
for (const [ext, text] of Object.entries(styles)) fs.writeFileSync(path.join(work, `bench.${ext}`), text);

/* The median of RUNS timed runs of a command, in milliseconds. */
function median(args) {
  const times = [];
  for (let i = 0; i < runs; i++) {
    const start = process.hrtime.bigint();
    execFileSync(process.execPath, args, {stdio: ["ignore", "ignore", "inherit"]});
    times.push(Number(process.hrtime.bigint() - start) / 1e6);
  }
  return times.sort((a, b) => a - b)[Math.floor(times.length / 2)];
}

const bundle = path.join(root, "build", "swatch-legend.cjs");
const node = median(["-e", ""]);
console.log(`${os.cpus().length} x ${os.cpus()[0].model}; median of ${runs} runs`);
console.log(`node starting and exiting: ${node.toFixed(0)} ms`);
for (const ext of Object.keys(styles)) {
  const file = path.join(work, `bench.${ext}`);
  const times = ["json", "svg", "png"].map(format => [format, median([bundle, "--format", format, file])]);
  const html = median([bundle, "--format", "html", "--embed", file]);
  const pdf = median([bundle, "--format", "pdf", "--page", "a4", "--columns", "2", file]);
  console.log(`${rules} rules of .${ext}: ` + [...times, ["embedded html", html], ["pdf on A4 in 2 columns", pdf]]
    .map(([what, ms]) => `${what} ${ms.toFixed(0)} ms (${(ms / node).toFixed(1)}x node)`).join(", "));
}

/* Styles of nearly 5 MiB (the most a legend reads) of the shapes that cost
 * the most per byte, each read once to JSON: time and peak memory. */
const MIB5 = 5 * 1024 * 1024 - 4096;
/* head, then pieces of make(i) while the whole stays under 5 MiB, then tail. */
const fill = (make, [head, tail]) => {
  let body = "";
  for (let i = 0, next = make(0); head.length + body.length + next.length + tail.length < MIB5; next = make(++i))
    body += next;
  return head + body + tail;
};
const sldAround = inner => `<StyledLayerDescriptor version="1.0.0" xmlns="http://www.opengis.net/sld"><NamedLayer><Name>n</Name>` +
  `<UserStyle><FeatureTypeStyle>${inner}</FeatureTypeStyle></UserStyle></NamedLayer></StyledLayerDescriptor>`;
const around = (text, hole = "\0") => text.split(hole);
const manyAttributes = n => Array.from({length: n}, (_, i) => `a${i}="vvvvvvvvvvvv"`).join(" ");
const worst = {
  "rules.sld": fill(i => `<Rule><Name>r${i}</Name><PolygonSymbolizer><Fill><CssParameter name="fill">#ff0000</CssParameter>` +
    `</Fill></PolygonSymbolizer></Rule>`, around(sldAround("\0"))),
  "symbolizers.sld": fill(i => `<LineSymbolizer><Stroke><CssParameter name="stroke-width">${1 + (i % 9)}</CssParameter>` +
    `</Stroke></LineSymbolizer>`, around(sldAround("<Rule><Name>one</Name>\0</Rule>"))),
  "attributes.sld": sldAround(`<Rule><LineSymbolizer><Stroke>${Array.from({length: 199}, () =>
    `<CssParameter name="stroke-width" ${manyAttributes(999)}>2</CssParameter>`).join("")}</Stroke></LineSymbolizer></Rule>`),
  "attributes.qml": `<qgis><renderer-v2 type="singleSymbol"><symbols><symbol type="fill" name="0"><layer class="SimpleFill">` +
    `${Array.from({length: 199}, () => `<prop ${manyAttributes(999)}/>`).join("")}<prop k="color" v="255,0,0,255"/>` +
    `</layer></symbol></symbols></renderer-v2></qgis>`,
  "layers.json": fill(i => `${i ? "," : ""}{"id": "l${i}", "type": "line", "paint": {"line-color": ` +
    `"#${(i % 4096).toString(16).padStart(3, "0")}", "line-width": ${1 + (i % 5)}}}`, around(`{"version": 8, "sources": {}, "layers": [\0]}`)),
  "stops.json": fill(i => `,${i},"#${(i % 4096).toString(16).padStart(3, "0")}"`,
    around(`{"version": 8, "sources": {}, "layers": [{"id": "a", "type": "fill", "paint": {"fill-color": ["step", ["get", "v"], "#000"\0]}}]}`)),
  "nesting.json": `{"version": 8, "sources": {}, "layers": [{"id": "a", "type": "fill", "filter": ${"[".repeat(2e6)}${"]".repeat(2e6)}}]}`,
};
for (const [name, text] of Object.entries(worst)) {
  const file = path.join(work, name);
  fs.writeFileSync(file, text);
  const start = process.hrtime.bigint();
  const run = spawnSync("/usr/bin/time", ["-f", "%M", process.execPath, bundle, "--format", "json", "--quiet", file], {encoding: "utf8"});
  const ms = Number(process.hrtime.bigint() - start) / 1e6;
  console.log(`${(text.length / 1048576).toFixed(1)} MiB of ${name}: ${ms.toFixed(0)} ms, ` +
              `${(Number(run.stderr.trim().split("\n").at(-1)) / 1024).toFixed(0)} MB at most` +
              (run.status ? ` (refused: ${run.stderr.split("\n")[0]})` : ""));
}

/* The designer's first load: the page, its style sheet and the modules it
 * imports statically (a dynamic import() loads later). */
function firstLoad(read) {
  const seen = new Set(["designer.html", "designer.css"]);
  const queue = ["designer.js"];
  while (queue.length) {
    const file = queue.shift();
    if (seen.has(file)) continue;
    seen.add(file);
    // Each import's path, relative to the module that imports it.
    for (const m of read(file).matchAll(/^(?:import|export)\s[^;]*?from\s+"(\.{1,2}\/[^"]+)"/gm))
      queue.push(path.posix.normalize(path.posix.join(path.posix.dirname(file), m[1])));
  }
  return [...seen].reduce((sum, f) => sum + Buffer.byteLength(read(f)), 0);
}
const now = firstLoad(f => fs.readFileSync(path.join(root, "web", f), "utf8"));
console.log(`designer's first load: ${now} bytes` + (base
  ? `; at ${base}: ${firstLoad(f => execFileSync("git", ["-C", root, "show", `${base}:web/${f}`], {encoding: "utf8"}))} bytes`
  : ""));
fs.rmSync(work, {recursive: true});
