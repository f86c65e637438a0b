/* A legend from a style document: SLD, a QGIS layer style or a MapLibre
 * (Mapbox GL) style, found from its content. The command line and the
 * designer both call readLegend:
 *
 *   readLegend(textOrBytes, {size: [w, h], zoom, scaleDenominator, allScales,
 *                            background, title, fileName})
 *     -> {title, background, rows, notes}
 *
 * The legend is of one view of the map: zoom Z (default 14) or the scale
 * denominator of that view, one from the other. A row is
 *   {label, group, swatch, beneath, scaled, designs, notes}  the swatches of
 *       a whole symbol: swatch on top, beneath (bottom first) under it, each a
 *       swatch path (what follows the program's address); scaled: {2: {swatch,
 *       beneath}, 3: ..., 4: ...}, the images of screens (and print) that
 *       dense, drawn from the style's lengths there, where they differ from
 *       the 1x swatch enlarged;
 *       designs the 1x swatches' designs, bottom first
 *   {label, group, ramp: {min, max, stops, colors}, notes}  a continuous
 *       colour scale: the style's own [value, RRGGBB, tick label] stops and
 *       RAMP_COLORS colours sampled evenly in value
 * background is the map's backdrop as RRGGBB, or null (white). A document
 * that is no style, or draws nothing at the view, is refused with a
 * LegendError. */
import {hexOf, MAX_LEGEND_ROWS, swatchPath, typedColor} from "../swatch-url.js";
import {blend, colorOf, stackOf} from "./swatch.js";
import {LegendError, checkStyleSize} from "./error.js";
import {decodeStyle, readXml, localName, rootOf} from "./xml.js";
import {LEGEND_VERSION} from "./output.js";
import {DENSITIES, hex, readRow, text} from "./rows.js";
import {DEFAULT_ZOOM, viewOf} from "./view.js";

export {LegendError, DEFAULT_ZOOM};
export const MAX_ROWS = MAX_LEGEND_ROWS;
/* A legend row's swatch, width and height in CSS pixels, unless asked otherwise. */
export const DEFAULT_SWATCH_SIZE = [20, 20];
/* The colours a ramp is sampled at. */
export const RAMP_COLORS = 64;
/* The style document as rules in the style model, by language. Each
 * language's reader (with its style library) loads when a document of it
 * is read. */
async function readStyle(text, view) {
  const start = text.replace(/^\uFEFF/, "").trimStart();
  if (start.startsWith("<")) {
    const root = rootOf(readXml(text));
    const name = root ? localName(root) : "";
    if (["StyledLayerDescriptor", "UserStyle", "FeatureTypeStyle", "CoverageStyle"].includes(name))
      return (await import("./sld.js")).readSld(root, view, MAX_ROWS + 1);
    if (name === "qgis") return (await import("./qgis.js")).readQgis(root, view, MAX_ROWS + 1);
    throw new LegendError(`not a style document: XML whose root is <${name}>, not an SLD or a QGIS style`);
  }
  if (start.startsWith("{")) {
    // JSON.parse builds any depth (2.6 million nested arrays took 2.6 s
    // and 340 MB); no style nests deeper than a few dozen levels.
    if (jsonDepth(start) > MAX_JSON_DEPTH)
      throw new LegendError(`the document nests deeper than ${MAX_JSON_DEPTH} levels: no style does`);
    let doc;
    try {
      doc = JSON.parse(start);
    } catch (err) {
      throw new LegendError(`malformed JSON: ${err.message}`);
    }
    if (doc && doc.version === LEGEND_VERSION && Array.isArray(doc.rows)) return {legend: readLegendJson(doc, MAX_ROWS)};
    if (doc && doc.version === 8 && Array.isArray(doc.layers))
      return (await import("./maplibre.js")).readMapLibre(doc, view, MAX_ROWS + 1);
    const what = doc && typeof doc.type === "string" ? ` (JSON of type ${doc.type})` : "";
    throw new LegendError(`not a style document${what}: a MapLibre style has "version": 8 and "layers", ` +
                          `a legend "version": ${LEGEND_VERSION} and "rows"`);
  }
  throw new LegendError("not a style document: neither XML nor JSON");
}

const MAX_JSON_DEPTH = 128;

/* How deep a JSON text's objects and arrays nest (its strings skipped),
 * counted until it passes MAX_JSON_DEPTH. */
function jsonDepth(text) {
  let depth = 0, deepest = 0;
  for (let i = 0; i < text.length && deepest <= MAX_JSON_DEPTH; i++) {
    const c = text.charCodeAt(i);
    if (c === 0x22) {
      for (i++; i < text.length && text.charCodeAt(i) !== 0x22; i++) if (text.charCodeAt(i) === 0x5C) i++;
    } else if (c === 0x5B || c === 0x7B) deepest = Math.max(deepest, ++depth);
    else if (c === 0x5D || c === 0x7D) depth--;
  }
  return deepest;
}

