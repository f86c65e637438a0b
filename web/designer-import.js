/* The designer's style import and its downloads of the legend; loaded the
 * first time either is used. A style (or a legend's JSON) is read in a
 * worker (the legend reader and its libraries, bundled by the build), so
 * the page stays responsive; its rows (groups, stacks and ramps) are then
 * read again as the legend's JSON is, their URLs written anew, and every
 * text of the style is shown as text. */
import {absoluteUrl, inFormat, scaledUrl} from "./swatch-url.js";
import {imageKey, layerPaths, legendJson, legendPage} from "./legend/output.js";
import {legendPages, legendSvg, PAPER, printLayerPaths} from "./legend/svg.js";
import {addRows, legendForExport, MAX_ROW_SIDE, rowOf} from "./designer-legend.js";
import {MAX_STYLE_BYTES} from "./legend/error.js";

const $ = id => document.getElementById(id);

const reader = {worker: null, busy: false};

/* The style's legend from the worker: {legend} or {error}. */
function readInWorker(text, fileName) {
  reader.worker ??= new Worker(new URL("./legend-worker.bundle.js", import.meta.url), {type: "module"});
  return new Promise(resolve => {
    reader.worker.onmessage = ({data}) => resolve(data);
    reader.worker.onerror = e => {
      e.preventDefault();
      reader.worker.terminate();
      reader.worker = null;
      resolve({error: "the style reader could not be loaded"});
    };
    reader.worker.postMessage({text, fileName});
  });
}

export async function importFile(file) {
  if (file.size > MAX_STYLE_BYTES) {
    showError(`${file.name} is over ${MAX_STYLE_BYTES / 1024 / 1024} MiB: a style that large is refused.`);
    return;
  }
  // The bytes: the reader decodes them by the encoding the document declares.
  importText(new Uint8Array(await file.arrayBuffer()), file.name);
}

/* A style's text (pasted) or bytes (a file) into the legend. */
export async function importText(text, fileName) {
  if (reader.busy) return;
  if (typeof text === "string" ? !text.trim() : !text.length) {
    showError("Paste a style document first.");
    return;
  }
  reader.busy = true;
  $("import-message").textContent = "";
  $("import-status").textContent = `Reading ${fileName || "the style"}…`;
  const reply = await readInWorker(text, fileName);
  reader.busy = false;
  $("import-status").textContent = "";
  if (reply.error) {
    showError(`The style could not be imported: ${reply.error}.`);
    return;
  }
  const made = reply.legend.rows.map(r => ({row: rowOf(r), notes: (r.notes ?? []).map(String)})).filter(m => m.row);
  const large = reply.legend.rows.length - made.length;
  showReport(made, [...reply.legend.notes.map(String),
                    ...(large ? [`${large} row${large > 1 ? "s" : ""} with a swatch larger than a legend row takes ` +
                                 `(${MAX_ROW_SIDE} x ${MAX_ROW_SIDE} pixels) left out.`] : [])], fileName);
  addRows(made.map(m => m.row), {replace: $("import-replace").checked, title: String(reply.legend.title),
                                 background: typeof reply.legend.background === "string" ? reply.legend.background : null});
}

function showError(text) {
  $("import-report").replaceChildren();
  $("import-message").textContent = text;
  $("import-message").scrollIntoView({block: "nearest"});
}

/* What the import made: each row with what its swatch does not show. */
function showReport(made, notes, fileName) {
  const heading = document.createElement("p");
  heading.textContent = `${fileName || "The pasted style"}: ${made.length} row${made.length === 1 ? "" : "s"} ` +
                        `${$("import-replace").checked ? "in place of the legend's" : "added to the legend"}.`;
  const list = document.createElement("ul");
  list.setAttribute("aria-label", "imported rows");
  for (const {row, notes: rowNotes} of made) {
    const item = document.createElement("li");
    const label = document.createElement("span");
    label.textContent = row.label || "(no label)";
    if (row.ramp) item.append(label);
    else {
      const img = document.createElement("img");
      img.src = absoluteUrl(location.origin, row.swatch);
      img.width = row.w; img.height = row.h; img.alt = "";
      item.append(img, label);
    }
    if (rowNotes.length) {
      const said = document.createElement("p");
      said.className = "notes";
      said.textContent = rowNotes.join(" ");
      item.appendChild(said);
    }
    list.appendChild(item);
  }
  const parts = [heading, list];
  if (notes.length) {
    const general = document.createElement("p");
    general.className = "notes";
    general.textContent = notes.join(" ");
    parts.push(general);
  }
  $("import-report").replaceChildren(...parts);
}

/* --- Downloads of the legend. --- */

/* A swatch from this page's program, in another format, at a scale. */
async function fetchSwatch(path, label, format, scale = 1) {
  const url = absoluteUrl(location.origin, inFormat(path, format));
  const reply = await fetch(scale > 1 ? scaledUrl(url, scale) : url);
  if (!reply.ok) throw new Error(`the program refused the swatch of "${label}" (${reply.status})`);
  return reply.blob();
}

const dataUrl = blob => new Promise(resolve => {
  const r = new FileReader();
  r.onload = () => resolve(r.result);
  r.readAsDataURL(blob);
});

