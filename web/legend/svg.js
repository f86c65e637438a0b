/* The legend as SVG, for print: one document (legendSvg), in columns if
 * asked, or pages of a paper size (legendPages), which rsvg-convert turns
 * into a PDF. Each row's swatches are the program's own SVG documents
 * (svgs[i], bottom first), placed in the row's box; ramps are gradient bars
 * with their ticks. Columns are filled top to bottom; a group's heading
 * stays with its first row; labels wider than their column wrap at spaces.
 * Every text is placed by the writer (librsvg ignores dominant-baseline):
 * a label's lines are centred on its swatch's middle. */
import {LegendError} from "./error.js";
import {coloursOf, escapeHtml, footnoteMarks, footnotesOf, grouped, layerPaths, RAMP_WIDTH, textWidth, ticksOf}
  from "./output.js";
import {PRINT_DENSITY} from "./rows.js";
import {sizeProblem} from "../swatch-url.js";

/* The layers the SVG legend draws of a row: its own images at
 * PRINT_DENSITY where they differ from the 1x ones enlarged, else the 1x
 * ones (a vector, the same when enlarged, and crisp at 1x). */
export function printLayerPaths(row) {
  const {w, h} = row.designs[0];
  return (!sizeProblem(w * PRINT_DENSITY, h * PRINT_DENSITY) && layerPaths(row, PRINT_DENSITY)) || layerPaths(row);
}

/* Paper sizes, millimetres. */
export const PAPER = {a4: [210, 297], a3: [297, 420], letter: [215.9, 279.4]};
export const PX_PER_MM = 96 / 25.4;
export const PX_PER_PT = 96 / 72;
/* The type on screen and on paper, CSS pixels. */
export const SCREEN_FONT_SIZE = 13;
export const PAPER_FONT_SIZE = 10 * PX_PER_PT;
const DEFAULT_FONT = "DejaVu Sans";

/* Measures that follow the type size: a line is 1.3 of it; rows 4 px apart,
 * 8 px between swatch and label, a group's rows indented 12 px, columns
 * 24 px apart, a box padded 8 by 12. */
function measuresOf(size, rampWidth = RAMP_WIDTH) {
  return {font: size, rampWidth, line: Math.round(size * 1.3), tick: Math.round(size * 0.86), gap: 8, indent: 12, rowGap: 4,
          columnGap: 24, padX: 12, padY: 8, rampHeight: 12};
}

/* A text as lines of at most room pixels, broken at spaces (a word longer
 * than a line is broken where it must be). */
export function wrap(text, room, size, bold = false) {
  if (!(room < Infinity)) return [text];
  const lines = [];
  let line = "";
  for (const word of text.split(/\s+/).filter(Boolean)) {
    let rest = word;
    while (textWidth(rest, bold, size) > room && rest.length > 1) {
      // A word that fills a line of its own, cut where the line ends.
      if (line) lines.push(line);
      const fits = Math.max(1, Math.floor(room / textWidth("x", bold, size)));
      lines.push(rest.slice(0, fits));
      rest = rest.slice(fits);
      line = "";
    }
    const next = line ? `${line} ${rest}` : rest;
    if (line && textWidth(next, bold, size) > room) {
      lines.push(line);
      line = rest;
    } else line = next;
  }
  if (line || !lines.length) lines.push(line);
  return lines;
}

/* A swatch's SVG document as the program wrote it, placed in the box
 * w x h at x, y (one drawn denser than the box is scaled into it): its ids
 * made its own (prefix), so that swatches that name theirs alike stay
 * apart. */
function placedSwatch(svg, x, y, prefix, w, h) {
  const body = svg.replace(/^[\s\S]*?<svg\b[^>]*>/, "").replace(/<\/svg>\s*$/, "")
    .replace(/\bid="([^"]*)"/g, `id="${prefix}$1"`).replace(/url\(#([^)]*)\)/g, `url(#${prefix}$1)`);
  const [, sw, sh] = /<svg\b[^>]*\bwidth="(\d+)"[^>]*\bheight="(\d+)"/.exec(svg);
  const box = [w ?? sw, h ?? sh];
  const crisp = String(box[0]) === sw ? ` shape-rendering="crispEdges"` : "";
  return `<svg x="${x}" y="${y}" width="${box[0]}" height="${box[1]}" viewBox="0 0 ${sw} ${sh}"${crisp}>${body}</svg>`;
}

/* Lines of text from baseline y on, line apart. */
const textLines = (lines, x, y, m, extra = "") =>
  lines.map((t, k) => `<text x="${x}" y="${(y + k * m.line).toFixed(1)}"${extra}>${escapeHtml(t)}</text>`).join("");

