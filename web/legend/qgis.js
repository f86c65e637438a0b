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
import {attributes, childNamed, childrenNamed, elements, localName, readOneRule, tagOf, withChildren, withFewAttributes,
        writeXml} from "./xml.js";
import {linearRamp} from "./ramp.js";

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

/* A length of a symbol layer in pixels; in map units (taken as metres)
 * at the view's scale, 0.28 mm a pixel. */
const METRES_PER_PIXEL = 0.00028;
function pixels(value, unit, scale) {
  const v = parseFloat(value);
  if (!Number.isFinite(v)) return undefined;
  if (unit === "MapUnit" || unit === "RenderMetersInMapUnits") return v / (scale * METRES_PER_PIXEL);
  return v * (UNITS[unit || "MM"] ?? 1);
}

/* The scales [from, to] a rule is drawn at, within those of its parent:
 * QGIS draws it from its scalemindenom to its scalemaxdenom (0: no limit). */
function ruleScales(a, [from, to]) {
  const min = parseFloat(a.scalemindenom), max = parseFloat(a.scalemaxdenom);
  return [min > 0 ? Math.max(from, min) : from, max > 0 ? Math.min(to, max) : to];
}

/* The rules of the renderer, in document order: {label, group, symbol key,
 * scales}. A rule of a rule tree is grouped under the labels above it. */
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
  const walk = (node, path, scales) => {
    for (const r of childrenNamed(node, "rule")) {
      const a = attributes(r);
      if (a.checkstate === "0") continue;
      const label = a.label ?? (a.filter === "ELSE" ? "other" : a.filter) ?? "";
      const drawnAt = ruleScales(a, scales);
      if (a.symbol !== undefined) rows.push({label, group: path.join(" › "), key: a.symbol, scales: drawnAt});
      walk(r, label ? [...path, label] : path, drawnAt);
    }
  };
  walk(childNamed(renderer, "rules") ?? {}, [], [0, Infinity]);
  return rows;
}

/* The renderer that draws: an inverted or merged renderer holds another. */
function rendererOf(root) {
  let renderer = childNamed(root, "renderer-v2");
  while (renderer && !childNamed(renderer, "symbols") && childNamed(renderer, "renderer-v2"))
    renderer = childNamed(renderer, "renderer-v2");
  return renderer;
}

/* The properties (Option or prop elements) one element of a symbol may
 * hold: QGIS writes some 60 to a layer; past this the rest are not read,
 * so that the style library is not handed a document of any size. */
const MAX_PROPERTIES = 300;

/* An element with at most MAX_PROPERTIES properties at every level, and a
 * few attributes on each (withFewAttributes). */
function boundedProperties(node, cut) {
  let kept = 0;
  const children = (node[tagOf(node)] ?? []).filter(n => {
    if (!["Option", "prop"].includes(localName(n))) return true;
    if (kept++ < MAX_PROPERTIES) return true;
    cut.count++;
    return false;
  });
  return withFewAttributes(withChildren(node, children.map(n => (tagOf(n) && !("#text" in n) ? boundedProperties(n, cut) : n))));
}

/* The symbol's own document for the parser: that symbol alone, its
 * switched-off layers left out, its properties bounded. */
function symbolDocument(symbol) {
  const layers = elements(symbol).filter(n => localName(n) !== "layer" || attributes(n).enabled !== "0");
  const cut = {count: 0};
  const bounded = boundedProperties(withChildren(symbol, layers), cut);
  const renderer = {"renderer-v2": [{symbols: [bounded]}], ":@": {type: "singleSymbol"}};
  return {xml: writeXml([{qgis: [renderer]}]), layers: layers.filter(n => localName(n) === "layer"), cut: cut.count};
}

/* A line pattern fill as the hatch mark SLD writes it: its line's colour
 * and width, its distance, its angle to the nearest hatch. */
