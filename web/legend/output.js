/* A legend written out: the self-styled HTML snippet the designer copies,
 * a page of its own, and one SVG document for print. Rows are
 * {label, swatch, w, h}: swatch is the path and query after the program's
 * address. Every text of a row is written as text, never as markup. */
import {describeSwatch, parseSwatchUrl, SCRIPT, srcsetOf} from "../swatch-url.js";

export function escapeHtml(text) {
  return String(text).replace(/[&<>"']/g, c => ({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;"}[c]));
}

const attrs = pairs => pairs.filter(([, v]) => v !== "" && v !== undefined)
  .map(([k, v]) => ` ${k}="${escapeHtml(v)}"`).join("");

/* What the image says it shows, unless its label says it already. */
function altOf(row) {
  const words = describeSwatch(parseSwatchUrl(row.swatch).design);
  return row.label.toLowerCase().includes(words) ? "" : words;
}

/* The legend as it is pasted: its own inline styles, so that it looks the
 * same on any page; a list under the title as its heading (headingTag),
 * the swatch column as wide as the widest swatch, labels centred beside
 * the swatches, a line a row. base is the program's whole address; images
 * (a map from a row's swatch to {src, srcset}) put the swatches inside the
 * snippet instead. */
export function legendSnippet(rows, {title = "", headingTag = "h2", base = SCRIPT, images = null} = {}) {
  const column = Math.max(0, ...rows.map(r => r.w));
  const lines = [`<div style="display:inline-block;background:#fff;color:#222;border:1px solid #999;` +
                 `padding:8px 12px;font:14px/1.3 sans-serif">` +
                 (title ? `<${headingTag} style="font-size:1em;font-weight:bold;margin:0 0 6px">` +
                          `${escapeHtml(title)}</${headingTag}>` : "")];
  lines.push(`  <ul style="list-style:none;margin:0;padding:0">`);
  for (const row of rows) {
    const url = `${base}${row.swatch}`;
    const image = images?.get(row.swatch) ?? {src: url, srcset: srcsetOf(url, row.w, row.h)};
    lines.push(`  <li style="display:flex;align-items:center;gap:8px;margin:4px 0">` +
               `<span style="display:flex;flex:none;width:${column}px;justify-content:center">` +
               `<img${attrs([["src", image.src], ["srcset", image.srcset], ["width", row.w], ["height", row.h]])}` +
               ` alt="${escapeHtml(altOf(row))}" style="display:block"></span>` +
               `<span>${escapeHtml(row.label)}</span></li>`);
  }
  lines.push("  </ul>", "</div>");
  return lines.join("\n");
}

/* The snippet on a page of its own, its title the page's heading. */
export function legendPage(rows, {title = "", base, images} = {}) {
  const heading = title || "Legend";
  return `<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n` +
    `<meta name="viewport" content="width=device-width, initial-scale=1">\n` +
    `<title>${escapeHtml(heading)}</title>\n</head>\n<body>\n<main>\n` +
    `${legendSnippet(rows, {title: heading, headingTag: "h1", base, images})}\n</main>\n</body>\n</html>\n`;
}

/* The SVG legend's measures, those of the snippet: 14 px type, rows 4 px
 * apart, 8 px between swatch and label, a box padded 8 by 12. */
const FONT = 14, LINE = Math.round(FONT * 1.3), GAP = 8, PAD_X = 12, PAD_Y = 8, ROW_GAP = 4;
/* A generous width for a text, with no font to measure it by. */
const textWidth = (text, bold) => Math.ceil([...text].length * FONT * (bold ? 0.62 : 0.58));

/* A swatch's SVG document as the program wrote it, placed at x, y: its
 * ids made its own (prefix), so that swatches that name theirs alike
 * stay apart. */
function placedSwatch(svg, x, y, prefix) {
  const body = svg.replace(/^[\s\S]*?<svg\b[^>]*>/, "").replace(/<\/svg>\s*$/, "")
    .replace(/\bid="([^"]*)"/g, `id="${prefix}$1"`).replace(/url\(#([^)]*)\)/g, `url(#${prefix}$1)`);
  const size = /<svg\b[^>]*\bwidth="(\d+)"[^>]*\bheight="(\d+)"/.exec(svg);
  return `<svg x="${x}" y="${y}" width="${size[1]}" height="${size[2]}" viewBox="0 0 ${size[1]} ${size[2]}" ` +
         `shape-rendering="crispEdges">${body}</svg>`;
}

/* One SVG 1.1 document: the title, and each row's swatch (the program's
 * own SVG, svgs[i]) beside its label, as the snippet lays them out. */
export function legendSvg(rows, svgs, {title = ""} = {}) {
  const column = Math.max(0, ...rows.map(r => r.w));
  const parts = [];
  let y = PAD_Y, width = 0;
  if (title) {
    parts.push(`<text x="${PAD_X}" y="${y + FONT}" font-weight="bold">${escapeHtml(title)}</text>`);
    width = textWidth(title, true);
    y += LINE + 6 - ROW_GAP;
  }
  rows.forEach((row, i) => {
    y += ROW_GAP;
    const height = Math.max(row.h, LINE);
    const sx = PAD_X + Math.floor((column - row.w) / 2), sy = y + Math.floor((height - row.h) / 2);
    parts.push(placedSwatch(svgs[i], sx, sy, `r${i + 1}-`));
    parts.push(`<text x="${PAD_X + column + GAP}" y="${y + height / 2}" dominant-baseline="central">` +
               `${escapeHtml(row.label)}</text>`);
    width = Math.max(width, column + GAP + textWidth(row.label, false));
    y += height + ROW_GAP;
  });
  const w = width + 2 * PAD_X, h = y + PAD_Y;
  return `<?xml version="1.0" encoding="UTF-8"?>\n` +
    `<svg xmlns="http://www.w3.org/2000/svg" version="1.1" width="${w}" height="${h}" viewBox="0 0 ${w} ${h}">\n` +
    `<title>${escapeHtml(title || "Legend")}</title>\n` +
    `<rect x="0.5" y="0.5" width="${w - 1}" height="${h - 1}" fill="#ffffff" stroke="#999999"/>\n` +
    `<g font-family="DejaVu Sans, sans-serif" font-size="${FONT}" fill="#222222">\n${parts.join("\n")}\n</g>\n</svg>\n`;
}
