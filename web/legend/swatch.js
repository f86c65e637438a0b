/* The swatches of one legend row: from the symbolizers of a rule, as
 * GeoStyler's style model writes them (kind Fill, Line, Mark; colours,
 * widths and sizes in pixels), to designs of swatch-url.js drawn one over
 * another, bottom first, and the notes that say what they do not show. The
 * style readers put every language into that model; what a language does
 * differently travels in the style's options:
 *   dashUnit "px" | "width"        the unit of a line's dash array
 *   defaultCap                     the cap of a line that gives none
 *   markStroke "centred" | "outside"  where a mark's stroke is drawn: on its
 *                                  outline (SLD, QGIS) or around it (MapLibre)
 *   renderer "maplibre" | "qgis" | "java2d"  whose drawing the swatch follows where
 *                                  renderers differ: which caps lengthen a
 *                                  dash, the ink of a line under a pixel wide,
 *                                  how far a mark reaches
 *   backdrop [r, g, b]             what the map is drawn on (white)
 *   density                        device pixels a style's pixel (1; 2 and 3
 *                                  for the images of denser screens) */
import {Color} from "@maplibre/maplibre-gl-style-spec";
import {dashInk, dashPattern, dashTooLong, MAX_DASH_PATTERN, MAX_ROW_LAYERS, newDesign, roundHalfUp} from "../swatch-url.js";

const WHITE = [255, 255, 255];

/* A colour as the style languages write it: #RRGGBB, #RGB, 0xRRGGBB, a
 * number, rgb()/rgba(), hsl()/hsla(), a CSS name, or the style library's
 * own colour. Returns {rgb: [r, g, b], alpha} or null for text that is no
 * colour. */
export function colorOf(value) {
  if (typeof value === "number" && Number.isFinite(value)) {
    const v = Math.trunc(value) & 0xFFFFFF;
    return {rgb: [(v >> 16) & 255, (v >> 8) & 255, v & 255], alpha: 1};
  }
  let c = value instanceof Color ? value : null;
  if (!c && typeof value === "string") {
    const hex = /^\s*0x([0-9a-f]{6})\s*$/i.exec(value);
    if (hex) return colorOf(parseInt(hex[1], 16));
    c = Color.parse(value.trim());
  }
  if (!c) return null;
  // The library keeps its colours multiplied by their alpha.
  const a = c.a;
  const exact = [c.r, c.g, c.b].map(v => Math.min(255, Math.max(0, a > 0 ? (v / a) * 255 : 0)));
  return {rgb: exact.map(roundHalfUp), alpha: a, exact};
}

/* rgb seen through alpha over under. */
export const blend = (rgb, alpha, under) => rgb.map((v, i) => roundHalfUp(v * alpha + under[i] * (1 - alpha)));

/* A colour with its opacities, blended over what lies under it: null when
 * it is not there at all (opacity 0). Says so in notes when it is
 * see-through. coverage is the share of a pixel the renderer inks (a line
 * thinner than a pixel, a dash pattern too fine to show): blended as
 * well, in the same rounding, without a note. */
function paint(value, opacities, what, notes, under, coverage = 1) {
  const c = colorOf(value);
  if (!c) {
    if (value !== undefined) notes.push(`The ${what} colour ${JSON.stringify(value)} is not a colour: drawn black.`);
    return value === undefined ? null : [0, 0, 0];
  }
  const a = opacities.reduce((product, o) => product * (typeof o === "number" ? o : 1), c.alpha);
  if (!(a > 0)) return null;
  if (a < 1) notes.push(`The ${what} is ${Math.round(a * 100)}% opaque: drawn as it looks over ${under.what}.`);
  return a * coverage >= 1 ? c.rgb : blend(c.exact ?? c.rgb, a * coverage, under.rgb);
}

const number = v => (typeof v === "number" && Number.isFinite(v) ? v : undefined);

const HATCHES = {"shape://slash": 1, "shape://backslash": 2, "shape://horline": 3,
                 "shape://vertline": 4, "shape://times": 5, "shape://plus": 6};
const DRAWN = ["Fill", "Line", "Mark"];
/* The most symbolizers of one rule that are read: the last, top ones. */
export const MAX_SYMBOLIZERS = 4 * MAX_ROW_LAYERS;
const UNSHOWN = {Text: "Labels are not shown.", Icon: "The icon is not shown.", Raster: "The raster is not shown."};
const MARKS = {square: 1, triangle: 3, cross: 4, plus: 4, star: 5, circle: 6};
/* Symbols whose shape is filled: a stroke of another colour around them
 * is drawn as the same shape, larger, beneath. */
const FILLED = [1, 3, 5, 6];

