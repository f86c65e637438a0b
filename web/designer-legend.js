/* The designer's legend: rows as the legend tool writes them (a swatch,
 * those beneath it, the images of denser screens, or a colour ramp; a
 * group), with an optional title and background; reordered, grouped,
 * edited and removed in place, one row or a selection at once; copied as a
 * self-styled HTML snippet or downloaded, and kept in the page's address
 * after the design (!legend=...). */
import {absoluteUrl, MAX_LEGEND_ROWS, typedColor} from "./swatch-url.js";
import {grouped, layerImage, layerPaths, legendPage, legendSnippet} from "./legend/output.js";
import {readRow} from "./legend/rows.js";

const $ = id => document.getElementById(id);

/* The rows, the row being edited, and what the designer gives the legend:
 * the swatch path of the form's design (currentPath), and opening a row's
 * swatch in the form (openPath). */
const legend = {rows: [] /* legend rows, with w and h */, selected: new Set(), lastPicked: -1, editing: -1, downloadUrl: null,
                steps: {read: 0, list: 0, preview: 0}, timers: {preview: null, page: null},
                currentPath: () => "", openPath: () => {},
                /* A legend in the address that could not be read whole stays
                 * there, as it came, until the user changes something. */
                keepAddress: false,
                /* While a long legend in the address is being read (its rows
                 * come in steps), the address is not written. */
                reading: false};

export function initLegend({currentPath, openPath}) {
  legend.currentPath = currentPath;
  legend.openPath = openPath;
  for (const type of ["input", "click"])
    document.addEventListener(type, () => { legend.keepAddress = false; }, {capture: true});
}

/* The legend in the page's address, after the design. */
export function saveAddress() {
  if (legend.keepAddress || legend.reading) return;
  // A plain row as [swatch, label]; one with more as the legend's JSON writes it.
  const entry = ({label, group, swatch, beneath, scaled, ramp}) => (group || beneath || scaled || ramp
    ? {label, ...(group ? {group} : {}), ...(swatch ? {swatch} : {}), ...(beneath ? {beneath} : {}),
       ...(scaled ? {scaled} : {}), ...(ramp ? {ramp} : {})}
    : [swatch, label]);
  const background = backgroundOf();
  const saved = legend.rows.length || $("legend-title").value || background
    ? "!legend=" + encodeURIComponent(JSON.stringify({t: $("legend-title").value, ...(background ? {b: background} : {}),
                                                       r: legend.rows.map(entry)}))
    : "";
  history.replaceState(null, "", `#${legend.currentPath()}${saved}`);
}
/* The largest swatch a legend row takes, per side: past it a swatch is a
 * picture, not a key to one, and costs the server for every view. */
export const MAX_ROW_SIDE = 256;
export const rowTooLarge = ({w, h}) => w > MAX_ROW_SIDE || h > MAX_ROW_SIDE;
const TOO_LARGE = `larger than a legend row takes (${MAX_ROW_SIDE} x ${MAX_ROW_SIDE} pixels)`;

/* A row as someone else wrote it (an address, a style's or a legend's
 * JSON): [swatch, label] or a legend row; null for what is no row. */
const readEntry = entry => readRow(Array.isArray(entry) ? {swatch: entry[0], label: entry[1]} : entry);

/* That row, or null also for a swatch too large for a row (nothing of it
 * is asked of the server). */
export function rowOf(entry) {
  const row = readEntry(entry);
  return row && rowTooLarge(row) ? null : row;
}

/* The legend's background as RRGGBB, or null (white), from its field. */
function backgroundOf() {
  const given = $("legend-background").value.trim();
  const hex = given ? typedColor(given) : null;
  $("legend-background-message").textContent = given && !hex ? "The background is a colour as RRGGBB, e.g. F2F3F0." : "";
  return hex;
}

/* The images for denser screens a style drew of the swatch at path, as
 * whole URLs ({} when no row of the legend has any): the form's design
 * keeps them while it is the row's top swatch. */