/* A text's first baseline, its lines centred on middle: a line's middle is
 * 0.36 of the type above its baseline. */
const firstBaseline = (middle, count, m) => middle - ((count - 1) * m.line) / 2 + m.font * 0.36;

/* A ramp's bar at x, y and its tick labels under it. */
function rampSvg(ramp, x, y, id, text, m) {
  const stops = ramp.colors.map((c, i) => `<stop offset="${(i / (ramp.colors.length - 1)).toFixed(4)}" stop-color="#${c}"/>`);
  const ticks = ticksOf(ramp, m.tick, m.rampWidth).map(t => {
    const anchor = t.at <= 0.05 ? "start" : t.at >= 0.95 ? "end" : "middle";
    return `<text x="${(x + t.at * m.rampWidth).toFixed(1)}" y="${y + m.rampHeight + 2 + m.tick}" font-size="${m.tick}" ` +
           `text-anchor="${anchor}">${escapeHtml(t.text)}</text>`;
  });
  return `<linearGradient id="${id}">${stops.join("")}</linearGradient>` +
         `<rect x="${x + 0.5}" y="${y + 0.5}" width="${m.rampWidth - 1}" height="${m.rampHeight - 1}" fill="url(#${id})" ` +
         `stroke="${text}"/>${ticks.join("")}`;
}

/* The legend as blocks to lay out, each {h, w, keep (with the next), draw(x, y)}:
 * title, group headings, rows and footnotes. room is a column's width. */
function blocksOf(rows, svgs, {title, m, colours, room, marks, footnotes}) {
  const column = Math.max(0, ...rows.filter(r => r.swatch).map(r => r.w));
  const blocks = [];
  const heading = (text, above, below) => {
    const lines = wrap(text, room, m.font, true);
    blocks.push({h: above + lines.length * m.line + below, w: Math.max(...lines.map(l => textWidth(l, true, m.font))), keep: true,
                 draw: (x, y) => textLines(lines, x, y + above + m.font, m, ` font-weight="bold"`)});
  };
  if (title) heading(title, 0, 6);
  let at = 0;
  for (const {group, rows: run} of grouped(rows)) {
    if (group) heading(group, 8, 2);
    const indent = group ? m.indent : 0;
    for (const row of run) {
      const i = at++;
      const label = row.label + (marks[i] ? ` ${marks[i]}` : "");
      if (row.ramp) {
        const lines = label ? wrap(label, room - indent, m.font) : [];
        const tickRoom = textWidth(ticksOf(row.ramp, m.tick, m.rampWidth).at(-1)?.text ?? "", false, m.tick) / 2;
        blocks.push({h: lines.length * m.line + 2 + m.rampHeight + 4 + m.tick + 2 + 2 * m.rowGap,
                     w: indent + Math.max(m.gap + m.rampWidth + tickRoom, ...lines.map(l => textWidth(l, false, m.font))),
                     draw: (x, y) => textLines(lines, x + indent, y + m.rowGap + m.font, m) +
                       rampSvg(row.ramp, x + indent + m.gap, y + m.rowGap + lines.length * m.line + 2, `ramp${i + 1}`,
                               colours.text, m)});
        continue;
      }
      const lines = wrap(label, room - indent - column - m.gap, m.font);
      const height = Math.max(row.h, lines.length * m.line);
      blocks.push({h: height + m.rowGap, w: indent + column + m.gap + Math.max(...lines.map(l => textWidth(l, false, m.font))),
                   draw: (x, y) => {
                     const sx = x + indent + Math.floor((column - row.w) / 2), sy = y + Math.floor((height - row.h) / 2);
                     const swatches = [svgs[i]].flat().map((svg, k) => placedSwatch(svg, sx, sy, `r${i + 1}-${k + 1}-`, row.w, row.h));
                     return swatches.join("") +
                       textLines(lines, x + indent + column + m.gap, firstBaseline(y + height / 2, lines.length, m), m);
                   }});
    }
  }
  footnotes.forEach((note, k) => {
    const lines = wrap(`${footnoteMarks([k + 1])} ${note}`, room, m.tick);
    const tick = {...m, line: Math.round(m.tick * 1.3)};
    blocks.push({h: lines.length * tick.line + (k ? 0 : m.line / 2), w: Math.max(...lines.map(l => textWidth(l, false, m.tick))),
                 draw: (x, y) => textLines(lines, x, y + (k ? 0 : m.line / 2) + m.tick, tick, ` font-size="${m.tick}"`)});
  });
  return blocks;
}

