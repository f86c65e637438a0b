/* The designer's legend: labelled swatches with an optional title,
 * reordered, edited and removed in place, copied as a self-styled HTML
 * snippet or downloaded as a page, and kept in the page's address after
 * the design (!legend=...). */
import {absoluteUrl, MAX_LEGEND_ROWS, parseSwatchUrl, srcsetOf, swatchPath} from "./swatch-url.js";
import {legendPage, legendSnippet} from "./legend/output.js";

const $ = id => document.getElementById(id);

/* The rows, the row being edited, and what the designer gives the legend:
 * the swatch path of the form's design (currentPath), and opening a row's
 * swatch in the form (openPath). */
const legend = {rows: [] /* {swatchPath, w, h, label, scaled} */, editing: -1, downloadUrl: null,
                currentPath: () => "", openPath: () => {},
                /* A legend in the address that could not be read whole stays
                 * there, as it came, until the user changes something. */
                keepAddress: false};

export function initLegend({currentPath, openPath}) {
  legend.currentPath = currentPath;
  legend.openPath = openPath;
  for (const type of ["input", "click"])
    document.addEventListener(type, () => { legend.keepAddress = false; }, {capture: true});
}

/* The legend in the page's address, after the design. */
export function saveAddress() {
  if (legend.keepAddress) return;
  const saved = legend.rows.length || $("legend-title").value
    ? "!legend=" + encodeURIComponent(JSON.stringify({t: $("legend-title").value,
                                                       r: legend.rows.map(r => [r.swatchPath, r.label,
                                                                                ...(r.scaled ? [r.scaled] : [])])}))
    : "";
  history.replaceState(null, "", `#${legend.currentPath()}${saved}`);
}
/* A swatch URL someone else wrote, read as a design and written anew, so
 * that nothing of the text but the design gets into the page; null for
 * text that is no swatch. */
function pathOf(swatch) {
  const parsed = typeof swatch === "string" && parseSwatchUrl(swatch);
  return parsed ? swatchPath(parsed.design) : null;
}

/* A row from a swatch URL someone else wrote (an address, a style import),
 * with the images a style drew of it for denser screens ({2: path, 3: path},
 * where it has them); null for text that is no swatch. */
export function rowOf(swatch, label, scaled) {
  const path = pathOf(swatch);
  if (!path) return null;
  const {design} = parseSwatchUrl(path);
  const dense = Object.fromEntries([2, 3].map(s => [s, pathOf(scaled?.[s])]).filter(([, p]) => p));
  return {swatchPath: path, w: design.w, h: design.h, label: typeof label === "string" ? label : "",
          ...(Object.keys(dense).length ? {scaled: dense} : {})};
}

/* The images for denser screens a style drew of the swatch at path, as
 * whole URLs ({} when no row of the legend has any): the form's design
 * keeps them while it is the row's. */
export function denseUrls(path) {
  const scaled = legend.rows.find(r => r.swatchPath === path && r.scaled)?.scaled ?? {};
  return Object.fromEntries(Object.entries(scaled).map(([s, p]) => [s, absoluteUrl(location.origin, p)]));
}

export function loadLegend(hash) {
  const at = hash.indexOf("!legend=");
  if (at < 0) return;
  const damaged = text => {
    $("legend-message").textContent = text;
    legend.keepAddress = true;
  };
  $("legend-message").textContent = "";
  let data;
  try {
    data = JSON.parse(decodeURIComponent(hash.slice(at + "!legend=".length)));
  } catch (err) {
    damaged("The legend in this address could not be read; it is left in the address as it came.");
    return;
  }
  $("legend-title").value = typeof data.t === "string" ? data.t : "";
  const all = Array.isArray(data.r) ? data.r : [];
  // No more rows than a legend holds, whatever the address carries.
  const given = all.slice(0, MAX_LEGEND_ROWS);
  const left = [];
  legend.rows = [];
  given.forEach((entry, i) => {
    const row = Array.isArray(entry) && rowOf(entry[0], entry[1], entry[2]);
    if (row) legend.rows.push(row);
    else left.push(i + 1);
  });
  const words = [];
  if (all.length > MAX_LEGEND_ROWS)
    words.push(`The legend in this address has ${all.length} rows: the first ${MAX_LEGEND_ROWS} are read.`);
  if (left.length)
    words.push(`Row${left.length > 1 ? "s" : ""} ${left.join(", ")} of the legend in this address ` +
               `${left.length > 1 ? "are" : "is"} no swatch and ${left.length > 1 ? "were" : "was"} left out.`);
  if (words.length) damaged(words.join(" "));
}

/* The rows as the legend's writers take them. */
const written = () => legend.rows.map(r => ({swatch: r.swatchPath, w: r.w, h: r.h, label: r.label,
  ...(r.scaled ? {scaled: Object.fromEntries(Object.entries(r.scaled).map(([s, p]) => [s, {swatch: p}]))} : {})}));

