/* The legend of a style document, on standard output:
 *
 *   legend [--format json|html|svg|png|pdf] [--size WxH] [--scale S] [--title TEXT]
 *          [--zoom Z | --scale-denominator N] [--all-scales] [--background RRGGBB]
 *          [--only GLOB] [--skip GLOB] [--max-rows N] [--columns N]
 *          [--page a4|a3|letter] [--landscape] [--margin MM] [--font FAMILY]
 *          [--font-size PT] [--notes] [--base URL] [--embed] [--program PATH]
 *          STYLE_FILE|-
 *
 * Swatches are drawn by the swatch program (no server), one process for the
 * whole legend: the built one, or the one PATH or SWATCH_PROGRAM names. Exits 0
 * with the legend; 1 with one line on standard error and nothing on
 * standard output; 2 for a command line it cannot read. */
import {execFile} from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import os from "node:os";
import {DEFAULT_SWATCH_SIZE, DEFAULT_ZOOM, LegendError, MAX_ROWS, readLegend, rowChooser} from "./legend.js";
import {checkStyleSize, MAX_STYLE_BYTES} from "./error.js";
import {imageKey, layerPaths, legendJson, legendSnippet, RAMP_WIDTH} from "./output.js";
import {legendPages, legendSvg, PAPER, PAPER_FONT_SIZE, printLayerPaths, PX_PER_PT} from "./svg.js";
import {startProgram} from "./program.js";
import {inFormat, SCALES, scaledUrl, sizeProblem, SCRIPT, typedColor} from "../swatch-url.js";

class UsageError extends Error {}

/* The command's name: swatch-legend as installed, legend from the source. */
const NAME = process.env.SWATCH_LEGEND_NAME || "legend";

const USAGE = `usage: ${NAME} [--format json|html|svg|png|pdf] [--size WxH] [--scale S] [--title TEXT] ` +
              "[--zoom Z | --scale-denominator N] [--all-scales] [--background RRGGBB] " +
              "[--only GLOB] [--skip GLOB] [--max-rows N] [--columns N] [--page a4|a3|letter] [--landscape] " +
              "[--margin MM] [--font FAMILY] [--font-size PT] [--ramp-width PX] [--notes] " +
              "[--base URL] [--embed] [--program PATH] [--quiet] STYLE_FILE|-";

const HELP = `${USAGE}

The legend of a style document (SLD, QGIS .qml, MapLibre style, or a legend's
own JSON) on standard output; what its swatches do not show on standard error.

  --format F              json (default), html, svg, png or pdf (png and pdf need rsvg-convert)
  --size WxH              the swatches' box in CSS pixels (default 20x20)
  --scale S               device pixels a CSS pixel of the PNG legend, 1 to 4 (default 2)
  --title TEXT            the legend's title, in place of the style's own
  --zoom Z                the view's zoom, 0 to 24 (default 14)
  --scale-denominator N   the view as a scale, e.g. 25000 (in place of --zoom)
  --all-scales            keep the rules of every scale
  --background RRGGBB     the map's backdrop, which the legend is drawn on
  --only GLOB             keep the rows whose label, group, layer or source-layer
                          matches (* and ?, any case; repeatable)
  --skip GLOB             leave out the rows that match (repeatable)
  --max-rows N            at most N rows, 1 to ${MAX_ROWS} (default ${MAX_ROWS})
  --columns N             the legend in N columns, filled top to bottom (default 1)
  --page P                PDF pages of a4, a3 or letter paper (with --format pdf)
  --landscape             the pages turned sideways
  --margin MM             the pages' margin in millimetres (default 15)
  --font FAMILY           the labels' font family (default DejaVu Sans)
  --font-size PT          the labels' size in points (default 13 px on screen, 10 pt on paper)
  --ramp-width PX         a colour ramp's bar, 40 to 2000 CSS pixels long (default ${RAMP_WIDTH})
  --notes                 what the swatches do not show, as footnotes
  --base URL              the swatch program's address in the HTML (default /cgi-bin/swatch)
  --embed                 the HTML holds its swatches (PNG at 1x and 2x)
  --program PATH          the swatch program that draws (also SWATCH_PROGRAM)
  --quiet                 say nothing of what the swatches do not show
  --help                  this text

Exit status: 0 with the legend; 1 with one line on standard error; 2 for a
command line it cannot read.
`;

