"use strict";
/* The swatch designer: the form describes one swatch; its URL holds only
 * what changes the drawing. The page's address holds the design
 * (#/w/h/r/g/b?...) and the legend after it (!legend=...), so both can be
 * bookmarked, shared and opened again. */

const SCRIPT = "/cgi-bin/swatch";
const MAX_SIDE = 65535;               // a GIF holds no larger side
const MAX_PIXELS = 64 * 1024 * 1024;  // the program refuses larger swatches
const PREVIEW_BOX = 320;              // the enlarged previews fit this many CSS pixels
const DEFAULT_SIDE = 50;              // the program's width and height when none is given

const $ = id => document.getElementById(id);
const form = $("design");
const f = form.elements;

/* --- Colours. --- */

/* The colour the program draws for a colour text: it reads it as a 32-bit
 * strtoul in base 16 reads it (white space, a sign, 0x, hex digits up to
 * the first other character; past 32 bits, all ones; a minus sign negates)
 * and keeps the low 24 bits. */
function programColor(text) {
  const m = /^\s*([+-]?)(?:0[xX](?=[0-9a-fA-F]))?([0-9a-fA-F]*)/.exec(text || "");
  let v = 0;
  if (m && m[2] !== "") {
    const digits = m[2].replace(/^0+/, "");
    v = digits.length > 8 ? 0xFFFFFFFF : parseInt(digits || "0", 16);
    if (m[1] === "-") v = (0x100000000 - v) % 0x100000000;
  }
  return [(v >>> 16) & 255, (v >>> 8) & 255, v & 255];
}
function hexOf(rgb) { return rgb.map(c => c.toString(16).padStart(2, "0")).join("").toUpperCase(); }
function rgbOfPicker(input) {
  const v = parseInt(input.value.slice(1), 16);
  return [(v >> 16) & 255, (v >> 8) & 255, v & 255];
}
/* A colour typed into a hex field: RRGGBB or #RRGGBB, else null. */
function typedColor(text) {
  const m = /^\s*#?([0-9a-fA-F]{6})\s*$/.exec(text);
  return m ? m[1].toUpperCase() : null;
}

/* Each colour has a picker and a hex field that follow each other. */
const COLOURS = [["color", "colorHex"], ["bgColor", "bgColorHex"], ["outlineColor", "outlineColorHex"]];
function setColour(picker, hex) {
  f[picker].value = "#" + hex.toLowerCase();
  f[picker + "Hex"].value = hex;
}

/* --- From the form to a swatch URL, and back. --- */

/* A whole number from a field; the program's default when it is empty. */
function intOf(input, fallback) {
  const n = parseInt(input.value, 10);
  return Number.isFinite(n) ? n : fallback;
}

/* The swatch's path and query: only the parameters that change the drawing. */
function describe() {
  const w = intOf(f.width, DEFAULT_SIDE), h = intOf(f.height, DEFAULT_SIDE);
  const kind = f.kind.value;
  const q = new URLSearchParams();
  if (kind !== "flat" && kind !== "symbol") {
    if (kind === "zigzag") q.set("LineType", "ZigZag");
    if (kind === "hatch") q.set("LineType", "Hatch");
    if (f.dash.value !== "") q.set("LineStyle", f.dash.value);
    const lw = intOf(f.lineWidth, 1);
    if (lw > 1) q.set("LineWidth", String(lw));
    if (kind === "band" && !q.has("LineStyle") && !q.has("LineWidth")) q.set("LineWidth", "1");
    if (kind === "hatch") {
      if (f.hatchType.value !== "1") q.set("HatchType", f.hatchType.value);
      const s = intOf(f.spacing, 4);
      if (s >= 1 && s !== 4) q.set("HatchSpacing", String(s));
    }
  }
  if (kind === "symbol") {
    q.set("SymbolId", f.symbol.value);
    if (f.symbolSize.value !== "") q.set("SymbolSize", String(Math.max(0, intOf(f.symbolSize, 0))));
  }
  // A flat patch covers its background: only the frame is worth saying.
  if (kind !== "flat" && !f.transparent.checked) q.set("BgColor", hexOf(rgbOfPicker(f.bgColor)));
  if (f.outline.checked) q.set("Outline", hexOf(rgbOfPicker(f.outlineColor)));
  if (f.corners.checked) q.set("Corner", "FF00FF");
  if (f.format.value !== "gif") q.set("Format", f.format.value);
  const query = q.toString().replace(/\+/g, "%20");
  return {w, h, path: `/${w}/${h}/${rgbOfPicker(f.color).join("/")}`, query};
}