/* The designs of a rule's symbolizers, bottom first, and their notes; null
 * when none of them draws. Designs in a stack have no background of their
 * own, except the bottom one, which takes a flat patch it lies on. At most
 * MAX_ROW_LAYERS designs, the top ones, from at most MAX_SYMBOLIZERS
 * symbolizers, the last ones. */
export function stackOf(all, {w, h, dashUnit = "px", defaultCap = "butt", markStroke = "centred",
                                      renderer = "java2d", backdrop = WHITE, density = 1}) {
  const notes = [];
  const stack = [];
  const symbolizers = all.slice(-MAX_SYMBOLIZERS);
  w *= density;
  h *= density;
  // A length of the style (or its default) in the swatch's pixels.
  const px = (v, otherwise) => (number(v) ?? otherwise) * density;
  const options = {dashUnit, defaultCap, markStroke, renderer, px};
  /* What a see-through layer is seen over: the flat patch beneath it, else the backdrop. */
  const under = () => {
    const top = stack.at(-1);
    return top && top.kind === "flat" ? {rgb: top.color, what: "the layer beneath"}
                                      : {rgb: backdrop, what: backdrop.join() === WHITE.join() ? "white" : "the background"};
  };
  const drawn = symbolizers.filter(s => s && DRAWN.includes(s.kind));
  const plainLines = drawn.filter(s => s.kind === "Line" && !s.graphicStroke);
  for (const s of symbolizers) {
    // Labels beside a drawn symbol are no part of its swatch: nothing to say.
    if (s && s.kind === "Text" && drawn.length) continue;
    if (s && !DRAWN.includes(s.kind)) notes.push(UNSHOWN[s.kind] ?? `A ${s.kind} symbolizer is not shown.`);
    else if (s?.kind === "Line" && s.graphicStroke && (plainLines.length || drawn.length > 1))
      notes.push("The symbols drawn along the line are not shown.");
    else if (s) stack.push(...DESIGNS[s.kind](s, newDesign({w, h}), notes, under, options, stack));
  }
  if (!stack.length) return null;
  const top = stack.at(-1);
  if (top.gapOnly) notes.push("The line is drawn on the map as two lines either side of a gap: its middle is empty.");
  const designs = compact(stack);
  if (designs.length > MAX_ROW_LAYERS || all.length > MAX_SYMBOLIZERS)
    notes.push(`Only the top ${MAX_ROW_LAYERS} layers of the symbol are drawn.`);
  designs.splice(0, designs.length - MAX_ROW_LAYERS);
  // Every swatch of a row is as large as its largest symbol or line needs.
  const side = Math.max(...designs.map(d => (d.kind === "symbol" ? d.symbolSize ?? 0 : d.kind === "flat" ? 0 : d.lineWidth)));
  return {designs: designs.map(({gapOnly, ...d}) => ({...d, w: Math.max(d.w, side), h: Math.max(d.h, side)})), notes};
}

/* A flat patch without a frame under the next swatch is that swatch's
 * background: the same picture in fewer swatches. */
function compact(stack) {
  const [bottom, next, ...rest] = stack;
  if (next && bottom.kind === "flat" && !bottom.outline && next.kind !== "flat" && !next.background)
    return compact([{...next, background: bottom.color}, ...rest]);
  return stack;
}

function fillDesigns(fill, base, notes, under, options, stack) {
  const {px} = options;
  const outline = fill.outlineColor !== undefined ? paint(fill.outlineColor, [fill.outlineOpacity], "outline", notes, under())
                                                  : null;
  if (outline) outlineWidthNote(fill.outlineWidth, notes);
  const own = paint(fill.color, [fill.fillOpacity, fill.opacity], "fill", notes, under());
  const designs = own ? [{...base, color: own}] : [];
  const mark = fill.graphicFill;
  if (mark && mark.kind === "Mark" && HATCHES[mark.wellKnownName]) {
    const lineWidth = Math.max(1, roundHalfUp(px(mark.strokeWidth, 1)));
    // QGIS draws a line pattern from a tile of whole pixels, cut down (3 mm
    // apart is 22 px at 192 dpi, not 22.7).
    const tile = 2 * px(mark.radius, 8);
    const size = mark.wholeTile ? Math.floor(tile + 1e-9) : roundHalfUp(tile);
    const ink = paint(mark.strokeColor, [mark.strokeOpacity], "hatch", notes, under())
             ?? paint(mark.color, [mark.fillOpacity], "hatch", notes, under()) ?? [0, 0, 0];
    if (mark.note) notes.push(mark.note);
    return [...designs, {...base, kind: "hatch", color: ink, hatchType: HATCHES[mark.wellKnownName], lineWidth,
                         spacing: Math.max(1, size - lineWidth), outline}];
  }
  if (mark && mark.kind === "Mark") {
    // Dots on the area: the area, then one of its marks.
    notes.push("The pattern fill's marks are drawn once.");
    const dots = markDesigns(mark, base, notes, under, options);
    const [first, ...rest] = designs.length ? [designs[0], ...dots] : dots;
    return [{...first, outline}, ...rest];
  }
  if (mark) {
    notes.push(`The pattern fill${mark.wellKnownName ? ` (${mark.wellKnownName})` : ""} is drawn as a flat colour.`);
    const flat = paint(mark.color ?? mark.strokeColor, [mark.fillOpacity, mark.opacity], "pattern", notes, under());
    return [{...base, color: flat ?? own ?? [128, 128, 128], outline}];
  }
  if (designs.length) return [{...designs[0], outline}];
  // An unfilled area shows its outline: around what lies beneath, or alone on white.
  if (stack.length && outline) {
    stack[stack.length - 1] = {...stack.at(-1), outline};
    return [];
  }
  if (!stack.length) notes.push("The area is not filled: drawn white.");
  return stack.length ? [] : [{...base, color: WHITE, outline: outline ?? [0, 0, 0]}];
}