class HelpAsked extends Error {}

function parseArguments(argv) {
  const o = {format: "json", size: DEFAULT_SWATCH_SIZE, scale: 2, title: "", zoom: DEFAULT_ZOOM, scaleDenominator: undefined,
             allScales: false, background: null, base: SCRIPT, embed: false, program: process.env.SWATCH_PROGRAM || "",
             quiet: false, file: null, only: [], skip: [], maxRows: MAX_ROWS, columns: 1, page: null, landscape: false,
             margin: 15, font: undefined, fontSize: undefined, notes: false, rampWidth: RAMP_WIDTH};
  const whole = (name, text, from, to) => {
    const n = Number(text);
    if (!Number.isInteger(n) || n < from || n > to) throw new UsageError(`${name} is a whole number from ${from} to ${to}`);
    return n;
  };
  const value = i => {
    if (i >= argv.length) throw new UsageError(`${argv[i - 1]} needs a value`);
    return argv[i];
  };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    if (a === "--format") o.format = value(++i);
    else if (a === "--size") {
      const m = /^(\d+)x(\d+)$/.exec(value(++i));
      if (!m || sizeProblem(+m[1], +m[2])) throw new UsageError(`--size is WxH, e.g. 20x20: ${argv[i]}`);
      o.size = [+m[1], +m[2]];
    } else if (a === "--scale") {
      o.scale = Number(value(++i));
      if (!SCALES.includes(o.scale)) throw new UsageError(`--scale is ${SCALES.join(", ")}`);
    } else if (a === "--zoom") {
      o.zoom = Number(value(++i));
      if (!Number.isFinite(o.zoom) || o.zoom < 0 || o.zoom > 24) throw new UsageError("--zoom is a number from 0 to 24");
    } else if (a === "--scale-denominator") {
      o.scaleDenominator = Number(value(++i).replace(/,/g, ""));
      if (!(o.scaleDenominator >= 1 && o.scaleDenominator < 1e12))
        throw new UsageError("--scale-denominator is a number from 1, e.g. 25000");
    } else if (a === "--background") {
      o.background = typedColor(value(++i));
      if (!o.background) throw new UsageError(`--background is RRGGBB: ${argv[i]}`);
    } else if (a === "--all-scales") o.allScales = true;
    else if (a === "--title") o.title = value(++i);
    else if (a === "--base") o.base = value(++i).replace(/\/$/, "");
    else if (a === "--program") o.program = value(++i);
    else if (a === "--embed") o.embed = true;
    else if (a === "--only") o.only.push(value(++i));
    else if (a === "--skip") o.skip.push(value(++i));
    else if (a === "--max-rows") o.maxRows = whole(a, value(++i), 1, MAX_ROWS);
    else if (a === "--columns") o.columns = whole(a, value(++i), 1, 12);
    else if (a === "--ramp-width") o.rampWidth = whole(a, value(++i), 40, 2000);
    else if (a === "--page") {
      o.page = value(++i).toLowerCase();
      if (!PAPER[o.page]) throw new UsageError(`--page is ${Object.keys(PAPER).join(", ")}`);
    } else if (a === "--landscape") o.landscape = true;
    else if (a === "--margin") {
      o.margin = Number(value(++i));
      if (!(o.margin >= 0 && o.margin <= 100)) throw new UsageError("--margin is millimetres, 0 to 100");
    } else if (a === "--font") {
      o.font = value(++i);
      if (!/^[\w .-]{1,64}$/u.test(o.font)) throw new UsageError("--font is a font family's name, e.g. \"DejaVu Serif\"");
    } else if (a === "--font-size") {
      o.fontSize = Number(value(++i)) * PX_PER_PT;
      if (!(o.fontSize >= 4 * PX_PER_PT && o.fontSize <= 72 * PX_PER_PT)) throw new UsageError("--font-size is points, 4 to 72");
    } else if (a === "--notes") o.notes = true;
    else if (a === "--quiet") o.quiet = true;
    else if (a === "--help" || a === "-h") throw new HelpAsked();
    else if (a.startsWith("--")) throw new UsageError(`unknown option ${a}`);
    else if (o.file !== null) throw new UsageError("one style file at a time");
    else o.file = a;
  }
  if (o.file === null) throw new UsageError(USAGE);
  if (!["json", "html", "svg", "png", "pdf"].includes(o.format)) throw new UsageError(`--format is json, html, svg, png or pdf`);
  if ((o.page || o.landscape) && o.format !== "pdf") throw new UsageError("--page and --landscape lay out PDF pages: add --format pdf");
  return o;
}

