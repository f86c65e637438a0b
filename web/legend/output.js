/* A legend written out: its JSON, the self-styled HTML snippet the designer
 * copies, a page of its own, and one SVG document for print. Rows are
 *   {label, group, swatch, beneath, scaled, w, h}  swatch (on top) and
 *       beneath (under it, bottom first) are paths and queries after the
 *       program's address, drawn one over another in one box; scaled (where
 *       given) the same for screens of 2 and 3 device pixels a CSS pixel
 *   {label, group, ramp: {min, max, stops, colors}}  a colour bar
 * Consecutive rows of one group are shown under it as a heading. The legend
 * is drawn on its background (white when none) with labels in black or
 * white, whichever reads better on it. Every text of a row is written as
 * text, never as markup. */
import {describeSwatch, parseSwatchUrl, SCRIPT, scaledUrl, scalesOffered} from "../swatch-url.js";

export function escapeHtml(text) {
  return String(text).replace(/[&<>"']/g, c => ({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;"}[c]));
}

/* The version of the legend's JSON, which the legend reader reads back. */
export const LEGEND_VERSION = 1;

/* The legend as JSON: what every output is made from. */
export function legendJson({title, background = null, rows, notes}) {
  const row = ({label, group, swatch, beneath, scaled, ramp, notes: rowNotes = []}) =>
    ({label, ...(group ? {group} : {}), ...(swatch ? {swatch} : {}), ...(beneath ? {beneath} : {}),
      ...(scaled ? {scaled} : {}), ...(ramp ? {ramp} : {}), notes: rowNotes});
  return JSON.stringify({version: LEGEND_VERSION, title, background, rows: rows.map(row), notes}, null, 2) + "\n";
}

const attrs = pairs => pairs.filter(([, v]) => v !== "" && v !== undefined)
  .map(([k, v]) => ` ${k}="${escapeHtml(v)}"`).join("");

/* What the image says it shows, unless its label says it already. */
function altOf(row) {
  const words = describeSwatch(parseSwatchUrl(row.swatch).design);
  return row.label.toLowerCase().includes(words) ? "" : words;
}

/* The layers of a row, bottom first: at 1x, or at a density it has
 * images of its own for (else null). */
export function layerPaths(row, density = 1) {
  const at = density === 1 ? row : row.scaled?.[density];
  return at ? [...(at.beneath ?? []), at.swatch] : null;
}

/* The key of a row's layer among embedded images: its 1x and 2x paths. */
export const imageKey = (row, i) => `${layerPaths(row)[i]} ${layerPaths(row, 2)?.[i] ?? ""}`;

/* A layer's image at base: its 1x swatch and, for denser screens, the
 * row's own image there or else the 1x one enlarged. */
export function layerImage(row, i, base) {
  const url = `${base}${layerPaths(row)[i]}`;
  const at = s => (layerPaths(row, s) ? `${base}${layerPaths(row, s)[i]}` : scaledUrl(url, s));
  const offered = scalesOffered(url, row.w, row.h);
  return {src: url, srcset: offered.length ? [`${url} 1x`, ...offered.map(s => `${at(s)} ${s}x`)].join(", ") : ""};
}

/* The legend's colours: its background and the label colour that reads
 * better on it (by WCAG contrast). */
export function coloursOf(background = null) {
  const luminance = hex => [0, 2, 4].map(i => parseInt(hex.slice(i, i + 2), 16) / 255)
    .map(v => (v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4))
    .reduce((sum, v, i) => sum + v * [0.2126, 0.7152, 0.0722][i], 0);
  const contrast = (a, b) => (Math.max(luminance(a), luminance(b)) + 0.05) / (Math.min(luminance(a), luminance(b)) + 0.05);
  const ground = background ?? "FFFFFF", dark = "222222";
  return {background: `#${background ?? "ffffff"}`,
          text: contrast("FFFFFF", ground) > contrast(dark, ground) ? "#ffffff" : `#${dark}`};
}

