/* QGIS layer styles (.qml) read into legend rules. GeoStyler's QGIS parser
 * reads each rule's symbol, given to it alone as a single-symbol style,
 * so a symbol it cannot read costs only that rule. What it gets wrong is
 * mended from the document:
 *   - it throws on the <labeling> element every QGIS style carries (the
 *     symbol's document has none);
 *   - it labels categories "field = value" (labels are read here);
 *   - it drops a line pattern fill's angle and distance, and reads a
 *     simple line layer of a fill as a see-through fill;
 *   - it leaves sizes in millimetres, ignores the symbol's opacity, and
 *     gives its own dash lengths for Qt's pen styles. */
import QGISStyleParser from "geostyler-qgis-parser";
import {attributes, childNamed, childrenNamed, elements, localName, readOneRule, withChildren, writeXml} from "./xml.js";

const PX_PER_MM = 96 / 25.4;
const UNITS = {MM: PX_PER_MM, Point: 96 / 72, Pixel: 1, Inch: 96};
/* Qt's pen styles, in line widths. */
const PEN_STYLES = {dash: [4, 2], dot: [1, 2], "dash dot": [4, 2, 1, 2], "dash dot dot": [4, 2, 1, 2, 1, 2]};
const CAPS = {flat: "butt", square: "square", round: "round"};
/* A line pattern's angle, to the nearest hatch the program draws. */
const PATTERN_ANGLES = [[45, "shape://slash"], [135, "shape://backslash"], [0, "shape://horline"],
                        [90, "shape://vertline"], [180, "shape://horline"]];

/* A symbol layer's properties: <prop k v> before QGIS 3.28, <Option> since. */
function propsOf(layer) {
  const props = {};
  for (const p of childrenNamed(layer, "prop")) props[attributes(p).k] = attributes(p).v;
  const map = childNamed(layer, "Option");
  for (const o of map ? childrenNamed(map, "Option") : []) props[attributes(o).name] = attributes(o).value;
  return props;
}

/* A length of a symbol layer in pixels, with a note for map units. */
function pixels(value, unit, notes) {
  const v = parseFloat(value);
  if (!Number.isFinite(v)) return undefined;
  if (unit && !(unit in UNITS)) {
    notes.add("Sizes in map units are drawn as pixels at 1:1.");
    return v;
  }
  return v * UNITS[unit || "MM"];
}

/* The rules of the renderer, in document order: {label, symbol key}. */
function rulesOf(renderer, notes) {
  const type = attributes(renderer).type;
  if (type === "singleSymbol") return [{label: "", key: "0"}];
  const rows = [];
  const listed = (group, item) => {
    for (const c of childrenNamed(childNamed(renderer, group) ?? {}, item)) {
      const a = attributes(c);
      if (a.render === "false") notes.push(`"${a.label ?? a.value}" is switched off in the style and left out.`);
      else rows.push({label: a.label ?? a.value ?? "", key: a.symbol});
    }
  };
  listed("categories", "category");
  listed("ranges", "range");
  const walk = node => {
    for (const r of childrenNamed(node, "rule")) {
      const a = attributes(r);
      if (a.checkstate === "0") continue;
      if (a.symbol !== undefined) rows.push({label: a.label ?? a.filter ?? "", key: a.symbol});
      walk(r);
    }
  };
  walk(childNamed(renderer, "rules") ?? {});
  return rows;
}

/* The renderer that draws: an inverted or merged renderer holds another. */
function rendererOf(root) {
  let renderer = childNamed(root, "renderer-v2");
  while (renderer && !childNamed(renderer, "symbols") && childNamed(renderer, "renderer-v2"))
    renderer = childNamed(renderer, "renderer-v2");
  return renderer;
}

/* The symbol's own document for the parser: that symbol alone, its
 * switched-off layers left out. */
function symbolDocument(symbol) {
  const layers = elements(symbol).filter(n => localName(n) !== "layer" || attributes(n).enabled !== "0");
  const renderer = {"renderer-v2": [{symbols: [withChildren(symbol, layers)]}], ":@": {type: "singleSymbol"}};
  return {xml: writeXml([{qgis: [renderer]}]), layers: layers.filter(n => localName(n) === "layer")};
}

/* A line pattern fill as the hatch mark SLD writes it: its line's colour
 * and width, its distance, its angle to the nearest hatch. */
function linePattern(s, p, layer, opacity, notes) {
  const line = childNamed(layer, "symbol");
  const lineLayer = line && childrenNamed(line, "layer").at(-1);
  const lp = lineLayer ? propsOf(lineLayer) : {};
  const angle = (((parseFloat(p.angle) || 0) % 180) + 180) % 180;
  const [nearest, shape] = PATTERN_ANGLES.reduce((a, b) => (Math.abs(b[0] - angle) < Math.abs(a[0] - angle) ? b : a));
  return {kind: "Fill", graphicFill: {
    kind: "Mark", wellKnownName: shape, strokeColor: qgisColor(lp.line_color ?? p.color),
    strokeOpacity: opacity(qgisAlpha(lp.line_color ?? p.color)),
    strokeWidth: pixels(lp.line_width ?? p.line_width ?? "0.26", lp.line_width_unit, notes),
    radius: (pixels(p.distance ?? "2", p.distance_unit, notes) ?? 0) / 2,
    note: nearest !== angle ? `The pattern's angle of ${p.angle}° is drawn as ${nearest % 180}°.` : undefined}};
}

