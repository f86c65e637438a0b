"use strict";
/* The swatch designer: the form describes one swatch; its URL holds only
 * what changes the drawing; the page's address (#/w/h/r/g/b?...) holds the
 * design, so it can be bookmarked, shared and pasted back. */

const SCRIPT = "/cgi-bin/swatch";
const MAX_SIDE = 65535;               // a GIF holds no larger side
const MAX_PIXELS = 64 * 1024 * 1024;  // the program refuses larger swatches
const PREVIEW_BOX = 320;              // the enlarged previews fit this many CSS pixels

const $ = id => document.getElementById(id);
const form = $("design");
const f = form.elements;

/* --- From the form to a swatch URL, and back. --- */

function hexOf(input) { return input.value.replace("#", "").toUpperCase(); }
function rgbOf(input) {
  const v = parseInt(hexOf(input), 16);
  return [(v >> 16) & 255, (v >> 8) & 255, v & 255];
}
function toHexColor(r, g, b) {
  return "#" + [r, g, b].map(c => Math.min(255, Math.max(0, c | 0)).toString(16).padStart(2, "0")).join("");
}
/* A colour from a swatch URL, for the colour picker: hex digits after an
 * optional 0x, the low 24 bits. The program reads the same for six digits
 * or fewer; it also takes a sign, and reads nine or more digits as white. */
function parseHexColor(text) {
  const m = /^\s*(?:0x)?([0-9a-f]+)/i.exec(text || "");
  const v = m ? parseInt(m[1].slice(-6), 16) : 0;
  return toHexColor((v >> 16) & 255, (v >> 8) & 255, v & 255);
}
function intOf(input) { return parseInt(input.value, 10); }

/* The swatch's path and query: only the parameters that change the drawing. */
function describe() {
  const w = intOf(f.width), h = intOf(f.height);
  const kind = f.kind.value;
  const q = new URLSearchParams();
  if (kind !== "flat" && kind !== "symbol") {
    if (kind === "zigzag") q.set("LineType", "ZigZag");
    if (kind === "hatch") q.set("LineType", "Hatch");
    if (f.dash.value !== "") q.set("LineStyle", f.dash.value);
    const lw = intOf(f.lineWidth);
    if (lw > 1) q.set("LineWidth", String(lw));
    if (kind === "band" && !q.has("LineStyle") && !q.has("LineWidth")) q.set("LineWidth", "1");
    if (kind === "hatch") {
      if (f.hatchType.value !== "1") q.set("HatchType", f.hatchType.value);
      const s = intOf(f.spacing);
      if (s >= 1 && s !== 4) q.set("HatchSpacing", String(s));
    }
  }
  if (kind === "symbol") {
    q.set("SymbolId", f.symbol.value);
    if (f.symbolSize.value !== "") q.set("SymbolSize", String(Math.max(0, intOf(f.symbolSize))));
  }
  if (!f.transparent.checked) q.set("BgColor", hexOf(f.bgColor));
  if (f.outline.checked) q.set("Outline", hexOf(f.outlineColor));
  if (f.corners.checked) q.set("Corner", "FF00FF");
  const query = q.toString().replace(/\+/g, "%20");
  return {w, h, path: `/${w}/${h}/${rgbOf(f.color).join("/")}`, query};
}

function absoluteUrl(d) {
  return `${location.origin}${SCRIPT}${d.path}${d.query ? "?" + d.query : ""}`;
}

/* The swatch for screens of 1, 2 and 3 device pixels a CSS pixel, so that
 * what is pasted stays sharp on every screen. */
function srcsetOf(url) {
  const join = url.includes("?") ? "&" : "?";
  return `${url} 1x, ${url}${join}Scale=2 2x, ${url}${join}Scale=3 3x`;
}

/* Fills the form from a swatch URL (absolute or not) or a design address
 * (#/w/h/...); the program's own reading of the request decides. */