export function denseUrls(path) {
  const row = legend.rows.find(r => r.swatch === path && r.scaled);
  return Object.fromEntries([2, 3].filter(s => row?.scaled[s]).map(s => [s, absoluteUrl(location.origin, row.scaled[s].swatch)]));
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
  $("legend-background").value = typeof data.b === "string" ? data.b : "";
  const all = Array.isArray(data.r) ? data.r : [];
  // No more rows than a legend holds, whatever the address carries.
  const given = all.slice(0, MAX_LEGEND_ROWS);
  const left = [], large = [];
  legend.rows = [];
  legend.selected.clear();
  const read = entries => entries.forEach(([entry, i]) => {
    const row = readEntry(entry);
    if (!row) left.push(i + 1);
    else if (rowTooLarge(row)) large.push(i + 1);
    else legend.rows.push(row);
  });
  // A long legend is read in steps, the page answering in between (and its
  // address left as it is meanwhile), and listed once it is read.
  const long = given.length > LONG_LEGEND;
  legend.reading = long;
  if (long) $("legend-message").textContent = `Reading the ${given.length} rows of the legend in this address…`;
  inSteps("read", given.map((entry, i) => [entry, i]), READ_AT_ONCE, read, {later: long, done: () => {
    legend.reading = false;
    $("legend-message").textContent = "";
    sayWhatWasLeft(all.length, left, large, damaged);
    if (long) renderLegend();
  }});
}

/* What of the address's legend was not read, and why. */
function sayWhatWasLeft(count, left, large, damaged) {
  const words = [];
  if (count > MAX_LEGEND_ROWS)
    words.push(`The legend in this address has ${count} rows: the first ${MAX_LEGEND_ROWS} are read.`);
  if (left.length)
    words.push(`Row${left.length > 1 ? "s" : ""} ${left.join(", ")} of the legend in this address ` +
               `${left.length > 1 ? "are" : "is"} no swatch and ${left.length > 1 ? "were" : "was"} left out.`);
  if (large.length)
    words.push(`The swatch${large.length > 1 ? "es" : ""} of row${large.length > 1 ? "s" : ""} ${large.join(", ")} ` +
               `${large.length > 1 ? "are" : "is"} ${TOO_LARGE} and ${large.length > 1 ? "were" : "was"} left out.`);
  if (words.length) damaged(words.join(" "));
}


/* A row's swatches, one over another, or its ramp as a bar. */
function swatchCell(row, column) {
  const cell = document.createElement("span");
  cell.className = "cell";
  cell.style.width = column;
  if (row.ramp) {
    const bar = document.createElement("span");
    bar.className = "ramp";
    bar.style.background = `linear-gradient(to right, ${row.ramp.colors.map(c => `#${c}`).join(", ")})`;
    cell.appendChild(bar);
    return cell;
  }
  const stack = document.createElement("span");
  stack.className = "stack";
  layerPaths(row).forEach((_, i, all) => {
    const img = document.createElement("img");
    // Loaded as the row comes into view: a long legend asks for no more than is seen.
    img.loading = "lazy";
    const image = layerImage(row, i, absoluteUrl(location.origin, ""));
    img.src = image.src; img.srcset = image.srcset;
    img.width = row.w; img.height = row.h; img.alt = "";
    if (i < all.length - 1) img.className = "beneath";
    stack.appendChild(img);
  });
  cell.appendChild(stack);
  return cell;
}

/* A row's checkbox: a click selects it, a shift-click every row from the
 * one picked last. */
function pickBox(i, name) {
  const box = document.createElement("input");
  box.type = "checkbox";
  box.checked = legend.selected.has(legend.rows[i]);
  box.setAttribute("aria-label", name);
  box.addEventListener("click", e => {
    const from = e.shiftKey && legend.lastPicked >= 0 ? Math.min(legend.lastPicked, i) : i;
    const to = e.shiftKey && legend.lastPicked >= 0 ? Math.max(legend.lastPicked, i) : i;
    for (let k = from; k <= to; k++) box.checked ? legend.selected.add(legend.rows[k]) : legend.selected.delete(legend.rows[k]);
    legend.lastPicked = i;
    renderLegend();
    focusOn(`[aria-label='${name}']`);
  });
  return box;
}

