/* The swatch of one legend row: from the symbolizers of a rule, as GeoStyler's
 * style model writes them (kind Fill, Line, Mark; colours, widths and sizes
 * in pixels), to a design of swatch-url.js and the notes that say what the
 * swatch does not show. The style readers put every language into that
 * model; what a language does differently travels in the style's options:
 *   dashUnit "px" | "width"  the unit of a line's dash array
 *   defaultCap               the cap of a line that gives none */
import {Color} from "@maplibre/maplibre-gl-style-spec";
import {dashPattern, newDesign, roundHalfUp} from "../swatch-url.js";

/* A colour as the style languages write it: #RRGGBB, #RGB, 0xRRGGBB, a
 * number, rgb()/rgba(), hsl()/hsla() or a CSS name. Returns
 * {rgb: [r, g, b], alpha} or null for text that is no colour. */
export function colorOf(value) {
  if (typeof value === "number" && Number.isFinite(value)) {
    const v = Math.trunc(value) & 0xFFFFFF;
    return {rgb: [(v >> 16) & 255, (v >> 8) & 255, v & 255], alpha: 1};
  }
  if (typeof value !== "string") return null;
  const hex = /^\s*0x([0-9a-f]{6})\s*$/i.exec(value);
  if (hex) return colorOf(parseInt(hex[1], 16));
  const c = Color.parse(value.trim());
  if (!c) return null;
  // The library keeps its colours multiplied by their alpha.
  const a = c.a;
  const channel = v => Math.min(255, Math.max(0, roundHalfUp(a > 0 ? (v / a) * 255 : 0)));
  return {rgb: [channel(c.r), channel(c.g), channel(c.b)], alpha: a};
}

/* A colour with its opacities, drawn over white: null when it is not
 * there at all (opacity 0). Says so in notes when it is see-through. */
function paint(value, opacities, what, notes) {
  const c = colorOf(value);
  if (!c) {
    if (value !== undefined) notes.push(`The ${what} colour ${JSON.stringify(value)} is not a colour: drawn black.`);
    return value === undefined ? null : [0, 0, 0];
  }
  const a = opacities.reduce((product, o) => product * (typeof o === "number" ? o : 1), c.alpha);
  if (!(a > 0)) return null;
  if (a >= 1) return c.rgb;
  notes.push(`The ${what} is ${Math.round(a * 100)}% opaque: drawn as it looks over white.`);
  return c.rgb.map(v => roundHalfUp(v * a + 255 * (1 - a)));
}

const number = v => (typeof v === "number" && Number.isFinite(v) ? v : undefined);

const HATCHES = {"shape://slash": 1, "shape://backslash": 2, "shape://horline": 3,
                 "shape://vertline": 4, "shape://times": 5, "shape://plus": 6};
const DRAWN = ["Fill", "Line", "Mark"];
const UNSHOWN = {Text: "Labels are not shown.", Icon: "The icon is not shown.", Raster: "The raster is not shown."};
const MARKS = {square: 1, triangle: 3, cross: 4, plus: 4, star: 5, circle: 6};

/* The design and notes of a rule's symbolizers, or null when none of them
 * draws: a fill if there is one, else a line, else a mark; of that kind
 * the last, which is drawn on top. */
export function swatchOf(symbolizers, {w, h, dashUnit = "px", defaultCap = "butt"}) {
  const notes = [];
  const of = kind => symbolizers.filter(s => s && s.kind === kind);
  const [fills, lines, marks] = DRAWN.map(of);
  for (const s of symbolizers)
    if (s && !DRAWN.includes(s.kind)) notes.push(UNSHOWN[s.kind] ?? `A ${s.kind} symbolizer is not shown.`);
  const base = newDesign({w, h});
  let design;
  if (fills.length) design = fillDesign(fills.at(-1), lines.at(-1), base, notes);
  else if (lines.length) design = lineDesign(lines, base, notes, {dashUnit, defaultCap});
  else if (marks.length) design = markDesign(marks.at(-1), base, notes);
  else return null;
  if (fills.length > 1 || (fills.length && marks.length)) notes.push("Only the top fill is shown.");
  return {design, notes};
}