function load(text) {
  let path = text.trim(), query = "";
  const hashAt = path.indexOf("#");
  if (hashAt >= 0 && !path.includes(SCRIPT)) path = path.slice(hashAt + 1);
  const scriptAt = path.indexOf(SCRIPT);
  if (scriptAt >= 0) path = path.slice(scriptAt + SCRIPT.length);
  const queryAt = path.indexOf("?");
  if (queryAt >= 0) { query = path.slice(queryAt + 1); path = path.slice(0, queryAt); }
  if (!path.startsWith("/")) return false;
  const fields = path.split("/").filter(p => p !== "").map(p => parseInt(p, 10) || 0);
  const q = new URLSearchParams(query);
  const get = name => { for (const [k, v] of q) if (k.toLowerCase() === name.toLowerCase()) return v; return ""; };

  f.width.value = Math.max(2, fields.length > 0 ? fields[0] : 50);
  f.height.value = Math.max(2, fields.length > 1 ? fields[1] : 50);
  f.color.value = get("Color") ? parseHexColor(get("Color")) : toHexColor(fields[2] || 0, fields[3] || 0, fields[4] || 0);
  const type = get("LineType").toLowerCase();
  const isLine = get("LineStyle") !== "" || get("LineWidth") !== "" || get("LineType") !== "";
  f.kind.value = type === "zigzag" ? "zigzag" : type === "hatch" ? "hatch" : isLine ? "band"
               : parseInt(get("SymbolId"), 10) > 0 ? "symbol" : "flat";
  f.dash.value = get("LineStyle");
  f.lineWidth.value = Math.max(1, parseInt(get("LineWidth"), 10) || 1);
  const ht = parseInt(get("HatchType"), 10);
  f.hatchType.value = ht >= 1 && ht <= 6 ? String(ht) : "1";
  const sp = parseInt(get("HatchSpacing"), 10);
  f.spacing.value = sp >= 1 ? sp : 4;
  const id = parseInt(get("SymbolId"), 10);
  f.symbol.value = id >= 1 && id <= 6 ? String(id) : "1";
  f.symbolSize.value = get("SymbolSize") !== "" ? Math.max(0, parseInt(get("SymbolSize"), 10) || 0) : "";
  f.transparent.checked = get("BgColor") === "";
  if (!f.transparent.checked) f.bgColor.value = parseHexColor(get("BgColor"));
  f.outline.checked = get("Outline") !== "";
  if (f.outline.checked) f.outlineColor.value = parseHexColor(get("Outline"));
  f.corners.checked = get("Corner") !== "";
  return true;
}

/* --- The page follows the form. --- */

function showFieldsForKind() {
  for (const set of form.querySelectorAll("fieldset[data-for]"))
    set.hidden = !set.dataset.for.split(" ").includes(f.kind.value);
  f.bgColor.disabled = f.transparent.checked;
  f.outlineColor.disabled = !f.outline.checked;
}

function setMessage(id, text) { $(id).textContent = text; }

/* Sizes the program would refuse, flagged before any request. */
function sizeProblem(w, h) {
  if (!(w >= 2) || !(h >= 2)) return "Width and height are whole numbers of at least 2 pixels.";
  if (w > MAX_SIDE || h > MAX_SIDE) return `A side is at most ${MAX_SIDE} pixels (the most a GIF holds).`;
  if (w * h > MAX_PIXELS) return `A swatch has at most ${MAX_PIXELS} pixels; ${w} x ${h} is ${w * h}.`;
  return "";
}

let shownObjectUrl = null;
let requestSerial = 0;

/* Fetches the swatch and shows it, or shows the program's error message
 * beside the field at fault. */
async function preview(d) {
  const url = absoluteUrl(d);
  const serial = ++requestSerial;
  let reply;
  try {
    reply = await fetch(url);
  } catch (err) {
    setMessage("general-message", "The swatch server did not answer.");
    return;
  }
  if (serial !== requestSerial) return; // a newer design is on its way
  const type = reply.headers.get("Content-Type") || "";
  if (!reply.ok || !type.startsWith("image/gif")) {
    const text = (await reply.text()).trim();
    const where = /^ERROR 5:/.test(text) ? "size-message" : "general-message";
    setMessage(where, `The swatch program says: ${text}`);
    document.body.dataset.previewState = "error";
    return;
  }
  const blob = await reply.blob();
  if (serial !== requestSerial) return;
  if (shownObjectUrl) URL.revokeObjectURL(shownObjectUrl);
  shownObjectUrl = URL.createObjectURL(blob);
  const scale = Math.max(1, Math.min(8, Math.floor(PREVIEW_BOX / Math.max(d.w, d.h))));
  const enlarged = d.w * scale > PREVIEW_BOX || d.h * scale > PREVIEW_BOX;
  const actual = $("actual");
  actual.src = shownObjectUrl;
  actual.dataset.url = url;
  for (const img of document.querySelectorAll("img.enlarged")) {
    img.src = shownObjectUrl;
    // Past the box, the swatch is shown scaled down to fit.
    const fit = enlarged ? PREVIEW_BOX / Math.max(d.w, d.h) : scale;
    img.width = Math.max(1, Math.round(d.w * fit));
    img.height = Math.max(1, Math.round(d.h * fit));
  }
  $("scale-note").textContent = enlarged ? `Shown scaled down to fit (${d.w} x ${d.h} pixels).`
                                         : `Enlarged ${scale} times.`;
  document.body.dataset.previewState = "shown";
}