/* The style's bytes, from its file or standard input (read as a stream,
 * which waits for input that has not come yet, whatever the descriptor's
 * mode); over the size limit it is refused before it is read whole. */
async function readStyleBytes(file) {
  const chunks = [];
  let total = 0;
  const stream = file === "-" ? process.stdin : fs.createReadStream(file);
  for await (const chunk of stream) {
    total += chunk.length;
    if (total > MAX_STYLE_BYTES) stream.destroy();
    checkStyleSize(total);
    chunks.push(chunk);
  }
  return Buffer.concat(chunks);
}

/* The swatch program: the one named (the installed command names the
 * installed program), else the build's: from the source tree, or beside
 * the built command. */
function programPath(named) {
  const entry = path.dirname(fs.realpathSync(process.argv[1]));
  // The source's web/legend/, or the build folder its bundle is in.
  const built = [path.join(entry, "..", "..", "build", "swatch"), path.join(entry, "swatch")];
  const found = [named, ...built].filter(Boolean).find(p => fs.existsSync(p));
  if (!found) throw new LegendError("the swatch program is not built (scripts/build) and none is installed");
  return found;
}

/* Every swatch, drawn by one process of the program. */
async function drawAll(program, swatchPaths) {
  const worker = await startProgram(program);
  try {
    return await worker.drawAll(swatchPaths);
  } finally {
    worker.stop();
  }
}

/* rsvg-convert, started at once so that it loads while the swatches are
 * drawn: draw(svg) gives the PNG at the scale. */
function startRasteriser(scale) {
  return startConverter(["--format", "png", "--zoom", String(scale)]);
}

function startConverter(args) {
  let child;
  const png = new Promise((resolve, reject) => {
    child = execFile("rsvg-convert", args,
                     {encoding: "buffer", maxBuffer: 256 << 20}, (err, stdout) => {
      if (err) reject(new LegendError(err.code === "ENOENT" ? "rsvg-convert is not installed (Debian: librsvg2-bin)"
                                                            : "rsvg-convert could not draw the legend"));
      else resolve(stdout);
    });
  });
  // A rasteriser that could not start says so when it is asked to draw.
  child.stdin.on("error", () => {});
  png.catch(() => {});
  return {draw: svg => (child.stdin.end(svg), png), stop: () => child.kill()};
}

/* The PDF of SVG pages, one a page, through rsvg-convert (which reads
 * pages from files only): the pages are written to a private folder,
 * removed afterwards. */
async function pdfOf(pages) {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), "legend-"));
  try {
    const files = pages.map((svg, i) => {
      const file = path.join(folder, `page-${String(i + 1).padStart(4, "0")}.svg`);
      fs.writeFileSync(file, svg);
      return file;
    });
    return await startConverter(["--format", "pdf", ...files]).draw("");
  } finally {
    fs.rmSync(folder, {recursive: true, force: true});
  }
}

/* Each layer of every swatch row, bottom first. */
const layersOf = row => (row.ramp ? [] : layerPaths(row));