/* Blocks into columns of at most height (the last column of a document
 * without pages takes the rest), columns into pages of `columns`:
 * [[{block, column, y}]]. A block that ends a column and keeps with the
 * next goes on to the next column with it. */
function flow(blocks, {height, columns, paged}) {
  const pages = [[]];
  let column = 0, y = 0;
  for (const block of blocks) {
    const page = pages.at(-1);
    const lastColumn = !paged && column === columns - 1;
    if (y > 0 && y + block.h > height && !lastColumn) {
      const carried = [];
      while (page.length && page.at(-1).column === column && page.at(-1).block.keep && page.at(-1).y > 0)
        carried.unshift(page.pop().block);
      column++;
      y = 0;
      if (column === columns) {
        pages.push([]);
        column = 0;
      }
      for (const c of carried) {
        pages.at(-1).push({block: c, column, y});
        y += c.h;
      }
    }
    pages.at(-1).push({block, column, y});
    y += block.h;
  }
  return pages;
}

function optionsOf({title = "", background = null, fontSize = SCREEN_FONT_SIZE, font = DEFAULT_FONT, notes = false,
                    rampWidth}, rows) {
  const {footnotes, numbers} = notes ? footnotesOf(rows) : {footnotes: [], numbers: []};
  return {title, m: measuresOf(fontSize, rampWidth), colours: coloursOf(background), family: `${font}, sans-serif`,
          marks: rows.map((_, i) => footnoteMarks(numbers[i] ?? [])), footnotes};
}

const header = (w, h, size, title) => `<?xml version="1.0" encoding="UTF-8"?>\n` +
  `<svg xmlns="http://www.w3.org/2000/svg" version="1.1" width="${size[0]}" height="${size[1]}" viewBox="0 0 ${w} ${h}">\n` +
  `<title>${escapeHtml(title || "Legend")}</title>\n`;

const body = (placed, o, x0, y0, width) => `<g font-family="${escapeHtml(o.family)}" font-size="${o.m.font}" fill="${o.colours.text}">\n` +
  placed.map(p => p.block.draw(x0 + p.column * (width + o.m.columnGap), y0 + p.y)).join("\n") + `\n</g>\n</svg>\n`;

/* One SVG 1.1 document: the legend in a box on its background, in
 * `columns` columns of about equal height. */
export function legendSvg(rows, svgs, options = {}) {
  const o = optionsOf(options, rows);
  const columns = Math.max(1, options.columns ?? 1);
  const blocks = blocksOf(rows, svgs, {...o, room: Infinity});
  const total = blocks.reduce((sum, b) => sum + b.h, 0);
  const [placed] = flow(blocks, {height: Math.max(...blocks.map(b => b.h), Math.ceil(total / columns)), columns, paged: false});
  const width = Math.max(...blocks.map(b => b.w));
  const used = Math.max(...placed.map(p => p.column)) + 1;
  const w = Math.ceil(used * width + (used - 1) * o.m.columnGap + 2 * o.m.padX);
  const h = Math.ceil(Math.max(...placed.map(p => p.y + p.block.h)) + 2 * o.m.padY);
  return header(w, h, [w, h], o.title) +
    `<rect x="0.5" y="0.5" width="${w - 1}" height="${h - 1}" fill="${o.colours.background}" stroke="#999999"/>\n` +
    body(placed, o, o.m.padX, o.m.padY, width);
}

/* The legend on pages of paper ([width, height] in mm) with a margin (mm),
 * in `columns` columns a page: one SVG document a page, in millimetres. */
export function legendPages(rows, svgs, {paper, margin = 15, columns = 1, ...options}) {
  const o = optionsOf({fontSize: PAPER_FONT_SIZE, ...options}, rows);
  const [pw, ph] = paper.map(v => v * PX_PER_MM);
  const inner = pw - 2 * margin * PX_PER_MM;
  const width = (inner - (columns - 1) * o.m.columnGap) / columns;
  if (!(width >= 4 * o.m.font)) throw new LegendError(`the columns are too narrow: ${Math.floor(width / PX_PER_MM)} mm`);
  const blocks = blocksOf(rows, svgs, {...o, room: width});
  const pages = flow(blocks, {height: ph - 2 * margin * PX_PER_MM, columns, paged: true});
  const size = paper.map(v => `${+v.toFixed(2)}mm`);
  return pages.map(placed => header(+pw.toFixed(2), +ph.toFixed(2), size, o.title) +
    `<rect width="100%" height="100%" fill="${o.colours.background}"/>\n` +
    body(placed, o, margin * PX_PER_MM, margin * PX_PER_MM, width));
}