function designOf(d) { return `${d.path}${d.query ? "?" + d.query : ""}`; }
function absoluteUrl(design) { return `${location.origin}${SCRIPT}${design}`; }

/* The swatch for screens of 1, 2 and 3 device pixels a CSS pixel, so that
 * what is pasted stays sharp on every screen; an SVG is sharp as it is. */
function srcsetOf(url) {
  if (/[?&]Format=svg(&|$)/i.test(url)) return "";
  const join = url.includes("?") ? "&" : "?";
  return `${url} 1x, ${url}${join}Scale=2 2x, ${url}${join}Scale=3 3x`;
}
function scaledUrl(url, scale) { return `${url}${url.includes("?") ? "&" : "?"}Scale=${scale}`; }

/* Fills the form from a swatch URL (absolute or not) or a design address
 * (#/w/h/...); the program's own reading of the request decides. Returns
 * false for text that is no swatch URL. */
function load(text) {
  let path = text.trim(), query = "";
  const hashAt = path.indexOf("#");
  if (hashAt >= 0 && !path.includes(SCRIPT)) path = path.slice(hashAt + 1);
  const legendAt = path.indexOf("!");
  if (legendAt >= 0) path = path.slice(0, legendAt);
  const scriptAt = path.indexOf(SCRIPT);
  if (scriptAt >= 0) path = path.slice(scriptAt + SCRIPT.length);
  const queryAt = path.indexOf("?");
  if (queryAt >= 0) { query = path.slice(queryAt + 1); path = path.slice(0, queryAt); }
  if (!path.startsWith("/")) return false;
  const fields = path.split("/").filter(p => p !== "").map(p => parseInt(p, 10) || 0);
  const q = new URLSearchParams(query);
  const get = name => { for (const [k, v] of q) if (k.toLowerCase() === name.toLowerCase()) return v; return ""; };

  f.width.value = Math.max(2, fields.length > 0 ? fields[0] : DEFAULT_SIDE);
  f.height.value = Math.max(2, fields.length > 1 ? fields[1] : DEFAULT_SIDE);
  const warnings = [];
  // What the program will draw, and a word where it reads a colour other
  // than as it was written.
  const colourFrom = (name, picker) => {
    const text = get(name);
    const drawn = hexOf(programColor(text));
    setColour(picker, drawn);
    if (!/^[0-9a-fA-F]{6}$/.test(text))
      warnings.push(`${name}=${text} is read by the program as ${drawn}; write six hex digits, RRGGBB.`);
  };
  if (get("Color") !== "") colourFrom("Color", "color");
  else setColour("color", hexOf([fields[2] || 0, fields[3] || 0, fields[4] || 0].map(c => c & 255)));
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
  if (!f.transparent.checked) colourFrom("BgColor", "bgColor");
  f.outline.checked = get("Outline") !== "";
  if (f.outline.checked) colourFrom("Outline", "outlineColor");
  f.corners.checked = get("Corner") !== "";
  const format = get("Format").toLowerCase();
  f.format.value = ["png", "svg"].includes(format) ? format : "gif";
  setMessage("color-message", warnings.join(" "));
  return true;
}

/* --- The page follows the form. --- */

function showFieldsForKind() {
  for (const set of form.querySelectorAll("[data-for]"))
    set.hidden = !set.dataset.for.split(" ").includes(f.kind.value);
  // Corner marks take the one see-through colour, so the background is
  // opaque: without a colour of its own, white. The checkbox says so.
  $("transparent-label").textContent = f.corners.checked ? "White background" : "Transparent background";
  $("opaque-note").hidden = !f.corners.checked;
  f.bgColor.disabled = f.bgColorHex.disabled = f.transparent.checked;
  f.outlineColor.disabled = f.outlineColorHex.disabled = !f.outline.checked;
}

function setMessage(id, text) { $(id).textContent = text; }

/* Sizes the program would refuse, flagged before any request. */
function sizeProblem(w, h) {
  if (!(w >= 2) || !(h >= 2)) return "Width and height are whole numbers of at least 2 pixels.";
  if (w > MAX_SIDE || h > MAX_SIDE) return `A side is at most ${MAX_SIDE} pixels (the most a GIF holds).`;
  if (w * h > MAX_PIXELS) return `A swatch has at most ${MAX_PIXELS} pixels; ${w} x ${h} is ${w * h}.`;
  return "";
}