/* A group's heading: a box that selects its rows, and its name to edit. */
function groupHeading(group, run) {
  const item = document.createElement("li");
  item.className = "group";
  const box = document.createElement("input");
  box.type = "checkbox";
  box.checked = run.every(r => legend.selected.has(r));
  box.setAttribute("aria-label", `Select group ${group}`);
  box.addEventListener("click", () => {
    for (const r of run) box.checked ? legend.selected.add(r) : legend.selected.delete(r);
    renderLegend();
    focusOn(`[aria-label='Select group ${CSS.escape(group)}']`);
  });
  const name = document.createElement("input");
  name.type = "text"; name.value = group;
  name.setAttribute("aria-label", `Name of group ${group}`);
  // Renamed when the name is changed, for the group's rows here.
  name.addEventListener("change", () => {
    for (const r of run) r.group = name.value.trim() || undefined;
    renderLegend();
  });
  item.append(box, name);
  return item;
}

export function renderLegend() {
  const list = $("rows");
  list.replaceChildren();
  // The swatches in one column, as wide as the widest, so the labels line up.
  const column = `${Math.max(0, ...legend.rows.filter(r => !r.ramp).map(r => r.w))}px`;
  const makers = [];
  let i = 0;
  for (const {group, rows: run} of grouped(legend.rows)) {
    if (group) makers.push(() => groupHeading(group, run));
    for (const row of run) {
      const at = i++;
      makers.push(() => rowItem(row, at, column, Boolean(group)));
    }
  }
  inSteps("list", makers, LISTED_AT_ONCE, some => list.append(...some.map(make => make())));
  renderSelection();
  // Its preview and snippet are made in a task of their own too.
  nowOrLater("preview", renderPreviewAndSnippet);
}

const LONG_LEGEND = 100, READ_AT_ONCE = 100, LISTED_AT_ONCE = 40, PREVIEWED_AT_ONCE = 100;

/* Takes a long legend's items in steps of `size`, a task each (the first
 * in this one, or the next when `later`), the page answering in between,
 * then calls done; a newer run of the same kind ("read", "list",
 * "preview") stops an older one. */
function inSteps(kind, items, size, put, {later = false, done = () => {}} = {}) {
  const run = ++legend.steps[kind];
  const from = start => {
    if (run !== legend.steps[kind]) return;
    put(items.slice(start, start + size));
    if (start + size < items.length) setTimeout(() => from(start + size), 0);
    else done();
  };
  if (later) setTimeout(() => from(0), 0);
  else from(0);
}

/* Runs make now, or for a long legend in a task of its own; a newer call
 * of the same kind ("preview", "page") takes the place of one not yet run. */
function nowOrLater(kind, make) {
  clearTimeout(legend.timers[kind]);
  if (legend.rows.length > LONG_LEGEND) legend.timers[kind] = setTimeout(make, 0);
  else make();
}

function rowItem(row, i, column, inGroup) {
  const item = document.createElement("li");
  item.className = [i === legend.editing ? "editing" : "", inGroup ? "in-group" : ""].join(" ").trim();
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
  tool("Edit", "Edit", Boolean(row.ramp), () => editRow(i));
  tool("✕", "Remove", false, () => removeRow(i));
  item.append(pickBox(i, `Select legend row ${i + 1}`), swatchCell(row, column), label, tools);
  return item;
}

const focusOn = selector => document.querySelector(selector)?.focus();

/* What can be done with the selected rows, shown while there are any. */
function renderSelection() {
  const count = legend.rows.filter(r => legend.selected.has(r)).length;
  $("selection").hidden = count === 0;
  $("selection-count").textContent = `${count} row${count === 1 ? "" : "s"} selected`;
}

/* The buttons for the selected rows; what they do loads when first used. */
export function initSelection() {
  const act = name => async () => (await import("./designer-selection.js"))[name](legend);
  $("move-selected-up").addEventListener("click", act("moveSelectedUp"));
  $("move-selected-down").addEventListener("click", act("moveSelectedDown"));
  $("remove-selected").addEventListener("click", act("removeSelected"));
  $("group-selected").addEventListener("click", act("groupSelected"));
  $("clear-selection").addEventListener("click", () => { legend.selected.clear(); renderLegend(); });
  $("legend-background").addEventListener("input", renderPreviewAndSnippet);
}