let pending = 0;
function update({fromPaste = false} = {}) {
  showFieldsForKind();
  const d = describe();
  const url = absoluteUrl(d);
  $("url").value = url;
  $("tag").value = `<img src="${url}" srcset="${srcsetOf(url)}" width="${d.w}" height="${d.h}" ` +
                   `alt="${escapeHtml(defaultLabel())}">`;
  history.replaceState(null, "", `#${d.path}${d.query ? "?" + d.query : ""}`);
  setMessage("general-message", "");
  setMessage("size-message", "");
  const problem = fromPaste ? "" : sizeProblem(d.w, d.h);
  if (problem) {
    setMessage("size-message", problem);
    document.body.dataset.previewState = "refused";
    ++requestSerial; // whatever was on its way is no longer this design
    return;
  }
  clearTimeout(pending);
  pending = setTimeout(() => preview(d), fromPaste ? 0 : 120);
}

/* --- Copying. --- */

async function copyText(text, what) {
  let done = false;
  try {
    await navigator.clipboard.writeText(text);
    done = true;
  } catch (err) {
    // Without the asynchronous clipboard (plain http), copy from a selection.
    const area = document.createElement("textarea");
    area.value = text;
    area.setAttribute("readonly", "");
    area.style.position = "fixed";
    area.style.opacity = "0";
    document.body.appendChild(area);
    area.select();
    done = document.execCommand("copy");
    area.remove();
  }
  $("copy-status").textContent = done ? `${what} copied.` : `Select the ${what.toLowerCase()} and copy it.`;
}

function escapeHtml(text) {
  return text.replace(/[&<>"]/g, c => ({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;"}[c]));
}

function defaultLabel() {
  const names = {flat: "Area", band: "Line", zigzag: "Zig-zag line", hatch: "Hatched area",
                 symbol: f.symbol.options[f.symbol.selectedIndex].text};
  return names[f.kind.value];
}

/* --- The legend. --- */

const rows = [];

function renderLegend() {
  const list = $("rows");
  list.replaceChildren();
  rows.forEach((row, i) => {
    const item = document.createElement("li");
    const img = document.createElement("img");
    img.src = row.url; img.srcset = srcsetOf(row.url); img.width = row.w; img.height = row.h;
    img.alt = "";
    const label = document.createElement("input");
    label.type = "text"; label.value = row.label;
    label.setAttribute("aria-label", `Label of legend row ${i + 1}`);
    label.addEventListener("input", () => { row.label = label.value; renderPreviewAndSnippet(); });
    const remove = document.createElement("button");
    remove.type = "button"; remove.textContent = "Remove";
    remove.setAttribute("aria-label", `Remove legend row ${i + 1}`);
    remove.addEventListener("click", () => { rows.splice(i, 1); renderLegend(); });
    item.append(img, label, remove);
    list.appendChild(item);
  });
  renderPreviewAndSnippet();
}

function renderPreviewAndSnippet() {
  const legend = $("legend-preview");
  legend.replaceChildren();
  const lines = ['<div class="legend">'];
  for (const row of rows) {
    const entry = document.createElement("div");
    const img = document.createElement("img");
    img.src = row.url; img.srcset = srcsetOf(row.url); img.width = row.w; img.height = row.h;
    img.alt = row.label;
    const text = document.createElement("span");
    text.textContent = row.label;
    entry.append(img, text);
    legend.appendChild(entry);
    const label = escapeHtml(row.label);
    lines.push(`  <div><img src="${escapeHtml(row.url)}" srcset="${escapeHtml(srcsetOf(row.url))}" ` +
               `width="${row.w}" height="${row.h}" alt="${label}"> ${label}</div>`);
  }
  lines.push("</div>");
  $("snippet").value = rows.length ? lines.join("\n") : "";
}

/* --- Wiring. --- */

form.addEventListener("input", () => update());
form.addEventListener("change", () => update());
form.addEventListener("submit", e => e.preventDefault());
$("copy-url").addEventListener("click", () => copyText($("url").value, "URL"));
$("copy-tag").addEventListener("click", () => copyText($("tag").value, "Tag"));
$("copy-snippet").addEventListener("click", () => copyText($("snippet").value, "Snippet"));
$("open").addEventListener("submit", e => {
  e.preventDefault();
  setMessage("paste-message", "");
  if (!load($("paste").value)) {
    setMessage("paste-message", "That is not a swatch URL: it should contain /cgi-bin/swatch/width/height.");
    return;
  }
  update({fromPaste: true});
});
$("add-row").addEventListener("submit", e => {
  e.preventDefault();
  const d = describe();
  if (sizeProblem(d.w, d.h)) return;
  const label = $("row-label").value.trim() || defaultLabel();
  rows.push({url: absoluteUrl(d), w: d.w, h: d.h, label});
  $("row-label").value = "";
  renderLegend();
});
window.addEventListener("hashchange", () => { if (load(location.hash)) update({fromPaste: true}); });

if (location.hash.length > 1) load(location.hash);
renderLegend();
update();