/* A simple line, in a line symbol or a fill's: Qt's pen styles in line
 * widths, a custom dash in its unit, square caps unless said. */
function simpleLine(s, p, layer, opacity, notes) {
  if (p.line_style === "no") return null;
  const width = pixels(p.line_width ?? "0.26", p.line_width_unit, notes);
  const line = {kind: "Line", color: qgisColor(p.line_color ?? p.color), opacity: opacity(qgisAlpha(p.line_color ?? p.color)),
                width, cap: CAPS[p.capstyle] ?? "square"};
  if (p.use_custom_dash === "1" && p.customdash)
    line.dasharray = p.customdash.split(";").map(v => pixels(v, p.customdash_unit, notes));
  else if (PEN_STYLES[p.line_style]) line.dasharray = PEN_STYLES[p.line_style].map(v => v * width);
  if (parseFloat(p.offset)) line.perpendicularOffset = parseFloat(p.offset);
  return line;
}

function simpleFill(s, p, layer, opacity, notes) {
  const fill = {...s, opacity: opacity(s.opacity), outlineOpacity: opacity(qgisAlpha(p.outline_color))};
  if (fill.color === "transparent") delete fill.color;
  if (p.style && !["solid", "no"].includes(p.style) && p.color) {
    notes.add(`The brush pattern "${p.style}" is drawn as a flat colour.`);
    fill.color = qgisColor(p.color);
  }
  if (fill.outlineWidth !== undefined) fill.outlineWidth = pixels(p.outline_width, p.outline_width_unit, notes);
  return fill;
}

function simpleMarker(s, p, layer, opacity, notes) {
  const mark = {...s, opacity: opacity(s.opacity), strokeOpacity: opacity(s.strokeOpacity),
                radius: (pixels(p.size ?? "2", p.size_unit, notes) ?? 0) / 2,
                wellKnownName: p.name === "cross2" ? "x" : s.wellKnownName};
  if (p.outline_style === "no") delete mark.strokeColor;
  if (p.offset && p.offset.split(",").some(v => parseFloat(v))) mark.offset = p.offset.split(",").map(parseFloat);
  return mark;
}

/* The symbolizer of one layer, mended from the layer's properties: by the
 * layer's class, else by the kind the parser read. */
const BY_CLASS = {LinePatternFill: linePattern, SimpleLine: simpleLine};
const BY_KIND = {Fill: simpleFill, Mark: simpleMarker};
function mend(s, layer, alpha, notes) {
  const mender = BY_CLASS[attributes(layer).class] ?? BY_KIND[s.kind];
  return mender ? mender(s, propsOf(layer), layer, o => (o ?? 1) * alpha, notes) : s;
}

const qgisColor = c => (c ? `rgb(${c.split(",").slice(0, 3).join(",")})` : undefined);
const qgisAlpha = c => (c && c.split(",").length >= 4 ? parseFloat(c.split(",")[3]) / 255 : 1);

/* {title, rules: [{label, symbolizers, notes}], notes}. */
export async function readQgis(root, limit) {
  const notes = [];
  const renderer = rendererOf(root);
  if (!renderer) return {title: "", rules: [], notes, options: {}};
  const symbols = {};
  for (const s of childrenNamed(childNamed(renderer, "symbols") ?? {}, "symbol")) symbols[attributes(s).name] = s;
  const parser = new QGISStyleParser();
  const rules = [];
  for (const {label, key} of rulesOf(renderer, notes).slice(0, limit)) {
    const symbol = symbols[key];
    if (!symbol) {
      rules.push({label, symbolizers: [], notes: ["The rule has no symbol."]});
      continue;
    }
    const {xml, layers} = symbolDocument(symbol);
    const {symbolizers, error} = await readOneRule(parser, xml);
    if (error) {
      rules.push({label, symbolizers: [], notes: [`The symbol could not be read: ${error}.`]});
      continue;
    }
    const ruleNotes = new Set();
    const alpha = parseFloat(attributes(symbol).alpha ?? "1");
    const mended = symbolizers.length === layers.length
      ? symbolizers.map((s, i) => mend(s, layers[i], Number.isFinite(alpha) ? alpha : 1, ruleNotes))
      : symbolizers;
    const drawn = mended.filter(Boolean);
    // A line layer of a fill symbol draws the fill's outline.
    const line = drawn.filter(s => s.kind === "Line").at(-1);
    const withOutline = drawn.map(s => (s.kind === "Fill" && line && attributes(symbol).type === "fill"
      ? {...s, outlineColor: line.color, outlineOpacity: line.opacity} : s));
    rules.push({label, symbolizers: withOutline, notes: [...ruleNotes]});
  }
  return {title: "", rules, notes, options: {dashUnit: "px", defaultCap: "square"}};
}