export function renderLegend() {
  const list = $("rows");
  list.replaceChildren();
  // The swatches in one column, as wide as the widest, so the labels line up.
  const column = `${Math.max(...legend.rows.map(r => r.w))}px`;
  legend.rows.forEach((row, i) => {
    const item = document.createElement("li");
    if (i === legend.editing) item.className = "editing";
    const img = document.createElement("img");
    const url = absoluteUrl(location.origin, row.swatchPath);
    // Loaded as the row comes into view: a long legend asks for no more than is seen.
    img.loading = "lazy";
    img.src = url; img.srcset = srcsetOf(url, row.w, row.h, denseUrls(row.swatchPath));
    img.width = row.w; img.height = row.h; img.alt = "";
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
    tool("↓", "Move down", i === legend.rows.length - 1, () => moveRow(i, i + 1));
    tool("Edit", "Edit", false, () => editRow(i));
    tool("✕", "Remove", false, () => removeRow(i));
    const cell = document.createElement("span");
    cell.className = "cell";
    cell.style.width = column;
    cell.appendChild(img);
    item.append(cell, label, tools);
    list.appendChild(item);
  });
  renderPreviewAndSnippet();
}

function moveRow(from, to) {
  const [row] = legend.rows.splice(from, 1);
  legend.rows.splice(to, 0, row);
  if (legend.editing === from) legend.editing = to;
  else if (legend.editing === to) legend.editing = from;
  renderLegend();
  // The moved row keeps the keyboard's focus on its button.
  const buttons = $("rows").children[to].querySelectorAll("button");
  (to < from ? buttons[0] : buttons[1]).focus();
  if (document.activeElement.disabled) buttons[2].focus();
}

/* Focus stays with the rows: on the row's button of that name, or on the
 * label field when no row is left. */
function focusRow(i, name) {
  const button = document.querySelector(`[aria-label='${name} legend row ${i + 1}']`);
  (button || $("row-label")).focus();
}

function removeRow(i) {
  legend.rows.splice(i, 1);
  stopEditing();
  renderLegend();
  focusRow(Math.min(i, legend.rows.length - 1), "Remove");
}

function editRow(i) {
  legend.editing = i;
  legend.openPath(legend.rows[i].swatchPath);
  $("row-label").value = legend.rows[i].label;
  $("add-row-button").textContent = `Update row ${i + 1}`;
  $("cancel-edit").hidden = false;
  renderLegend();
  // The keyboard stays on the row; the eye goes to the design it opened.
  document.querySelector(`[aria-label='Edit legend row ${i + 1}']`).focus({preventScroll: true});
  $("design-heading").scrollIntoView();
}

export function stopEditing() {
  legend.editing = -1;
  $("add-row-button").textContent = "Add to legend";
  $("cancel-edit").hidden = true;
  $("row-label").value = "";
}

/* The program's address the downloaded page links its swatches to: the
 * one the user gives (http or https), else this page's. */
export function programBase() {
  const given = $("program-address").value.trim();
  let ok = given === "";
  try {
    ok = ok || ["http:", "https:"].includes(new URL(given).protocol);
  } catch (err) { /* not an address */ }
  $("program-address-message").textContent = ok ? "" : "The program's address is an http or https URL, " +
    `such as ${absoluteUrl(location.origin, "")}; the page's own is used until then.`;
  return ok && given ? given.replace(/\/+$/, "") : absoluteUrl(location.origin, "");
}

/* The legend as the downloads write it. */
export function legendForExport() {
  return {title: $("legend-title").value.trim(), rows: written()};
}

/* Rows a style import made, after the legend's or in their place. */
export function addRows(rows, {replace = false, title = ""} = {}) {
  if (replace) legend.rows = [];
  legend.rows.push(...rows);
  // The style's title names the legend it makes, not one it joins.
  if (title && (replace || !$("legend-title").value.trim())) $("legend-title").value = title;
  stopEditing();
  renderLegend();
}

export function renderPreviewAndSnippet() {
  const title = $("legend-title").value.trim();
  const base = absoluteUrl(location.origin, "");
  const snippet = legend.rows.length ? legendSnippet(written(), {title, base}) : "";
  // The snippet is the page's own markup: every text in it is escaped.
  const shown = document.createElement("template");
  shown.innerHTML = snippet;
  $("legend-preview").replaceChildren(shown.content);
  $("snippet").value = snippet;
  if (legend.downloadUrl) URL.revokeObjectURL(legend.downloadUrl);
  legend.downloadUrl = URL.createObjectURL(new Blob([legend.rows.length ? legendPage(written(), {title, base: programBase()}) : ""],
                                                    {type: "text/html"}));
  $("download-legend").href = legend.downloadUrl;
  saveAddress();
}

/* Adds the row, or puts it in place of the row being edited. */
export function putRow(row) {
  const edited = legend.editing;
  // A design still a style's row keeps what the style drew for denser screens.
  const scaled = legend.rows.find(r => r.swatchPath === row.swatchPath && r.scaled)?.scaled;
  if (scaled) row = {...row, scaled};
  if (edited >= 0) legend.rows[edited] = row;
  else legend.rows.push(row);
  stopEditing();
  renderLegend();
  if (edited >= 0) focusRow(edited, "Edit");
}