/* A legend's JSON read: {title, background, rows, notes}, at most maxRows
 * rows; a row that is no swatch and no ramp is left out with a note. */
function readLegendJson(doc, maxRows) {
  const rows = [], notes = [];
  for (const [i, r] of (Array.isArray(doc.rows) ? doc.rows : []).slice(0, maxRows).entries()) {
    const row = readRow(r);
    if (row) rows.push(row);
    else notes.push(`Row ${i + 1} is no swatch and no ramp: left out.`);
  }
  return {title: text(doc.title), background: hex(doc.background), rows,
          notes: [...(Array.isArray(doc.notes) ? doc.notes.map(text) : []), ...notes]};
}

/* A colour of a ramp as RRGGBB, seen over the backdrop. */
function rampHex(value, backdrop) {
  const c = colorOf(value);
  return hexOf(c ? blend(c.rgb, c.alpha, backdrop) : [0, 0, 0]);
}

function rampOf({min, max, stops, colorAt}, backdrop) {
  const steps = RAMP_COLORS - 1;
  const stop = ([v, c, tick]) => (tick === undefined ? [v, rampHex(c, backdrop)] : [v, rampHex(c, backdrop), tick]);
  return {min, max, stops: stops.map(stop),
          colors: Array.from({length: RAMP_COLORS}, (_, i) => rampHex(colorAt(min + ((max - min) * i) / steps), backdrop))};
}

/* Characters XML 1.0 does not allow (control characters, lone surrogates,
 * U+FFFE and U+FFFF): an SVG or HTML legend could not hold them. */
const NOT_XML = new RegExp("[\\u0000-\\u0008\\u000B\\u000C\\u000E-\\u001F\\uFFFE\\uFFFF]" +
                           "|[\\uD800-\\uDBFF](?![\\uDC00-\\uDFFF])|(?<![\\uD800-\\uDBFF])[\\uDC00-\\uDFFF]", "g");

/* A text of the style as a label: without those characters, with a note
 * when it had any. */
function cleanText(text, notes) {
  if (typeof text !== "string" || text.search(NOT_XML) < 0) return text;
  const clean = text.replace(NOT_XML, "");
  notes.push(`Control characters were taken out of "${clean}".`);
  return clean;
}

/* The legend's row of one rule, or null with a note when it draws nothing. */
function rowOf(rule, {w, h, options, backdrop}, notes) {
  const group = rule.group || undefined;
  if (rule.ramp) return {label: rule.label, group, ramp: rampOf(rule.ramp, backdrop), notes: rule.notes};
  const stack = stackOf(rule.symbolizers, {w, h, ...options, backdrop});
  if (!stack) {
    const why = rule.notes.length ? rule.notes.join(" ") : "it draws nothing the legend can show.";
    notes.push(`${rule.label ? `"${rule.label}"` : "A rule without a name"}: ${why}`);
    return null;
  }
  const paths = stack.designs.map(swatchPath);
  // At each density, paths of its own where drawing there differs from
  // enlarging the 1x swatch.
  const dense = density => {
    const drawn = densePaths(rule, {w, h, options, backdrop}, density);
    return drawn && drawn.join() !== stack.designs.map(d => swatchPath(enlarged(d, density))).join() ? drawn : null;
  };
  const scaled = Object.fromEntries(DENSITIES.map(d => [d, dense(d)]).filter(([, p]) => p).map(([d, p]) => [d, layersOf(p)]));
  return {label: rule.label, group, swatch: paths.at(-1), ...(paths.length > 1 ? {beneath: paths.slice(0, -1)} : {}),
          ...(Object.keys(scaled).length ? {scaled} : {}),
          designs: stack.designs, notes: [...rule.notes, ...stack.notes]};
}


/* A row's swatch paths at a density, bottom first, or null when the stack
 * differs in its layers (it cannot stand in for the 1x one). */
function densePaths(rule, {w, h, options, backdrop}, density) {
  const stack = stackOf(rule.symbolizers, {w, h, ...options, backdrop, density});
  return stack ? stack.designs.map(swatchPath) : null;
}

/* A design with every length times the density: what enlarging it gives. */
function enlarged(d, density) {
  const grow = v => (typeof v === "number" ? v * density : v);
  return {...d, w: d.w * density, h: d.h * density, lineWidth: grow(d.lineWidth), spacing: grow(d.spacing),
          symbolSize: grow(d.symbolSize), dash: d.dash.replace(/x+| +/g, run => run[0].repeat(run.length * density))};
}

const layersOf = paths => ({swatch: paths.at(-1), ...(paths.length > 1 ? {beneath: paths.slice(0, -1)} : {})});

/* The scale ranges [from, to) some rules are drawn at, in words:
 * "1:100,000 to 1:1,000,000 and 1:5,000,000 and above". */