/* The width of a ramp's bar, CSS pixels. */
export const RAMP_WIDTH = 160;
const RAMP_HEIGHT = 12;
/* A ramp's tick labels: its stops' own, else their values; at their place
 * along the bar, 0 to 1. At most MAX_TICKS, taken evenly; a label that
 * would run into the one before it (in type of size px) is left out, and
 * the last is always shown. */
const MAX_TICKS = 6;
export function ticksOf({min, max, stops}, size = 12, width = RAMP_WIDTH) {
  const every = stops.map(([v, , tick]) => ({text: tick ?? String(v), at: max > min ? (v - min) / (max - min) : 0}));
  const all = every.length <= MAX_TICKS ? every
    : Array.from({length: MAX_TICKS}, (_, i) => every[Math.round((i * (every.length - 1)) / (MAX_TICKS - 1))]);
  const half = t => textWidth(t.text, false, size) / 2;
  const room = (a, b) => (b.at - a.at) * width >= half(a) + half(b) + 4;
  const kept = [];
  all.forEach((t, i) => {
    if (i === all.length - 1) while (kept.length && !room(kept.at(-1), t)) kept.pop();
    if (!kept.length || room(kept.at(-1), t)) kept.push(t);
  });
  return kept;
}

/* A generous width for a text, with no font to measure it by. */
export const textWidth = (text, bold, size) => Math.ceil([...text].length * size * (bold ? 0.64 : 0.6));

/* Footnote numbers as superscripts: "¹,²". */
export const footnoteMarks = numbers => numbers.map(n => String(n).replace(/\d/g, d => "⁰¹²³⁴⁵⁶⁷⁸⁹"[d])).join(",");

/* Consecutive rows of one group after its heading: [{group, rows}]. */
export function grouped(rows) {
  const runs = [];
  for (const row of rows) {
    if (runs.length && runs.at(-1).group === (row.group ?? "")) runs.at(-1).rows.push(row);
    else runs.push({group: row.group ?? "", rows: [row]});
  }
  return runs;
}

function rampHtml(ramp, text, width) {
  const gradient = ramp.colors.map((c, i) => `#${c} ${((100 * i) / (ramp.colors.length - 1)).toFixed(2)}%`).join(", ");
  const ticks = ticksOf(ramp, 12, width).map(t => `<span style="position:absolute;left:${(100 * t.at).toFixed(2)}%;` +
    `transform:translateX(-50%);white-space:nowrap">${escapeHtml(t.text)}</span>`).join("");
  return `<span style="display:block;margin:2px 0 0 8px">` +
    `<span style="display:block;width:${width}px;height:${RAMP_HEIGHT}px;border:1px solid ${text};` +
    `background:linear-gradient(to right, ${gradient})"></span>` +
    `<span style="position:relative;display:block;width:${width}px;height:1.3em;font-size:12px">${ticks}</span></span>`;
}

/* Each distinct note of the rows numbered in the order they come, and
 * each row's numbers: {footnotes, numbers}. */
export function footnotesOf(rows) {
  const footnotes = [];
  const numbers = rows.map(r => [...new Set(r.notes ?? [])].map(n => {
    if (!footnotes.includes(n)) footnotes.push(n);
    return footnotes.indexOf(n) + 1;
  }));
  return {footnotes, numbers};
}

/* The legend as it is pasted: its own inline styles, so that it looks the
 * same on any page; a list under the title as its heading (headingTag),
 * the swatch column as wide as the widest swatch, labels centred beside
 * the swatches, a line a row, a group's rows indented under it, in
 * `columns` columns. base is the program's whole address; images (a map
 * from a swatch path to {src, srcset}) put the swatches inside the snippet
 * instead; notes adds what the swatches do not show as footnotes. */