/* What the reader is told of a reply that is no swatch. */
async function replyProblem(reply) {
  if ([413, 414, 431].includes(reply.status))
    return "The request is too long for the web server: shorten the dash pattern.";
  const text = (await reply.text()).trim();
  if (/^ERROR \d+: /.test(text)) return `The swatch program says: ${text}`;
  return `The web server answered ${reply.status} ${reply.statusText}`.trim() + ".";
}

let shownObjectUrls = [];
let requestSerial = 0;
let shown = null;   // the design on show, {d, url}

/* Nothing on show and nothing to copy: the design is refused or broken. */
function clearPreview(state) {
  ++requestSerial; // whatever is on its way is no longer this design
  for (const img of document.querySelectorAll("#actual, img.enlarged")) {
    img.removeAttribute("src");
    img.hidden = true;
  }
  for (const url of shownObjectUrls) URL.revokeObjectURL(url);
  shownObjectUrls = [];
  shown = null;
  $("scale-note").textContent = "";
  for (const id of ["copy-url", "copy-tag", "add-row-button"]) $(id).disabled = true;
  document.body.dataset.previewState = state;
}

/* Sizes the enlarged previews to whole multiples of the swatch that fit
 * the space they have, and says how much they are enlarged. */
function layoutPreview() {
  if (!shown) return;
  const {d} = shown;
  const box = document.querySelector(".backdrops figure .backdrop");
  const room = Math.max(16, Math.min(PREVIEW_BOX, box.parentElement.parentElement.clientWidth - 16));
  const scale = Math.floor(room / Math.max(d.w, d.h));
  const fit = scale >= 1 ? Math.min(8, scale) : room / Math.max(d.w, d.h);
  for (const img of document.querySelectorAll("img.enlarged")) {
    img.width = Math.max(1, Math.round(d.w * fit));
    img.height = Math.max(1, Math.round(d.h * fit));
  }
  $("scale-note").textContent = scale >= 1 ? `Enlarged ${fit} times.`
                                           : `Shown scaled down to fit (${d.w} x ${d.h} pixels).`;
}

async function fetchImage(url, serial) {
  const reply = await fetch(url);
  if (serial !== requestSerial) return null;
  const type = reply.headers.get("Content-Type") || "";
  if (!reply.ok || !type.startsWith("image/")) throw new Error(await replyProblem(reply));
  const blob = await reply.blob();
  return serial === requestSerial ? URL.createObjectURL(blob) : null;
}

/* Fetches the swatch (and its 2x rendering) and shows it, or shows the
 * message of whoever refused it beside the field at fault. */
async function preview(d) {
  const design = designOf(d);
  const url = absoluteUrl(design);
  const serial = ++requestSerial;
  let one, two;
  try {
    one = await fetchImage(url, serial);
    two = one && !/Format=svg/i.test(design) ? await fetchImage(scaledUrl(url, 2), serial) : one;
  } catch (err) {
    if (serial !== requestSerial) return;
    clearPreview("error");
    const text = err instanceof TypeError ? "The swatch server did not answer." : err.message;
    setMessage(/ERROR 5: A swatch of/.test(text) ? "size-message" : "general-message", text);
    return;
  }
  if (!one || !two || serial !== requestSerial) return; // a newer design is on its way
  for (const old of shownObjectUrls) URL.revokeObjectURL(old);
  shownObjectUrls = [one, two];
  shown = {d, url};
  const actual = $("actual");
  actual.src = one;
  actual.dataset.url = url;
  actual.hidden = false;
  for (const img of document.querySelectorAll("img.enlarged")) {
    img.src = img.id === "sharp" ? two : one;
    img.hidden = false;
  }
  layoutPreview();
  for (const id of ["copy-url", "copy-tag", "add-row-button"]) $(id).disabled = false;
  document.body.dataset.previewState = "shown";
}