function linePattern(s, p, layer, opacity, notes, scale) {
  const line = childNamed(layer, "symbol");
  const lineLayer = line && childrenNamed(line, "layer").at(-1);
  const lp = lineLayer ? propsOf(lineLayer) : {};
  const angle = (((parseFloat(p.angle) || 0) % 180) + 180) % 180;
  const [nearest, shape] = PATTERN_ANGLES.reduce((a, b) => (Math.abs(b[0] - angle) < Math.abs(a[0] - angle) ? b : a));
  // QGIS measures the distance and the width across the lines; the hatch
  // along the row, which a diagonal crosses at 45 degrees.
  const along = nearest % 90 ? Math.SQRT2 : 1;
  return {kind: "Fill", graphicFill: {
    kind: "Mark", wellKnownName: shape, strokeColor: qgisColor(lp.line_color ?? p.color),
    strokeOpacity: opacity(qgisAlpha(lp.line_color ?? p.color)),
    strokeWidth: along * pixels(lp.line_width ?? p.line_width ?? "0.26", lp.line_width_unit, scale),
    radius: (along * (pixels(p.distance ?? "2", p.distance_unit, scale) ?? 0)) / 2, wholeTile: true,
    note: nearest !== angle ? `The pattern's angle of ${p.angle}° is drawn as ${nearest % 180}°.` : undefined}};
}

/* A simple line, in a line symbol or a fill's: Qt's pen styles in line
 * widths, a custom dash in its unit, square caps unless said. */
function simpleLine(s, p, layer, opacity, notes, scale) {
  if (p.line_style === "no") return null;
  const width = pixels(p.line_width ?? "0.26", p.line_width_unit, scale);
  const line = {kind: "Line", color: qgisColor(p.line_color ?? p.color), opacity: opacity(qgisAlpha(p.line_color ?? p.color)),
                width, cap: CAPS[p.capstyle] ?? "square"};
  if (p.use_custom_dash === "1" && p.customdash)
    line.dasharray = p.customdash.split(";").map(v => pixels(v, p.customdash_unit, scale));
  else if (PEN_STYLES[p.line_style]) line.dasharray = PEN_STYLES[p.line_style].map(v => v * width);
  if (parseFloat(p.offset)) line.perpendicularOffset = parseFloat(p.offset);
  return line;
}

function simpleFill(s, p, layer, opacity, notes, scale) {
  const fill = {...s, opacity: opacity(s.opacity), outlineOpacity: opacity(qgisAlpha(p.outline_color))};
  if (fill.color === "transparent") delete fill.color;
  if (p.style && !["solid", "no"].includes(p.style) && p.color) {
    notes.add(`The brush pattern "${p.style}" is drawn as a flat colour.`);
    fill.color = qgisColor(p.color);
  }
  if (fill.outlineWidth !== undefined) fill.outlineWidth = pixels(p.outline_width, p.outline_width_unit, scale);
  return fill;
}

function simpleMarker(s, p, layer, opacity, notes, scale) {
  // A width of 0 is QGIS's hairline, one pixel wide.
  const strokeWidth = pixels(p.outline_width ?? "0", p.outline_width_unit, scale);
  // The parser gives the fill's alpha as the whole symbol's: the outline has its own.
  const mark = {...s, opacity: opacity(1), fillOpacity: qgisAlpha(p.color), strokeOpacity: qgisAlpha(p.outline_color),
                radius: (pixels(p.size ?? "2", p.size_unit, scale) ?? 0) / 2,
                strokeWidth: strokeWidth > 0 ? strokeWidth : 1,
                wellKnownName: p.name === "cross2" ? "x" : s.wellKnownName};
  if (p.outline_style === "no") delete mark.strokeColor;
  if (p.offset && p.offset.split(",").some(v => parseFloat(v))) mark.offset = p.offset.split(",").map(parseFloat);
  return mark;
}