export function legendSnippet(rows, {title = "", headingTag = "h2", base = SCRIPT, images = null, background = null,
                                     columns = 1, notes = false, rampWidth = RAMP_WIDTH, font = null,
                                     fontSize = 13} = {}) {
  const colours = coloursOf(background);
  const column = Math.max(0, ...rows.filter(r => r.swatch).map(r => r.w));
  const {footnotes, numbers} = notes ? footnotesOf(rows) : {footnotes: [], numbers: []};
  const lines = [`<div style="display:inline-block;background:${colours.background};color:${colours.text};border:1px solid #999;` +
                 `padding:8px 12px;font:${+fontSize.toFixed(2)}px/1.3 ${font ? `${escapeHtml(font)}, ` : ""}sans-serif">` +
                 (title ? `<${headingTag} style="font-size:1em;font-weight:bold;margin:0 0 6px">` +
                          `${escapeHtml(title)}</${headingTag}>` : "")];
  lines.push(`  <ul style="list-style:none;margin:0;padding:0${columns > 1 ? `;columns:${columns};column-gap:24px` : ""}">`);
  const keep = columns > 1 ? ";break-inside:avoid" : "";
  let at = 0;
  const label = i => escapeHtml(rows[i].label) + (numbers[i]?.length ? `<sup>${numbers[i].join(",")}</sup>` : "");
  // A stack's images all in the one cell of its grid; those beneath the top one unnamed.
  const img = (row, i, count) => {
    const image = images?.get(imageKey(row, i)) ?? layerImage(row, i, base);
    return `<img${attrs([["src", image.src], ["srcset", image.srcset], ["width", row.w], ["height", row.h]])}` +
           ` alt="${i < count - 1 ? "" : escapeHtml(altOf(row))}" style="display:block${count > 1 ? ";grid-area:1 / 1" : ""}">`;
  };
  for (const {group, rows: run} of grouped(rows)) {
    if (group) lines.push(`  <li style="font-weight:bold;margin:8px 0 2px;break-after:avoid">${escapeHtml(group)}</li>`);
    const indent = group ? ";padding-left:12px" : "";
    for (const row of run) {
      const i = at++;
      if (row.ramp) {
        lines.push(`  <li style="margin:4px 0${indent}${keep}">${row.label || numbers[i]?.length ? `<span>${label(i)}</span>` : ""}` +
                   `${rampHtml(row.ramp, colours.text, rampWidth)}</li>`);
        continue;
      }
      const layers = layerPaths(row);
      const swatches = layers.length > 1
        ? `<span style="display:grid">${layers.map((_, i) => img(row, i, layers.length)).join("")}</span>`
        : img(row, 0, 1);
      lines.push(`  <li style="display:flex;align-items:center;gap:8px;margin:4px 0${indent}${keep}">` +
                 `<span style="display:flex;flex:none;width:${column}px;justify-content:center">${swatches}</span>` +
                 `<span style="text-box:trim-both cap alphabetic">${label(i)}</span></li>`);
    }
  }
  lines.push("  </ul>");
  if (footnotes.length)
    lines.push(`  <ol style="margin:8px 0 0;padding-left:1.5em;font-size:12px">` +
               footnotes.map(n => `<li>${escapeHtml(n)}</li>`).join("") + "</ol>");
  lines.push("</div>");
  return lines.join("\n");
}

/* The snippet on a page of its own, its title the page's heading. */
export function legendPage(rows, {title = "", base, images, background = null, columns = 1, notes = false,
                                  rampWidth = RAMP_WIDTH} = {}) {
  const heading = title || "Legend";
  return `<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n` +
    `<meta name="viewport" content="width=device-width, initial-scale=1">\n` +
    `<title>${escapeHtml(heading)}</title>\n</head>\n<body>\n<main>\n` +
    `${legendSnippet(rows, {title: heading, headingTag: "h1", base, images, background, columns, notes, rampWidth})}\n</main>\n</body>\n</html>\n`;
}