let pending = 0;
function update({fromPaste = false} = {}) {
  clearTimeout(pending);
  showFieldsForKind();
  const d = describe();
  const design = designOf(d);
  const url = absoluteUrl(design);
  $("url").value = url;
  const srcset = srcsetOf(url);
  $("tag").value = `<img src="${url}"${srcset ? ` srcset="${srcset}"` : ""} width="${d.w}" ` +
                   `height="${d.h}" alt="${escapeHtml(defaultLabel())}">`;
  saveAddress();
  setMessage("general-message", "");
  setMessage("size-message", "");
  const problem = fromPaste ? "" : sizeProblem(d.w, d.h);
  if (problem) {
    setMessage("size-message", problem);
    clearPreview("refused");
    return;
  }
  if (shown && designOf(shown.d) !== design) {
    for (const id of ["copy-url", "copy-tag", "add-row-button"]) $(id).disabled = true;
    document.body.dataset.previewState = "pending";
  }
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

let rows = [];       // {design, w, h, label}
let editing = -1;    // the row whose swatch is open in the designer

/* The legend in the page's address, after the design. */
function saveAddress() {
  const legend = rows.length || $("legend-title").value
    ? "!legend=" + encodeURIComponent(JSON.stringify({t: $("legend-title").value,
                                                       r: rows.map(r => [r.design, r.label])}))
    : "";
  history.replaceState(null, "", `#${designOf(describe())}${legend}`);
}
function loadLegend(hash) {
  const at = hash.indexOf("!legend=");
  if (at < 0) return;
  try {
    const data = JSON.parse(decodeURIComponent(hash.slice(at + "!legend=".length)));
    $("legend-title").value = typeof data.t === "string" ? data.t : "";
    rows = (Array.isArray(data.r) ? data.r : []).filter(r => Array.isArray(r) && typeof r[0] === "string" &&
                                                         r[0].startsWith("/") && typeof r[1] === "string")
      .map(([design, label]) => {
        const [w, h] = design.split("?")[0].split("/").filter(p => p !== "").map(p => parseInt(p, 10) || 0);
        return {design, label, w: Math.max(2, w || DEFAULT_SIDE), h: Math.max(2, h || DEFAULT_SIDE)};
      });
  } catch (err) {
    setMessage("general-message", "The legend in this address could not be read.");
  }
}

/* The legend as it is pasted: its own inline styles, so that it looks the
 * same on any page; the swatch column as wide as the widest swatch, labels
 * centred beside the swatches, rows spaced. */
function legendElement() {
  const box = document.createElement("div");
  box.setAttribute("style", "display:inline-block;background:#fff;color:#222;border:1px solid #999;" +
                   "padding:8px 12px;font:14px/1.3 sans-serif");
  const title = $("legend-title").value.trim();
  if (title) {
    const heading = document.createElement("div");
    heading.setAttribute("style", "font-weight:bold;margin:0 0 6px");
    heading.textContent = title;
    box.appendChild(heading);
  }
  const column = Math.max(0, ...rows.map(r => r.w));
  for (const row of rows) {
    const entry = document.createElement("div");
    entry.setAttribute("style", "display:flex;align-items:center;gap:8px;margin:4px 0");
    const cell = document.createElement("span");
    cell.setAttribute("style", `display:flex;flex:none;width:${column}px;justify-content:center`);
    const img = document.createElement("img");
    const url = absoluteUrl(row.design);
    img.setAttribute("src", url);
    const srcset = srcsetOf(url);
    if (srcset) img.setAttribute("srcset", srcset);
    img.setAttribute("width", row.w);
    img.setAttribute("height", row.h);
    img.setAttribute("alt", "");
    img.setAttribute("style", "display:block");
    cell.appendChild(img);
    const text = document.createElement("span");
    text.textContent = row.label;
    entry.append(cell, text);
    box.appendChild(entry);
  }
  return box;
}

function renderLegend() {
  const list = $("rows");
  list.replaceChildren();
  rows.forEach((row, i) => {
    const item = document.createElement("li");
    if (i === editing) item.className = "editing";
    const img = document.createElement("img");
    const url = absoluteUrl(row.design);
    img.src = url; img.srcset = srcsetOf(url); img.width = row.w; img.height = row.h; img.alt = "";
    const label = document.createElement("input");
    label.type = "text"; label.value = row.label;
    label.setAttribute("aria-label", `Label of legend row ${i + 1}`);
    label.addEventListener("input", () => { row.label = label.value; renderPreviewAndSnippet(); });
    const tools = document.createElement("span");
    tools.className = "tools";
    const tool = (text, name, disabled, action) => {
      const button = document.createElement("button");
      button.type = "button"; button.textContent = text; button.disabled = disabled;
      button.setAttribute("aria-label", `${name} legend row ${i + 1}`);
      button.addEventListener("click", action);
      tools.appendChild(button);
    };
    tool("↑", "Move up", i === 0, () => moveRow(i, i - 1));
    tool("↓", "Move down", i === rows.length - 1, () => moveRow(i, i + 1));
    tool("Edit", "Edit", false, () => editRow(i));
    tool("✕", "Remove", false, () => { rows.splice(i, 1); stopEditing(); renderLegend(); });
    item.append(img, label, tools);
    list.appendChild(item);
  });
  renderPreviewAndSnippet();
}

function moveRow(from, to) {
  const [row] = rows.splice(from, 1);
  rows.splice(to, 0, row);
  if (editing === from) editing = to;
  else if (editing === to) editing = from;
  renderLegend();
  // The moved row keeps the keyboard's focus on its button.
  const buttons = $("rows").children[to].querySelectorAll("button");
  (to < from ? buttons[0] : buttons[1]).focus();
  if (document.activeElement.disabled) buttons[2].focus();
}

function editRow(i) {
  editing = i;
  load(rows[i].design);
  $("row-label").value = rows[i].label;
  $("add-row-button").textContent = `Update row ${i + 1}`;
  $("cancel-edit").hidden = false;
  renderLegend();
  update({fromPaste: true});
  $("design-heading").scrollIntoView();
}

function stopEditing() {
  editing = -1;
  $("add-row-button").textContent = "Add to legend";
  $("cancel-edit").hidden = true;
  $("row-label").value = "";
}

let downloadUrl = null;
function renderPreviewAndSnippet() {
  const legend = legendElement();
  $("legend-preview").replaceChildren(...(rows.length ? [legend] : []));
  const html = rows.length ? legend.outerHTML.replace(/><div/g, ">\n  <div").replace(/<\/div><\/div>$/, "</div>\n</div>")
                           : "";
  $("snippet").value = html;
  if (downloadUrl) URL.revokeObjectURL(downloadUrl);
  const title = escapeHtml($("legend-title").value.trim() || "Legend");
  downloadUrl = URL.createObjectURL(new Blob([
    `<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n` +
    `<meta name="viewport" content="width=device-width, initial-scale=1">\n<title>${title}</title>\n` +
    `</head>\n<body>\n${html}\n</body>\n</html>\n`], {type: "text/html"}));
  $("download-legend").href = downloadUrl;
  saveAddress();
}

/* --- Wiring. --- */

for (const [picker, hex] of COLOURS) {
  f[picker].addEventListener("input", () => { f[hex].value = hexOf(rgbOfPicker(f[picker])); });
  f[hex].addEventListener("input", event => {
    event.stopPropagation();  // the design changes only with a whole colour
    const colour = typedColor(f[hex].value);
    setMessage("color-message", colour ? "" : "A colour is six hex digits, RRGGBB (a # before them is fine).");
    if (colour) { f[picker].value = "#" + colour.toLowerCase(); update(); }
  });
}
form.addEventListener("input", () => update());
form.addEventListener("change", () => update());
form.addEventListener("submit", e => e.preventDefault());
$("copy-url").addEventListener("click", () => copyText($("url").value, "URL"));
$("copy-tag").addEventListener("click", () => copyText($("tag").value, "Tag"));
$("copy-snippet").addEventListener("click", () => copyText($("snippet").value, "Snippet"));
$("legend-title").addEventListener("input", renderPreviewAndSnippet);
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
  if (sizeProblem(d.w, d.h) || $("add-row-button").disabled) return;
  const label = $("row-label").value.trim() || defaultLabel();
  const row = {design: designOf(d), w: d.w, h: d.h, label};
  if (editing >= 0) rows[editing] = row;
  else rows.push(row);
  stopEditing();
  renderLegend();
});
$("cancel-edit").addEventListener("click", () => { stopEditing(); renderLegend(); });
window.addEventListener("resize", layoutPreview);
window.addEventListener("hashchange", () => {
  if (location.hash.includes("!legend=")) { loadLegend(location.hash); renderLegend(); }
  if (load(location.hash)) update({fromPaste: true});
});

clearPreview("pending");
if (location.hash.length > 1) { loadLegend(location.hash); load(location.hash); }
renderLegend();
update({fromPaste: location.hash.length > 1});