export function scaleRangesInWords(ranges) {
  const merged = [];
  for (const [from, to] of [...ranges].sort((a, b) => a[0] - b[0])) {
    const last = merged.at(-1);
    if (last && from <= last[1]) last[1] = Math.max(last[1], to);
    else merged.push([from, to]);
  }
  const scale = s => `1:${Math.round(s).toLocaleString("en-US")}`;
  const words = merged.map(([from, to]) => (!(from > 0) && to === Infinity ? "every scale"
    : !(from > 0) ? `${scale(to)} and below` : to === Infinity ? `${scale(from)} and above` : `${scale(from)} to ${scale(to)}`));
  return words.length > 1 ? `${words.slice(0, -1).join(", ")} and ${words.at(-1)}` : words[0] ?? "";
}

/* Which rows a legend keeps, by glob patterns (* and ?, any case) on a
 * row's names (its label, its group and, of a MapLibre style, its layers'
 * ids and source-layer): those an `only` pattern matches, all when there
 * is none, less those a `skip` pattern matches. */
export function rowChooser({only = [], skip = []} = {}) {
  const glob = p => new RegExp(`^${p.replace(/[.+^${}()|[\]\\]/g, "\\$&").replace(/\*+/g, ".*").replace(/\?/g, ".")}$`, "is");
  const [kept, left] = [only.map(glob), skip.map(glob)];
  const any = (names, patterns) => names.some(n => patterns.some(p => p.test(n)));
  return names => (!kept.length || any(names, kept)) && !any(names, left);
}

const namesOf = r => [r.label, r.group, ...(r.names ?? [])].filter(n => typeof n === "string" && n !== "");

export async function readLegend(input, {size = DEFAULT_SWATCH_SIZE, zoom = DEFAULT_ZOOM, scaleDenominator, allScales = false,
                                        background = null, title = "", fileName = "", choose = () => true,
                                        maxRows = MAX_ROWS} = {}) {
  checkStyleSize(typeof input === "string" ? new TextEncoder().encode(input).length : input.length);
  const view = viewOf({zoom, scaleDenominator});
  const style = await readStyle(decodeStyle(input), view);
  if (style.legend) {
    // A legend read back: what is asked for now wins over what it says.
    const {legend} = style;
    const chosen = legend.rows.filter(r => choose(namesOf(r)));
    if (!chosen.length) throw new LegendError(legend.rows.length ? "no row is chosen" : "the legend has no row");
    if (chosen.length > maxRows) legend.notes.push(`Only the first ${maxRows} rows are in the legend.`);
    return {...legend, title: cleanText(title || legend.title || fileName, legend.notes),
            background: background !== null ? typedColor(background) : legend.background,
            rows: chosen.slice(0, maxRows).map(r => ({...r, label: cleanText(r.label, legend.notes),
                                                      group: cleanText(r.group, legend.notes)}))};
  }
  const backdropColor = background !== null ? colorOf(`#${typedColor(background) ?? "FFFFFF"}`) : colorOf(style.background);
  const backdrop = backdropColor ? blend(backdropColor.rgb, backdropColor.alpha, [255, 255, 255]) : [255, 255, 255];
  const [w, h] = size;
  const rows = [], notes = [...style.notes], hidden = [], seen = new Set();
  let chosen = 0, more = style.rules.length > MAX_ROWS;
  for (const styleRule of style.rules.slice(0, MAX_ROWS)) {
    const rule = {...styleRule, label: cleanText(styleRule.label, notes), group: cleanText(styleRule.group, notes)};
    if (!choose(namesOf(rule))) continue;
    chosen++;
    if (rows.length === maxRows) {
      more = true;
      break;
    }
    if (rule.shown === false && !allScales) {
      hidden.push(rule.scales);
      continue;
    }
    const row = rowOf(rule, {w, h, options: style.options, backdrop}, notes);
    // Rows that show the same are one row.
    const key = row && JSON.stringify([row.label, row.group, row.swatch, row.beneath, row.ramp]);
    if (row && !seen.has(key)) rows.push(row);
    seen.add(key);
  }
  if (more) notes.push(`Only the first ${maxRows} rows are in the legend.`);
  if (!chosen && style.rules.length) throw new LegendError("no row is chosen");
  if (!rows.length && hidden.length) {
    throw new LegendError(`no rule draws anything at 1:${Math.round(view.scale).toLocaleString("en-US")}; ` +
                          `rules are drawn at ${scaleRangesInWords(hidden)}`);
  }
  if (!rows.length) throw new LegendError("no rule draws anything");
  if (hidden.length)
    notes.push(`${hidden.length} rule${hidden.length > 1 ? "s are" : " is"} not drawn at this view and left out.`);
  const drawnOn = background !== null || style.background !== undefined ? hexOf(backdrop) : null;
  return {title: cleanText(title || style.title || fileName, notes), background: drawnOn, rows, notes};
}