async function legendOutput(o, legend) {
  if (o.format === "json") return legendJson(legend);
  const rows = legend.rows.map(r => ({...r, w: r.designs?.[0].w, h: r.designs?.[0].h}));
  const program = programPath(o.program);
  // How every format lays the legend out.
  const layout = {title: legend.title, background: legend.background, columns: o.columns, notes: o.notes,
                  rampWidth: o.rampWidth, ...(o.font ? {font: o.font} : {}), ...(o.fontSize ? {fontSize: o.fontSize} : {})};
  if (o.format === "html") {
    let images = null;
    if (o.embed) {
      // Each layer at 1x, and at 2x its own image or the 1x one enlarged.
      const layers = rows.flatMap(r => layersOf(r).map((p, i) => [imageKey(r, i), p, layerPaths(r, 2)?.[i]]));
      const unique = [...new Map(layers.map(l => [l[0], l])).values()];
      const drawn = await drawAll(program, unique.flatMap(([, p, dense]) =>
        [inFormat(p, "png"), dense ? inFormat(dense, "png") : scaledUrl(inFormat(p, "png"), 2)]));
      const data = i => `data:image/png;base64,${drawn[i].toString("base64")}`;
      images = new Map(unique.map(([key], i) => [key, {src: data(2 * i), srcset: `${data(2 * i)} 1x, ${data(2 * i + 1)} 2x`}]));
    }
    return legendSnippet(rows, {...layout, base: o.base, images}) + "\n";
  }
  const rasteriser = o.format === "png" ? startRasteriser(o.scale) : null;
  const printed = rows.map(r => (r.ramp ? [] : printLayerPaths(r)));
  const paths = printed.flat();
  let drawn;
  try {
    drawn = (await drawAll(program, paths.map(p => inFormat(p, "svg")))).map(b => b.toString("utf8"));
  } catch (err) {
    rasteriser?.stop();
    throw err;
  }
  let next = 0;
  const svgs = printed.map(layers => layers.map(() => drawn[next++]));
  if (o.format === "pdf") {
    const paper = o.page && (o.landscape ? [...PAPER[o.page]].reverse() : PAPER[o.page]);
    return pdfOf(paper ? legendPages(rows, svgs, {...layout, paper, margin: o.margin})
                       : [legendSvg(rows, svgs, {fontSize: PAPER_FONT_SIZE, ...layout})]);
  }
  const svg = legendSvg(rows, svgs, layout);
  return rasteriser ? rasteriser.draw(svg) : svg;
}

/* What the swatches do not show, each note once, with the rows it is of:
 * "legend: 3 rows: The icon is not shown." */
function notesInWords(legend) {
  const counts = new Map();
  for (const row of legend.rows) for (const note of new Set(row.notes)) counts.set(note, (counts.get(note) ?? 0) + 1);
  const lines = [...counts].map(([note, n]) => `${NAME}: ${n} row${n > 1 ? "s" : ""}: ${note}\n`);
  return [...lines, ...legend.notes.map(note => `${NAME}: ${note}\n`)].join("");
}

async function main() {
  let o;
  try {
    o = parseArguments(process.argv.slice(2));
  } catch (err) {
    if (err instanceof HelpAsked) {
      process.stdout.write(HELP);
      return 0;
    }
    process.stderr.write(`${NAME}: ${err.message}\n`);
    return 2;
  }
  try {
    const bytes = await readStyleBytes(o.file);
    const legend = await readLegend(bytes, {size: o.size, zoom: o.zoom, scaleDenominator: o.scaleDenominator,
                                            allScales: o.allScales, background: o.background, title: o.title,
                                            choose: rowChooser({only: o.only, skip: o.skip}), maxRows: o.maxRows,
                                            fileName: o.file === "-" ? "" : path.basename(o.file)});
    process.stdout.write(await legendOutput(o, legend));
    if (!o.quiet) process.stderr.write(notesInWords(legend));
    return 0;
  } catch (err) {
    const unreadable = {ENOENT: "no such file", EACCES: "permission denied", EISDIR: "a directory"}[err.code];
    const message = err instanceof LegendError ? err.message
                  : unreadable ? `cannot read ${o.file}: ${unreadable}` : `could not make the legend: ${err.message}`;
    process.stderr.write(`${NAME}: ${message.split("\n")[0]}\n`);
    return 1;
  }
}

main().then(status => { process.exitCode = status; });