/* The program's SVG of each row's layers, as the SVG writers take them. */
const swatchSvgs = rows => Promise.all(rows.map(row => (row.ramp ? [] : Promise.all(printLayerPaths(row).map(async p =>
  (await fetchSwatch(p, row.label, "svg")).text())))));

const svgDocument = async ({title, background, rows}) => legendSvg(rows, await swatchSvgs(rows), {title, background});

/* An SVG document drawn on a canvas at `density` device pixels a CSS pixel. */
async function drawn(svg, density) {
  const url = URL.createObjectURL(new Blob([svg], {type: "image/svg+xml"}));
  try {
    const img = new Image();
    img.src = url;
    await img.decode();
    const canvas = document.createElement("canvas");
    canvas.width = Math.round(img.naturalWidth * density);
    canvas.height = Math.round(img.naturalHeight * density);
    const context = canvas.getContext("2d");
    context.scale(canvas.width / img.naturalWidth, canvas.height / img.naturalHeight);
    context.drawImage(img, 0, 0);
    return canvas;
  } finally {
    URL.revokeObjectURL(url);
  }
}

/* The legend's PNG, 2 device pixels a CSS pixel. */
const pngOf = async svg => {
  const canvas = await drawn(svg, 2);
  return new Promise(resolve => canvas.toBlob(resolve, "image/png"));
};

/* The PDF's pages are drawn at 288 dpi: sharp in print, and a page's
 * pixels (8 million on A4) still drawn and sent within a moment. */
const PDF_DENSITY = 3;

/* The worker's answer to one message: {error} when it failed or could not load. */
function askWorker(worker, message, transfer = []) {
  return new Promise((resolve, reject) => {
    worker.onmessage = ({data}) => (data.error ? reject(new Error(data.error)) : resolve(data));
    worker.onerror = e => {
      e.preventDefault();
      reject(new Error("the PDF writer could not be loaded"));
    };
    worker.postMessage(message, transfer);
  });
}

/* The legend on pages of the chosen paper, one PDF written by a worker. A
 * page is drawn here (only a document draws SVG) and handed over before the
 * next is drawn, so one page's pixels are held at a time. */
async function pdfOf({title, background, rows}, paper, say) {
  const pages = legendPages(rows, await swatchSvgs(rows), {paper, title, background});
  const worker = new Worker(new URL("./legend-pdf.bundle.js", import.meta.url), {type: "module"});
  try {
    await askWorker(worker, {paper, title});
    for (const [i, page] of pages.entries()) {
      say(`Drawing page ${i + 1} of ${pages.length}…`);
      const bitmap = await createImageBitmap(await drawn(page, PDF_DENSITY));
      await askWorker(worker, {page: bitmap}, [bitmap]);
    }
    return (await askWorker(worker, {end: true})).pdf;
  } finally {
    worker.terminate();
  }
}

const MAKERS = {
  async offline(legend) {
    // Each layer at 1x, and at 2x the row's own image or the 1x one enlarged.
    const layers = legend.rows.filter(r => !r.ramp).flatMap(row => layerPaths(row).map((p, i) => [imageKey(row, i), row, p, i]));
    const images = new Map(await Promise.all([...new Map(layers.map(l => [l[0], l])).values()].map(async ([key, row, p, i]) => {
      const dense = layerPaths(row, 2)?.[i];
      const [one, two] = await Promise.all([fetchSwatch(p, row.label, "png").then(dataUrl),
                                            fetchSwatch(dense ?? p, row.label, "png", dense ? 1 : 2).then(dataUrl)]);
      return [key, {src: one, srcset: `${one} 1x, ${two} 2x`}];
    })));
    return [new Blob([legendPage(legend.rows, {title: legend.title, background: legend.background, images})], {type: "text/html"}),
            "legend-offline.html"];
  },
  async svg(legend) { return [new Blob([await svgDocument(legend)], {type: "image/svg+xml"}), "legend.svg"]; },
  async png(legend) { return [await pngOf(await svgDocument(legend)), "legend.png"]; },
  async pdf(legend, say) {
    const paper = PAPER[$("pdf-paper").value] ?? PAPER.a4;
    return [new Blob([await pdfOf(legend, paper, say)], {type: "application/pdf"}), "legend.pdf"];
  },
  async json({title, background, rows}) {
    // The legend's own JSON, which the command line and this page read back.
    return [new Blob([legendJson({title, background, rows, notes: []})], {type: "application/json"}), "legend.json"];
  },
};

export async function download(kind) {
  const legend = legendForExport();
  const status = $("download-status");
  if (!legend.rows.length) {
    status.textContent = "Add a row to the legend first.";
    return;
  }
  status.textContent = "Preparing the download…";
  try {
    const [blob, name] = await MAKERS[kind](legend, text => { status.textContent = text; });
    const link = document.createElement("a");
    link.href = URL.createObjectURL(blob);
    link.download = name;
    document.body.appendChild(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 60000);
    status.textContent = `${name} downloaded.`;
  } catch (err) {
    status.textContent = `The download failed: ${err.message}.`;
  }
}
