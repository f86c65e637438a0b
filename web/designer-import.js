/* The designer's style import and its downloads of the legend; loaded the
 * first time either is used. A style is read in a worker (the legend
 * reader and its libraries, bundled by the build), so the page stays
 * responsive; its rows are then read as designs and their URLs written
 * anew, and every text of the style is shown as text. */
import {absoluteUrl, inFormat, scaledUrl} from "./swatch-url.js";
import {legendPage} from "./legend/output.js";
import {legendSvg} from "./legend/svg.js";
import {addRows, legendForExport, rowOf} from "./designer-legend.js";
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
  // A row holds one swatch: the top one of a stack, with a word for the rest.
  const beneath = r => (Array.isArray(r.beneath) && r.beneath.length
    ? [`On the map it is drawn over ${r.beneath.length} more swatch${r.beneath.length > 1 ? "es" : ""}: the row holds the top one.`] : []);
  const made = reply.legend.rows.map(r => ({row: rowOf(r.swatch, String(r.label), {2: r.scaled?.[2]?.swatch, 3: r.scaled?.[3]?.swatch}),
                                            notes: [...r.notes.map(String), ...beneath(r)]}))
    .filter(m => m.row);
  const ramps = reply.legend.rows.filter(r => r.ramp).map(r => `"${String(r.label)}" is a colour ramp, which a row cannot hold.`);
  showReport(made, [...reply.legend.notes.map(String), ...ramps], fileName);
  addRows(made.map(m => m.row), {replace: $("import-replace").checked, title: String(reply.legend.title)});
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
    const img = document.createElement("img");
    img.src = absoluteUrl(location.origin, row.swatchPath);
    img.width = row.w; img.height = row.h; img.alt = "";
    const label = document.createElement("span");
    label.textContent = row.label || "(no label)";
    item.append(img, label);
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

/* A row's swatch from this page's program, in another format; at a scale,
 * the image a style drew for it there, else the swatch enlarged. */
async function fetchSwatch(row, format, scale = 1) {
  const own = scale > 1 && row.scaled?.[scale]?.swatch;
  const url = absoluteUrl(location.origin, inFormat(own || row.swatch, format));
  const reply = await fetch(scale > 1 && !own ? scaledUrl(url, scale) : url);
  if (!reply.ok) throw new Error(`the program refused the swatch of "${row.label}" (${reply.status})`);
  return reply.blob();
}

const dataUrl = blob => new Promise(resolve => {
  const r = new FileReader();
  r.onload = () => resolve(r.result);
  r.readAsDataURL(blob);
});

async function svgDocument({title, rows}) {
  const svgs = await Promise.all(rows.map(async row => (await fetchSwatch(row, "svg")).text()));
  return legendSvg(rows, svgs, {title});
}

/* The SVG legend drawn at 2 device pixels a CSS pixel. */
async function pngOf(svg) {
  const url = URL.createObjectURL(new Blob([svg], {type: "image/svg+xml"}));
  try {
    const img = new Image();
    img.src = url;
    await img.decode();
    const canvas = document.createElement("canvas");
    canvas.width = img.naturalWidth * 2;
    canvas.height = img.naturalHeight * 2;
    const context = canvas.getContext("2d");
    context.scale(2, 2);
    context.drawImage(img, 0, 0);
    return await new Promise(resolve => canvas.toBlob(resolve, "image/png"));
  } finally {
    URL.revokeObjectURL(url);
  }
}

const MAKERS = {
  async offline(legend) {
    const images = new Map(await Promise.all(legend.rows.map(async row => {
      const [one, two] = await Promise.all([fetchSwatch(row, "png").then(dataUrl), fetchSwatch(row, "png", 2).then(dataUrl)]);
      return [row.swatch, {src: one, srcset: `${one} 1x, ${two} 2x`}];
    })));
    return [new Blob([legendPage(legend.rows, {title: legend.title, images})], {type: "text/html"}), "legend-offline.html"];
  },
  async svg(legend) { return [new Blob([await svgDocument(legend)], {type: "image/svg+xml"}), "legend.svg"]; },
  async png(legend) { return [await pngOf(await svgDocument(legend)), "legend.png"]; },
  async json({title, rows}) {
    // The legend's own JSON, which the command line and this page read back.
    const text = JSON.stringify({version: 1, title, rows: rows.map(({label, swatch, scaled}) => ({label, swatch, ...(scaled ? {scaled} : {})}))},
                                null, 2) + "\n";
    return [new Blob([text], {type: "application/json"}), "legend.json"];
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
    const [blob, name] = await MAKERS[kind](legend);
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