function moveRow(from, to) {
  const [row] = legend.rows.splice(from, 1);
  legend.rows.splice(to, 0, row);
  if (legend.editing === from) legend.editing = to;
  else if (legend.editing === to) legend.editing = from;
  renderLegend();
  // The moved row keeps the keyboard's focus on its button.
  const name = to < from ? "Move up" : "Move down";
  const button = document.querySelector(`[aria-label='${name} legend row ${to + 1}']`);
  focusRow(to, button && !button.disabled ? name : "Edit");
}

/* Focus stays with the rows: on the row's button of that name, or on the
 * label field when no row is left. */
function focusRow(i, name) {
  const button = document.querySelector(`[aria-label='${name} legend row ${i + 1}']`);
  (button || $("row-label")).focus();
}

function removeRow(i) {
  legend.selected.delete(legend.rows[i]);
  legend.rows.splice(i, 1);
  stopEditing();
  renderLegend();
  focusRow(Math.min(i, legend.rows.length - 1), "Remove");
}

function editRow(i) {
  legend.editing = i;
  legend.openPath(legend.rows[i].swatch);
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
  return {title: $("legend-title").value.trim(), background: backgroundOf(), rows: legend.rows};
}

/* Rows a style import made, after the legend's or in their place. */
export function addRows(rows, {replace = false, title = "", background = null} = {}) {
  if (replace) {
    legend.rows = [];
    legend.selected.clear();
  }
  if (background && (replace || !$("legend-background").value.trim())) $("legend-background").value = background;
  legend.rows.push(...rows);
  // The style's title names the legend it makes, not one it joins.
  if (title && (replace || !$("legend-title").value.trim())) $("legend-title").value = title;
  stopEditing();
  renderLegend();
}

export function renderPreviewAndSnippet() {
  const title = $("legend-title").value.trim();
  const base = absoluteUrl(location.origin, "");
  const background = backgroundOf();
  const snippet = legend.rows.length ? legendSnippet(legend.rows, {title, base, background}) : "";
  // The snippet is the page's own markup: every text in it is escaped.
  const shown = document.createElement("template");
  shown.innerHTML = snippet;
  // Shown here, a long legend's images load as they come into view, and
  // its rows go in in steps.
  for (const img of shown.content.querySelectorAll("img")) img.loading = "lazy";
  const list = shown.content.querySelector("ul");
  const items = list ? [...list.children] : [];
  list?.replaceChildren();
  $("legend-preview").replaceChildren(shown.content);
  $("snippet").value = snippet;
  if (list) inSteps("preview", items, PREVIEWED_AT_ONCE, some => list.append(...some), {later: items.length > LONG_LEGEND});
  // The page to download and the address: for a long legend, a task later.
  const rest = () => {
    if (legend.downloadUrl) URL.revokeObjectURL(legend.downloadUrl);
    legend.downloadUrl = URL.createObjectURL(new Blob([legend.rows.length ? legendPage(legend.rows, {title, base: programBase(), background}) : ""],
                                                      {type: "text/html"}));
    $("download-legend").href = legend.downloadUrl;
    saveAddress();
  };
  nowOrLater("page", rest);
}

/* Adds the form's swatch as a row, or on top of the row being edited,
 * which keeps its group, what is beneath (of the same size) and its dense
 * images (while the swatch is the same). */
export function putRow(swatch, label) {
  const edited = legend.editing;
  const fresh = readRow({swatch, label});
  if (rowTooLarge(fresh)) {
    $("legend-message").textContent = `This swatch is ${fresh.w} x ${fresh.h} pixels, ${TOO_LARGE}.`;
    return;
  }
  $("legend-message").textContent = "";
  const old = legend.rows[edited];
  let row = fresh;
  if (old) {
    const beneath = old.beneath && old.w === fresh.w && old.h === fresh.h ? old.beneath : undefined;
    row = readRow({...old, swatch, label, beneath, scaled: old.swatch === fresh.swatch ? old.scaled : undefined});
  } else {
    const scaled = legend.rows.find(r => r.swatch === fresh.swatch && !r.beneath && r.scaled)?.scaled;
    if (scaled) row = readRow({swatch, label, scaled});
  }
  if (old) {
    if (legend.selected.delete(old)) legend.selected.add(row);
    legend.rows[edited] = row;
  } else legend.rows.push(row);
  stopEditing();
  renderLegend();
  if (edited >= 0) focusRow(edited, "Edit");
}