const QGIS_MARKS = {circle: "circle", square: "square", rectangle: "square", triangle: "triangle", star: "star",
                    cross: "cross", cross2: "x", diamond: "square"};

/* A marker line: its marker, drawn once over what lies beneath (never the
 * line it follows, which it does not draw). */
function markerLine(s, p, layer, opacity, notes, scale) {
  const marker = childrenNamed(childNamed(layer, "symbol") ?? {}, "layer").find(l => attributes(l).class === "SimpleMarker");
  notes.add("The symbols along the line are drawn once.");
  if (!marker) return null;
  const m = propsOf(marker);
  return simpleMarker({kind: "Mark", wellKnownName: QGIS_MARKS[m.name] ?? m.name, color: qgisColor(m.color),
                       fillOpacity: qgisAlpha(m.color), strokeColor: qgisColor(m.outline_color),
                       strokeOpacity: qgisAlpha(m.outline_color)}, m, marker, opacity, notes, scale);
}

/* The symbolizer of one layer, mended from the layer's properties: by the
 * layer's class, else by the kind the parser read. */
const BY_CLASS = {LinePatternFill: linePattern, SimpleLine: simpleLine, MarkerLine: markerLine};
const BY_KIND = {Fill: simpleFill, Mark: simpleMarker};
function mend(s, layer, alpha, notes, scale) {
  const mender = BY_CLASS[attributes(layer).class] ?? BY_KIND[s.kind];
  return mender ? mender(s, propsOf(layer), layer, o => (o ?? 1) * alpha, notes, scale) : s;
}

const qgisColor = c => (c ? `rgb(${c.split(",").slice(0, 3).join(",")})` : undefined);
const qgisAlpha = c => (c && c.split(",").length >= 4 ? parseFloat(c.split(",")[3]) / 255 : 1);
/* A QGIS colour with its alpha as CSS: "r,g,b,a", or a raster's "#rrggbb"
 * with its alpha (0 to 255) given apart. */
const qgisCss = (c, alpha = 255) => {
  if (!c) return undefined;
  if (!c.startsWith("#")) return `rgba(${c.split(",").slice(0, 3).join(",")},${qgisAlpha(c)})`;
  return `rgba(${[1, 3, 5].map(i => parseInt(c.slice(i, i + 2), 16)).join(",")},${alpha / 255})`;
};

/* What a layer's values given by the data are: a note each, as the map's
 * values cannot be known here. */
function dataDefinedNotes(layer, notes) {
  const properties = elements(childNamed(childNamed(layer, "data_defined_properties") ?? {}, "Option") ?? {})
    .find(o => attributes(o).name === "properties");
  for (const p of properties ? elements(properties) : [])
    if (elements(p).some(o => attributes(o).name === "active" && attributes(o).value === "true"))
      notes.add(`The ${attributes(p).name} is given by the data: drawn with the symbol's own.`);
}

/* The symbolizers of a symbol, its layers bottom first. */
async function symbolizersOf(parser, symbol, scale) {
  const {xml, layers, cut} = symbolDocument(symbol);
  const {symbolizers, error} = await readOneRule(parser, xml);
  if (error) return {error};
  const notes = new Set(cut ? [`The symbol has over ${MAX_PROPERTIES} properties in one place: ${cut} ${cut > 1 ? "are" : "is"} not read.`] : []);
  const alpha = parseFloat(attributes(symbol).alpha ?? "1");
  layers.forEach(l => dataDefinedNotes(l, notes));
  const mended = symbolizers.length === layers.length
    ? symbolizers.map((s, i) => mend(s, layers[i], Number.isFinite(alpha) ? alpha : 1, notes, scale))
    : symbolizers;
  return {symbolizers: mended.filter(Boolean), notes: [...notes]};
}


