/* The swatch designer: the form describes one swatch; its URL holds only
 * what changes the drawing. The page's address holds the design
 * (#/w/h/r/g/b?...) and the legend after it (!legend=...), so both can be
 * bookmarked, shared and opened again. The URL rules are swatch-url.js's;
 * the preview and the legend have modules of their own. */
import {DEFAULT_SIDE, MAX_SIDE, MIN_SIDE, PARAMETERS, absoluteUrl, dashPattern, hexOf, newDesign,
        parseSwatchUrl, sizeProblem, srcsetOf, swatchPath, typedColor} from "./swatch-url.js";
import {escapeHtml} from "./legend/output.js";
import {clearPreview, layoutPreview, markPending, preview} from "./designer-preview.js";
import {denseUrls, initLegend, initSelection, loadLegend, putRow, renderLegend, renderPreviewAndSnippet,
        saveAddress, stopEditing} from "./designer-legend.js";

const $ = id => document.getElementById(id);
const form = $("design");
const f = form.elements;

/* --- The form and the design it describes. --- */

function rgbOfPicker(input) {
  const v = parseInt(input.value.slice(1), 16);
  return [(v >> 16) & 255, (v >> 8) & 255, v & 255];
}

/* Each colour has a picker and a hex field that follow each other. */
const COLOURS = [["color", "colorHex"], ["bgColor", "bgColorHex"], ["outlineColor", "outlineColorHex"]];
function setColour(picker, rgb) {
  const hex = hexOf(rgb);
  f[picker].value = "#" + hex.toLowerCase();
  f[picker + "Hex"].value = hex;
  unreadable.delete(picker + "Hex");
}

/* A whole number from a field; the program's default when it is empty. */
function intOf(input, fallback) {
  const n = parseInt(input.value, 10);
  return Number.isFinite(n) ? n : fallback;
}

/* A dash array as map libraries write it ("6 3", "6, 3"), in pixels. */
const DASH_ARRAY = /^\s*\d+(?:\.\d+)?(?:\s*[\s,]\s*\d+(?:\.\d+)?)*\s*$/;
const isDashArray = text => DASH_ARRAY.test(text);

/* The pattern the dash field asks for: as typed, or its dash array drawn
 * as the map draws it, with the line's width and ends. */
function dashOfField() {
  const text = f.dash.value;
  if (!isDashArray(text)) return text;
  return dashPattern(text.trim().split(/[\s,]+/).map(Number), intOf(f.lineWidth, 1), f.dashCap.value);
}

/* The form's fields of numbers and choices are named as the design's
 * fields of the swatch URL's parameters; the colours, the dash and the
 * corners have fields of their own. */
const NUMBERS = PARAMETERS.filter(p => p.read === "int");
const CHOICES = PARAMETERS.filter(p => p.read === "keyword");

/* The program's limits and defaults, as the form's own. */
function constrainForm() {
  for (const side of [f.width, f.height]) Object.assign(side, {min: MIN_SIDE, max: MAX_SIDE});
  for (const p of NUMBERS) {
    if (f[p.field].type === "number") Object.assign(f[p.field], {min: p.min, max: p.max ?? ""});
    f[p.field].value = p.initial ?? "";
  }
}

/* The design the form describes. */
function readForm() {
  const design = newDesign({w: intOf(f.width, DEFAULT_SIDE), h: intOf(f.height, DEFAULT_SIDE),
                            kind: f.kind.value});
  for (const p of NUMBERS) design[p.field] = f[p.field].value === "" ? p.initial : intOf(f[p.field], p.initial);
  for (const p of CHOICES) design[p.field] = f[p.field].value;
  return Object.assign(design, {
    color: rgbOfPicker(f.color), dash: dashOfField(),
    background: f.transparent.checked ? null : rgbOfPicker(f.bgColor),
    outline: f.outline.checked ? rgbOfPicker(f.outlineColor) : null,
    corners: f.corners.checked,
  });
}

/* Shows a design in the form; colours left out keep their pickers. */
function writeForm(d) {
  f.width.value = d.w;
  f.height.value = d.h;
  setColour("color", d.color);
  f.kind.value = d.kind;
  f.dash.value = d.dash;
  for (const p of [...NUMBERS, ...CHOICES]) f[p.field].value = d[p.field] ?? "";
  f.transparent.checked = !d.background;
  if (d.background) setColour("bgColor", d.background);
  f.outline.checked = !!d.outline;
  if (d.outline) setColour("outlineColor", d.outline);
  f.corners.checked = d.corners;
}

/* Fills the form from a swatch URL or a design address; the program's own
 * reading of the request decides, and what it draws otherwise than written
 * is said (colours under the colour, the rest in correctionsId). Returns
 * false for text that is no swatch URL. */