/* The swatch's outline is one pixel wide: a wider one is said. */
function outlineWidthNote(width, notes) {
  if (number(width) >= 1.5) notes.push(`The outline's width (${roundHalfUp(width * 10) / 10} px) is drawn as 1 pixel.`);
}

/* How each renderer draws what a swatch's whole pixels cannot: the caps
 * that lengthen a dash (MapLibre: round only; Java2D and Qt: round and
 * square), and the share of a pixel a line thinner than one inks (QGIS
 * its width; MapLibre (w + 1) / 2, measured: 0.5 px black is 404040). */
const RENDERERS = {
  // A MapLibre circle reaches a pixel less than its diameter (r 5 is 9 px across).
  "maplibre": {lengthens: ["round"], thinInk: w => (w + 1) / 2, extent: d => d - 1},
  "qgis": {lengthens: ["round", "square"], thinInk: w => w, extent: d => d},
  "java2d": {lengthens: ["round", "square"], thinInk: w => w, extent: d => d},
};

/* The program's square, ring, triangle and circle of size S cover
 * 2 floor(S / 2) + 1 pixels: they are drawn at the odd extent nearest the
 * map's, the smaller of two as near (an even extent N at N - 1, as the
 * map's softened edge reads; QGIS's 2 mm circle, 7.56 px, at 7, its 8 mm
 * one at 2x, 30.24 px, at 31). The star is drawn at the size of the map's
 * ink; the cross keeps its size. */
const ODD_EXTENTS = [1, 2, 3, 6];
const STAR = 5;
const symbolSizeFor = (symbol, extent, w, h) => {
  if (symbol === STAR) return starSizeFor(extent, w, h);
  if (!ODD_EXTENTS.includes(symbol)) return Math.max(0, roundHalfUp(extent));
  return extent < 1 ? 0 : 2 * Math.ceil((extent - 1) / 2 - 0.5) + 1;
};

/* A map's five-pointed star of diameter d (inner radius 0.382 of the
 * outer: 1.1227 r² of ink; QGIS's 4 mm star holds 64 px at 96 dpi) is
 * thinner than the program's, whose arms lie 3/8 down the swatch whatever
 * its size: the program's is drawn at the size whose ink comes nearest. */
function starSizeFor(d, w, h) {
  const target = 1.1227 * (d / 2) ** 2;
  let best = 1, bestMiss = Math.abs(starInk(1, w, h) - target);
  for (let s = 2; s <= Math.min(w, h, Math.ceil(d) + 2); s++) {
    const miss = Math.abs(starInk(s, w, h) - target);
    if (miss < bestMiss) [best, bestMiss] = [s, miss];
  }
  return best;
}

/* About the pixels GD fills of the program's star of size s in a w x h
 * swatch: the area inside its outline through the pixel centres and a band
 * 3/8 of a pixel wide along it (within 4 pixels of GD's fills of sizes 2 to
 * 30). */
function starInk(s, w, h) {
  const half = Math.floor(s / 2), q = Math.floor(s / 4), y = Math.floor(h * 0.375);
  const cx = Math.floor(w / 2), cy = Math.floor(h / 2);
  const p = [[cx - half, y], [cx - q, y], [cx, cy - half], [cx + q, y], [cx + half, y], [cx + q, cy],
             [cx + half, cy + half], [cx, cy + q], [cx - half, cy + half], [cx - q, cy]];
  let area = 0, outline = 0;
  p.forEach(([x1, y1], i) => {
    const [x2, y2] = p[(i + 1) % p.length];
    area += x1 * y2 - x2 * y1;
    outline += Math.hypot(x2 - x1, y2 - y1);
  });
  return Math.abs(area) / 2 + (outline * 3) / 8;
}