/* A raster's colours: a pseudocolour ramp or its classes, or a palette. */
function rasterRules(pipe) {
  const raster = childNamed(pipe, "rasterrenderer");
  if (!raster) return [];
  const type = attributes(raster).type;
  const shader = childNamed(childNamed(childNamed(raster, "rastershader") ?? {}, "colorrampshader") ?? {}, "item")
    ? childNamed(childNamed(raster, "rastershader"), "colorrampshader") : null;
  const entry = a => ({value: parseFloat(a.value), color: qgisCss(a.color, parseFloat(a.alpha ?? "255")),
                       label: a.label ?? a.value});
  if (type === "singlebandpseudocolor" && shader) {
    const items = childrenNamed(shader, "item").map(i => entry(attributes(i)));
    if (attributes(shader).colorRampType === "INTERPOLATED")
      return [{label: "", notes: [], ramp: linearRamp(items.map(i => [i.value, i.color, i.label]))}];
    return items.map(i => ({label: i.label, notes: [], symbolizers: [{kind: "Fill", color: i.color}]}));
  }
  if (type === "paletted")
    return childrenNamed(childNamed(raster, "colorPalette") ?? {}, "paletteEntry").map(e => entry(attributes(e)))
      .map(i => ({label: i.label, notes: [], symbolizers: [{kind: "Fill", color: i.color}]}));
  return [];
}

/* A heatmap's colour ramp over its density, 0 to 1. */
function heatmapRules(renderer) {
  const ramp = childNamed(renderer, "colorramp");
  if (!ramp) return [];
  const props = propsOf(ramp);
  const stops = [[0, qgisCss(props.color1), "low"]];
  for (const stop of (props.stops ?? "").split(":").filter(Boolean)) {
    const [at, color] = stop.split(";");
    stops.push([parseFloat(at), qgisCss(color)]);
  }
  stops.push([1, qgisCss(props.color2), "high"]);
  return [{label: "", notes: [], ramp: linearRamp(stops)}];
}

/* The scales the layer is drawn at: [from, to), where QGIS draws it when
 * its scale-based visibility is on. */
function layerScales(root) {
  const a = attributes(root);
  if (a.hasScaleBasedVisibilityFlag !== "1") return [0, Infinity];
  const min = parseFloat(a.minScale), max = parseFloat(a.maxScale);
  return [max > 0 ? max : 0, min > 0 ? min : Infinity];
}

/* {title, rules: [{label, group, symbolizers | ramp, notes, shown, scales}], notes}. */
export async function readQgis(root, {scale}, limit) {
  const notes = [];
  const options = {dashUnit: "px", defaultCap: "square", markStroke: "centred", renderer: "qgis"};
  const [layerFrom, layerTo] = layerScales(root);
  const inView = ([from, to] = [0, Infinity]) => {
    const scales = [Math.max(from, layerFrom), Math.min(to, layerTo)];
    return {scales, shown: scales[0] <= scale && scale <= scales[1] && scale < layerTo};
  };
  const renderer = rendererOf(root);
  const inViewAll = rules => rules.map(r => ({...r, ...inView()}));
  if (!renderer) return {title: "", notes, options, rules: inViewAll(rasterRules(childNamed(root, "pipe") ?? {}))};
  if (attributes(renderer).type === "heatmapRenderer")
    return {title: "", notes, options, rules: inViewAll(heatmapRules(renderer))};
  const symbols = {};
  for (const s of childrenNamed(childNamed(renderer, "symbols") ?? {}, "symbol")) symbols[attributes(s).name] = s;
  const parser = new QGISStyleParser();
  const rules = [];
  for (const {label, group, key, scales} of rulesOf(renderer, notes).slice(0, limit)) {
    const view = inView(scales);
    const read = symbols[key] ? await symbolizersOf(parser, symbols[key], scale) : {error: "the rule has no symbol"};
    rules.push(read.error ? {label, group, symbolizers: [], notes: [`The symbol could not be read: ${read.error}.`], ...view}
                          : {label, group, ...read, ...view});
  }
  return {title: "", rules, notes, options};
}