function fillDesign(fill, line, base, notes) {
  const outline = fill.outlineColor !== undefined
    ? paint(fill.outlineColor, [fill.outlineOpacity], "outline", notes)
    : line ? paint(line.color, [line.opacity], "outline", notes) : null;
  const own = paint(fill.color, [fill.fillOpacity, fill.opacity], "fill", notes);
  const mark = fill.graphicFill;
  if (mark && mark.kind === "Mark" && HATCHES[mark.wellKnownName]) {
    const lineWidth = Math.max(1, roundHalfUp(number(mark.strokeWidth) ?? 1));
    const size = roundHalfUp(2 * (number(mark.radius) ?? 8));
    const ink = paint(mark.strokeColor, [mark.strokeOpacity], "hatch", notes)
             ?? paint(mark.color, [mark.fillOpacity], "hatch", notes) ?? [0, 0, 0];
    if (mark.note) notes.push(mark.note);
    return {...base, kind: "hatch", color: ink, hatchType: HATCHES[mark.wellKnownName], lineWidth,
            spacing: Math.max(1, size - lineWidth), background: own, outline};
  }
  if (mark) {
    notes.push(`The pattern fill${mark.wellKnownName ? ` (${mark.wellKnownName})` : ""} is drawn as a flat colour.`);
    const flat = paint(mark.color ?? mark.strokeColor, [mark.fillOpacity, mark.opacity], "pattern", notes);
    return {...base, color: flat ?? own ?? [128, 128, 128], outline};
  }
  if (!own) {
    notes.push("The area is not filled: drawn white.");
    return {...base, color: [255, 255, 255], outline: outline ?? [0, 0, 0]};
  }
  return {...base, color: own, outline};
}

function lineDesign(lines, base, notes, {dashUnit, defaultCap}) {
  const plain = lines.filter(l => !l.graphicStroke);
  const line = (plain.length ? plain : lines).at(-1);
  if (lines.length > 1) notes.push("Several lines are drawn on the map: the top one is shown.");
  if (line !== lines.at(-1) || line.graphicStroke) notes.push("The symbols drawn along the line are not shown.");
  if (number(line.gapWidth) > 0) notes.push("The line is drawn on the map as two lines (a gap width): one is shown.");
  if (number(line.perpendicularOffset)) notes.push("The line's offset is not shown.");
  const width = Math.max(0, number(line.width) ?? 1);
  const lineWidth = Math.max(1, roundHalfUp(width));
  const dashes = Array.isArray(line.dasharray) ? line.dasharray.map(v => (dashUnit === "width" ? v * width : v)) : null;
  const color = paint(line.color ?? "#000000", [line.opacity], "line", notes) ?? [255, 255, 255];
  return {...base, kind: "band", color, lineWidth, dash: dashPattern(dashes, width, line.cap ?? defaultCap)};
}

function markDesign(mark, base, notes) {
  const name = String(mark.wellKnownName ?? "square").toLowerCase();
  const fill = paint(mark.color, [mark.fillOpacity, mark.opacity], "symbol", notes);
  const stroke = mark.strokeColor !== undefined && number(mark.strokeWidth) !== 0
    ? paint(mark.strokeColor, [mark.strokeOpacity, mark.opacity], "symbol's stroke", notes) : null;
  let symbol = MARKS[name];
  if (name === "x" || name === "times") {
    symbol = 4;
    notes.push(`The ${name} symbol is drawn as a plus.`);
  } else if (!symbol) {
    symbol = 1;
    notes.push(`The ${name} symbol is drawn as a square.`);
  }
  let color = fill ?? stroke ?? [128, 128, 128];
  if (symbol === 6 && !fill) {
    symbol = 2;
    color = stroke ?? [0, 0, 0];
  } else if (stroke && fill && stroke.join() !== fill.join()) notes.push("The symbol's outline colour is not shown.");
  if (number(mark.rotate)) notes.push(`The symbol's rotation (${mark.rotate}°) is not shown.`);
  if (Array.isArray(mark.offset) && mark.offset.some(v => v)) notes.push("The symbol's offset is not shown.");
  const size = roundHalfUp(2 * (number(mark.radius) ?? 3));
  return {...base, kind: "symbol", symbol, color, symbolSize: Math.max(0, size), background: null};
}