function lineDesigns(line, base, notes, under, {dashUnit, defaultCap, renderer, px}, stack) {
  // A line over an area draws its outline.
  const area = stack.at(-1);
  if (area && (area.kind === "flat" || area.kind === "hatch")) {
    const outline = paint(line.color ?? "#000000", [line.opacity], "outline", notes, under());
    if (outline) stack[stack.length - 1] = {...area, outline};
    if (outline) outlineWidthNote(line.width, notes);
    return [];
  }
  if (number(line.perpendicularOffset)) notes.push("The line's offset is not shown.");
  const width = Math.max(0, px(line.width, 1));
  // A line with a gap is drawn either side of it: a band as wide as both
  // and the gap, which a line drawn on it fills.
  const gap = Math.max(0, px(line.gapWidth, 0));
  const lineWidth = Math.max(1, roundHalfUp(gap > 0 ? gap + 2 * width : width));
  const dashes = Array.isArray(line.dasharray) ? line.dasharray.map(v => (dashUnit === "width" ? v * width : px(v, 0))) : null;
  const {lengthens, thinInk} = RENDERERS[renderer];
  const cap = lengthens.includes(line.cap ?? defaultCap) ? line.cap ?? defaultCap : "butt";
  const dash = dashPattern(dashes, width, cap);
  const tooLong = dashTooLong(dashes, width, cap);
  if (tooLong) notes.push(`The dash pattern is longer than a swatch can carry (${MAX_DASH_PATTERN} pixels): drawn solid.`);
  // A line under a pixel wide is a pixel of lighter ink; a dash pattern too
  // fine to show, solid in the ink of its dashes' share.
  const coverage = (gap === 0 && width < 1 ? thinInk(width) : 1) * (dash || tooLong ? 1 : dashInk(dashes, width, cap));
  const color = paint(line.color ?? "#000000", [line.opacity], "line", notes, under(), coverage);
  if (!color) return [];
  return [{...base, kind: "band", color, lineWidth, dash, gapOnly: gap > 0}];
}

function markDesigns(mark, base, notes, under, {markStroke, renderer, px}) {
  const name = String(mark.wellKnownName ?? "square").toLowerCase();
  const fill = paint(mark.color, [mark.fillOpacity, mark.opacity], "symbol", notes, under());
  const strokeWidth = px(mark.strokeWidth, 1);
  const stroke = mark.strokeColor !== undefined && strokeWidth > 0
    ? paint(mark.strokeColor, [mark.strokeOpacity, mark.opacity], "symbol's stroke", notes, under()) : null;
  let symbol = MARKS[name];
  if (name === "x" || name === "times") {
    symbol = 4;
    notes.push(`The ${name} symbol is drawn as a plus.`);
  } else if (!symbol) {
    symbol = 1;
    notes.push(`The ${name} symbol is drawn as a square.`);
  }
  if (number(mark.rotate)) notes.push(`The symbol's rotation (${mark.rotate}°) is not shown.`);
  if (Array.isArray(mark.offset) && mark.offset.some(v => v)) notes.push("The symbol's offset is not shown.");
  const size = 2 * px(mark.radius, 3);
  // A diameter on the map to the symbol that covers as much.
  const symbolDesign = (color, d, id = symbol) => ({...base, kind: "symbol", symbol: id, color,
    background: null, symbolSize: symbolSizeFor(id, RENDERERS[renderer].extent(d), base.w, base.h)});
  // A hairline around an unfilled circle is the program's ring.
  if (!fill && symbol === 6 && strokeWidth <= 1)
    return [symbolDesign(stroke ?? [0, 0, 0], markStroke === "outside" ? size + 2 * strokeWidth : size, 2)];
  if (!fill && !stroke) return [symbolDesign([128, 128, 128], size)];
  if (!stroke || (fill && stroke.join() === fill.join()) || !FILLED.includes(symbol))
    return [symbolDesign(fill ?? stroke, size)];
  // The stroke beneath, as the shape it outlines (centred on the outline,
  // or around it); an unfilled shape shows what the map is drawn on inside.
  const [outer, inner] = markStroke === "outside" ? [size + 2 * strokeWidth, size] : [size + strokeWidth, size - strokeWidth];
  const inside = inner > 0 ? [symbolDesign(fill ?? under().rgb, inner)] : [];
  return [symbolDesign(stroke, outer), ...inside];
}

const DESIGNS = {Fill: fillDesigns, Line: lineDesigns, Mark: markDesigns};