function load(text, correctionsId = "general-message") {
  const parsed = parseSwatchUrl(text);
  if (!parsed) return false;
  writeForm(parsed.design);
  setMessage("color-message", parsed.warnings.join(" "));
  if (parsed.corrections.length) setMessage(correctionsId, parsed.corrections.join(" "));
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

/* A message where the eye is: under its field, and scrolled into view. */
function setMessage(id, text) {
  $(id).textContent = text;
  if (text) $(id).scrollIntoView({block: "nearest"});
}

const timer = {pending: 0};
/* Colour fields whose text the page cannot read: while there is one, the
 * design is refused (nothing shown, nothing to copy or add). */
const unreadable = new Set();
function update({fromPaste = false} = {}) {
  clearTimeout(timer.pending);
  showFieldsForKind();
  const d = readForm();
  const url = absoluteUrl(location.origin, swatchPath(d));
  $("url").value = url;
  $("dash-caps").hidden = !isDashArray(f.dash.value);
  $("dash-ruler").textContent = !f.dash.value || $("dash").closest("[hidden]") ? ""
    : !isDashArray(f.dash.value) ? `Pattern: ${f.dash.value.replace(/ /g, "·")}`
    : d.dash ? `Pattern: ${d.dash.replace(/ /g, "·")}`
    : "Pattern: solid (the line's ends close every gap)";
  // A style's row drawn for denser screens from the style's own lengths.
  const dense = denseUrls(swatchPath(d));
  const srcset = srcsetOf(url, d.w, d.h, dense);
  $("tag").value = `<img src="${url}"${srcset ? ` srcset="${srcset}"` : ""} width="${d.w}" ` +
                   `height="${d.h}" alt="${escapeHtml(defaultLabel())}">`;
  saveAddress();
  for (const id of ["general-message", "size-message", "dash-message"]) $(id).textContent = "";
  if ([...unreadable].some(hex => !f[hex].disabled)) {
    clearPreview("refused");
    return;
  }
  const problem = fromPaste ? "" : sizeProblem(d.w, d.h);
  if (problem) {
    setMessage("size-message", problem);
    clearPreview("refused");
    return;
  }
  markPending(url);
  timer.pending = setTimeout(() => preview(d, url, dense[2]), fromPaste ? 0 : 120);
}

/* --- Copying. --- */

/* Copies the text; says so beside the button, for a few seconds. */
const copyTimers = {};
async function copyText(text, what, statusId) {
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
  $(statusId).textContent = done ? `${what} copied.` : `Select the ${what.toLowerCase()} and copy it.`;
  clearTimeout(copyTimers[statusId]);
  copyTimers[statusId] = setTimeout(() => { $(statusId).textContent = ""; }, 4000);
}

function defaultLabel() {
  const names = {flat: "Area", band: "Line", zigzag: "Zig-zag line", hatch: "Hatched area",
                 symbol: f.symbol.options[f.symbol.selectedIndex].text};
  return names[f.kind.value];
}

/* --- Wiring. --- */

for (const [picker, hex] of COLOURS) {
  f[picker].addEventListener("input", () => {
    f[hex].value = hexOf(rgbOfPicker(f[picker]));
    unreadable.delete(hex);
    setMessage("color-message", "");
  });
  f[hex].addEventListener("input", event => {
    event.stopPropagation();  // the design changes only with a whole colour
    const colour = typedColor(f[hex].value);
    setMessage("color-message", colour ? "" : "A colour is six hex digits, RRGGBB (#RRGGBB and 0xRRGGBB are fine).");
    if (colour) {
      unreadable.delete(hex);
      f[picker].value = "#" + colour.toLowerCase();
    } else unreadable.add(hex);
    update();
  });
}
form.addEventListener("input", () => update());
form.addEventListener("change", () => update());
form.addEventListener("submit", e => e.preventDefault());
$("copy-url").addEventListener("click", () => copyText($("url").value, "URL", "copy-url-status"));
$("copy-tag").addEventListener("click", () => copyText($("tag").value, "Tag", "copy-tag-status"));
$("copy-snippet").addEventListener("click", () => copyText($("snippet").value, "Snippet", "copy-snippet-status"));
$("legend-title").addEventListener("input", renderPreviewAndSnippet);
$("program-address").addEventListener("input", renderPreviewAndSnippet);
$("open").addEventListener("submit", e => {
  e.preventDefault();
  setMessage("paste-message", "");
  if (!load($("paste").value, "paste-message")) {
    setMessage("paste-message", "That is not a swatch URL: it should contain /cgi-bin/swatch/width/height.");
    return;
  }
  update({fromPaste: true});
});
$("add-row").addEventListener("submit", e => {
  e.preventDefault();
  const d = readForm();
  if (sizeProblem(d.w, d.h) || $("add-row-button").disabled) return;
  const label = $("row-label").value.trim() || defaultLabel();
  putRow(swatchPath(d), label);
});
/* Importing a style, and the downloads made from the legend: their code
 * loads the first time it is used. */
const importer = () => import("./designer-import.js");
$("style-file").addEventListener("change", async () => {
  const file = $("style-file").files[0];
  if (file) (await importer()).importFile(file);
  $("style-file").value = "";
});
$("import-pasted").addEventListener("click", async () => (await importer()).importText($("style-text").value, ""));
const dropZone = document.querySelector(".legend-builder");
dropZone.addEventListener("dragover", e => {
  if (![...e.dataTransfer.types].includes("Files")) return;
  e.preventDefault();
  dropZone.classList.add("dropping");
});
dropZone.addEventListener("dragleave", () => dropZone.classList.remove("dropping"));
dropZone.addEventListener("drop", async e => {
  dropZone.classList.remove("dropping");
  const file = e.dataTransfer.files[0];
  if (!file) return;
  e.preventDefault();
  (await importer()).importFile(file);
});
for (const kind of ["offline", "svg", "png", "pdf", "json"])
  $(`download-${kind}`).addEventListener("click", async () => (await importer()).download(kind));
$("cancel-edit").addEventListener("click", () => { stopEditing(); renderLegend(); });
window.addEventListener("resize", layoutPreview);
window.addEventListener("hashchange", () => {
  if (location.hash.includes("!legend=")) { loadLegend(location.hash); renderLegend(); }
  if (load(location.hash)) update({fromPaste: true});
});

initLegend({currentPath: () => swatchPath(readForm()),
            openPath: path => { load(path); update({fromPaste: true}); }});
constrainForm();
initSelection();
$("program-address").placeholder = absoluteUrl(location.origin, "");
clearPreview("pending");
if (location.hash.length > 1) { loadLegend(location.hash); load(location.hash); }
renderLegend();
update({fromPaste: location.hash.length > 1});
