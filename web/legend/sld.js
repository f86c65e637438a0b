/* SLD documents (1.0, and 1.1 with Symbology Encoding; a UserStyle or a
 * FeatureTypeStyle alone too) read into legend rules, at one view (a scale
 * denominator). GeoStyler's SLD parser reads each rule's symbolizers, one
 * rule at a time, so a rule it cannot read costs only that rule; every
 * symbolizer of a rule is drawn, bottom first. What the parser does not
 * read is read from the document itself:
 *   - a colour by Categorize (a row an interval), Recode (a row a value)
 *     or Interpolate (a ramp); a raster's ColorMap;
 *   - scale ranges, and a rule's filter as its label when it has no other;
 *   - it names rules and styles by name where the document gives a title;
 *   - it drops SLD's defaults for an empty <Stroke/> (black, width 1),
 *     an empty <Fill/> (grey 808080) and a mark left unsaid (a grey
 *     square of size 6);
 *   - it reads the common 0xAAAAAA colour as a number (the swatch reads
 *     numbers as colours), and throws on a dash array of one number;
 *   - it accepts malformed XML (the document is checked before). */
import SldStyleParser from "geostyler-sld-parser";
import {colorOf, MAX_SYMBOLIZERS} from "./swatch.js";
import {linearRamp} from "./ramp.js";
import {attributes, childNamed, childrenNamed, elements, localName, readOneRule, tagOf, textOf, withChildren, withFewAttributes,
        writeXml} from "./xml.js";

const SYMBOLIZERS = ["PolygonSymbolizer", "LineSymbolizer", "PointSymbolizer", "TextSymbolizer", "RasterSymbolizer"];

/* A title as SLD 1.0 writes it (<Title>) or SLD 1.1 (<Description><Title>). */
const titleOf = node => textOf(childNamed(node, "Title")) || textOf(childNamed(childNamed(node, "Description") ?? {}, "Title"));

/* The FeatureTypeStyles under a root: an SLD's, a UserStyle's, or the
 * root itself. */
function featureTypeStyles(root) {
  const ofStyle = style => [...childrenNamed(style, "FeatureTypeStyle"), ...childrenNamed(style, "CoverageStyle")];
  if (localName(root) !== "StyledLayerDescriptor")
    return localName(root) === "UserStyle" ? ofStyle(root).map(fts => ({layer: null, style: root, fts}))
                                           : [{layer: null, style: null, fts: root}];
  const found = [];
  for (const layer of elements(root).filter(n => ["NamedLayer", "UserLayer"].includes(localName(n))))
    for (const style of childrenNamed(layer, "UserStyle"))
      for (const fts of ofStyle(style)) found.push({layer, style, fts});
  return found;
}

/* A rule with its last MAX_SYMBOLIZERS symbolizers, those drawn on top:
 * the parser is given no more than the legend reads. */
function withTopSymbolizers(rule) {
  const children = rule[tagOf(rule)];
  const symbolizers = children.filter(n => SYMBOLIZERS.includes(localName(n)));
  if (symbolizers.length <= MAX_SYMBOLIZERS) return rule;
  const dropped = new Set(symbolizers.slice(0, -MAX_SYMBOLIZERS));
  return withChildren(rule, children.filter(n => !dropped.has(n)));
}

/* Every rule of every FeatureTypeStyle, in document order, up to limit:
 * {rule, original, layer, style, fts}, the rule as it is read, as the
 * document has it, and the elements above it. */
function rulesOf(root, limit) {
  const found = [];
  for (const above of featureTypeStyles(root))
    for (const rule of childrenNamed(above.fts, "Rule")) {
      found.push({rule: withTopSymbolizers(rule), original: rule, ...above});
      if (found.length >= limit) return found;
    }
  return found;
}

/* The legend's title: the first UserStyle's title, else its name, else
 * the layer's name. */
function styleTitle(root) {
  if (localName(root) === "UserStyle") return titleOf(root) || textOf(childNamed(root, "Name"));
  if (localName(root) !== "StyledLayerDescriptor") return titleOf(root) || textOf(childNamed(root, "Name"));
  const layer = elements(root).find(n => ["NamedLayer", "UserLayer"].includes(localName(n)));
  if (!layer) return "";
  const style = childNamed(layer, "UserStyle");
  return (style && (titleOf(style) || textOf(childNamed(style, "Name")))) || textOf(childNamed(layer, "Name"));
}

/* A styling parameter of that name: <CssParameter> (SLD 1.0) or
 * <SvgParameter> (SE 1.1). */
const isParameter = (node, name) => ["CssParameter", "SvgParameter"].includes(localName(node)) &&
                                    attributes(node).name === name;

/* The elements as the parser is given them: each one-number dash array
 * written as two (the same pattern; the parser throws on a dash array of
 * one number), a few attributes on each element (withFewAttributes). */
function forParser(node) {
  if (isParameter(node, "stroke-dasharray") && /^\s*[\d.]+\s*$/.test(textOf(node)))
    return withFewAttributes(withChildren(node, [{"#text": `${textOf(node)} ${textOf(node)}`}]));
  const children = node[tagOf(node)];
  return withFewAttributes(Array.isArray(children)
    ? withChildren(node, children.map(n => (tagOf(n).startsWith("#") ? n : forParser(n)))) : node);
}

/* A document of this one rule, for the parser: an SLD with a layer and a
 * style around it where the document has none. */
function ruleDocument(root, {rule, layer, style, fts}) {
  const se = /^se:/.test(tagOf(root)) || Object.values(attributes(root)).includes("http://www.opengis.net/se");
  const sld = localName(root) === "StyledLayerDescriptor" ? root
    : {StyledLayerDescriptor: [], ":@": {version: se ? "1.1.0" : "1.0.0"}};
  const name = layer && childNamed(layer, "Name");
  const ruleStyle = withChildren(style ?? {UserStyle: []}, [withChildren(fts, [forParser(rule)])]);
  return writeXml([withChildren(sld, [withChildren(layer ?? {NamedLayer: []}, name ? [name, ruleStyle] : [ruleStyle])])]);
}

const CSS = (node, name) => {
  const p = elements(node ?? {}).find(n => isParameter(n, name));
  return p ? textOf(p) : undefined;
};

/* SLD's defaults for what the parser drops, from the symbolizer's element. */
function withDefaults(symbolizer, element) {
  const s = {...symbolizer};
  const kind = localName(element);
  const fill = childNamed(element, "Fill"), stroke = childNamed(element, "Stroke");
  if (kind === "PolygonSymbolizer") {
    if (fill && CSS(fill, "fill") === undefined && !childNamed(fill, "GraphicFill")) s.color ??= "#808080";
    if (stroke && CSS(stroke, "stroke") === undefined && !childNamed(stroke, "GraphicFill")) s.outlineColor ??= "#000000";
    if (stroke) s.outlineWidth ??= 1;
  }
  if (kind === "LineSymbolizer" && stroke) {
    if (!childNamed(stroke, "GraphicStroke")) s.color ??= "#000000";
    s.width ??= 1;
    if (childNamed(stroke, "GraphicStroke")) s.graphicStroke ??= {kind: "Mark"};
  }
  if (kind === "PointSymbolizer" && s.kind === "Mark") {
    const graphic = childNamed(element, "Graphic");
    const mark = graphic && childNamed(graphic, "Mark");
    if (!childNamed(graphic ?? {}, "Size")) s.radius ??= 3;
    if (mark && !childNamed(mark, "WellKnownName")) s.wellKnownName ??= "square";
    const markFill = mark && childNamed(mark, "Fill"), markStroke = mark && childNamed(mark, "Stroke");
    if ((markFill && CSS(markFill, "fill") === undefined) || (mark && !markFill && !markStroke)) s.color ??= "#808080";
    if (markStroke && CSS(markStroke, "stroke") === undefined) s.strokeColor ??= "#000000";
  }
  return s;
}

/* Values the document gives by an expression (a property, a function):
 * the parser drops most of them and keeps the rest as GeoStyler functions;
 * either way the default is drawn, and each is said in the document's
 * words. */
const VALUES = ["CssParameter", "SvgParameter", "Size", "WellKnownName", "Opacity", "Rotation"];
function expressionNotes(symbolizerElements) {
  const named = new Set();
  const walk = node => {
    for (const child of elements(node)) {
      if (VALUES.includes(localName(child)) && elements(child).length) named.add(attributes(child).name ?? localName(child));
      else walk(child);
    }
  };
  symbolizerElements.forEach(walk);
  return [...named].map(name => `${name} depends on the feature: drawn with the default.`);
}

/* A GeoStyler function: an object with a name, unlike a mark, which has a
 * kind. */
const isFunction = v => v !== null && typeof v === "object" && !Array.isArray(v) && !("kind" in v);

/* The symbolizer without the values the parser kept as functions (a mark
 * inside it too), so that the defaults are drawn. */
function withoutFunctions(symbolizer) {
  const out = {};
  for (const [key, value] of Object.entries(symbolizer)) {
    if (isFunction(value) || (Array.isArray(value) && value.some(isFunction))) continue;
    out[key] = value && typeof value === "object" && "kind" in value ? withoutFunctions(value) : value;
  }
  return out;
}

/* A value given by a function of a feature's value, in either form:
 * ogc:Function name="Categorize" (and Recode, Interpolate) with its
 * arguments, or SE's own elements. {kind, values, thresholds} for
 * Categorize, {kind, pairs: [[data, value]]} for the others; null for
 * anything else. */
function classifier(parameter) {
  const [inner] = elements(parameter);
  if (!inner) return null;
  const name = localName(inner) === "Function" ? attributes(inner).name ?? "" : localName(inner);
  const kind = ["Categorize", "Recode", "Interpolate"].find(k => k.toLowerCase() === name.toLowerCase());
  if (!kind) return null;
  if (localName(inner) === "Function") {
    const args = elements(inner).slice(1).map(textOf);
    if (kind === "Categorize") {
      if (args.length % 2 === 0) args.pop();  // "preceding" or "succeeding"
      return {kind, values: args.filter((_, i) => i % 2 === 0), thresholds: args.filter((_, i) => i % 2 === 1)};
    }
    const pairs = [];
    for (let i = 0; i + 1 < args.length; i += 2) pairs.push([args[i], args[i + 1]]);
    return {kind, pairs: kind === "Interpolate" ? pairs.filter(([d]) => Number.isFinite(parseFloat(d))) : pairs};
  }
  if (kind === "Categorize")
    return {kind, values: childrenNamed(inner, "Value").map(textOf), thresholds: childrenNamed(inner, "Threshold").map(textOf)};
  const items = childrenNamed(inner, kind === "Recode" ? "MapItem" : "InterpolationPoint");
  return {kind, pairs: items.map(item => [textOf(childNamed(item, "Data")), textOf(childNamed(item, "Value"))])};
}

/* The first styling parameter of a rule whose value a feature chooses. */
function classifiedParameter(node) {
  for (const child of elements(node)) {
    if (["CssParameter", "SvgParameter"].includes(localName(child))) {
      const found = classifier(child);
      if (found) return {parameter: child, ...found};
    } else {
      const found = classifiedParameter(child);
      if (found) return found;
    }
  }
  return null;
}

/* A copy of node with target (an element of it) put as replacement. */
function replacedIn(node, target, replacement) {
  if (node === target) return replacement;
  const children = node[tagOf(node)];
  if (!Array.isArray(children)) return node;
  return withChildren(node, children.map(n => (tagOf(n).startsWith("#") ? n : replacedIn(n, target, replacement))));
}

/* The classes of a classified parameter: [{label, value}]. */
function classesOf({kind, values, thresholds, pairs}) {
  if (kind === "Recode") return pairs.map(([data, value]) => ({label: data, value}));
  return values.map((value, i) => ({value, label: i === 0 ? `< ${thresholds[0]}`
    : i < thresholds.length ? `${thresholds[i - 1]} – ${thresholds[i]}` : `≥ ${thresholds[i - 1]}`}));
}

/* A raster's ColorMap: a ramp, or a row an entry. */
function colorMapRules(colorMap, label, group) {
  const entries = childrenNamed(colorMap, "ColorMapEntry").map(attributes).map(e => {
    const opacity = parseFloat(e.opacity ?? "1");
    const c = colorOf(e.color ?? "#000000");
    const color = c ? `rgba(${c.rgb.join(",")},${c.alpha * (Number.isFinite(opacity) ? opacity : 1)})` : e.color;
    return {quantity: parseFloat(e.quantity), color, label: e.label ?? e.quantity ?? ""};
  });
  const type = attributes(colorMap).type ?? "ramp";
  if (type === "ramp") {
    const ramp = linearRamp(entries.map(e => [e.quantity, e.color, e.label]));
    return ramp.stops.length ? [{label, group, notes: [], ramp}] : [];
  }
  return entries.map(e => ({label: e.label, group: [group, label].filter(Boolean).join(" › "), notes: [],
                            symbolizers: [{kind: "Fill", color: e.color}]}));
}

const SCALE = (rule, name) => parseFloat(textOf(childNamed(rule, name)));

/* Whether a rule is drawn at the view's scale, and the scales it is. */
function viewOfRule(rule, {scale}) {
  const min = SCALE(rule, "MinScaleDenominator"), max = SCALE(rule, "MaxScaleDenominator");
  const from = Number.isFinite(min) ? min : 0, to = Number.isFinite(max) ? max : Infinity;
  return {shown: from <= scale && scale < to, scales: [from, to]};
}

const COMPARISONS = {PropertyIsEqualTo: "is", PropertyIsNotEqualTo: "is not", PropertyIsLessThan: "<",
                     PropertyIsLessThanOrEqualTo: "≤", PropertyIsGreaterThan: ">", PropertyIsGreaterThanOrEqualTo: "≥",
                     PropertyIsLike: "like"};
/* A filter in words: "type is residential", "POP < 2000000". */
export function filterInWords(node) {
  const name = localName(node);
  const parts = elements(node);
  if (name === "Filter") return parts.length ? filterInWords(parts[0]) : "";
  if (COMPARISONS[name]) return `${parts.map(textOf).join(` ${COMPARISONS[name]} `)}`;
  if (name === "And" || name === "Or") return parts.map(filterInWords).join(name === "And" ? " and " : " or ");
  if (name === "Not") return `not (${filterInWords(parts[0] ?? {})})`;
  if (name === "PropertyIsNull") return `${textOf(parts[0])} is not set`;
  if (name === "PropertyIsBetween") {
    const bound = which => { const b = childNamed(node, which); return textOf(b) || textOf(elements(b ?? {})[0]); };
    return `${textOf(parts[0])} from ${bound("LowerBoundary")} to ${bound("UpperBoundary")}`;
  }
  return name;
}

/* A rule's label: its title, else its name, else its filter in words
 * ("other" for the rule of what no other rule draws). */
function ruleLabel(rule) {
  const filter = childNamed(rule, "Filter");
  return titleOf(rule) || textOf(childNamed(rule, "Name")) ||
         (filter ? filterInWords(filter) : childNamed(rule, "ElseFilter") ? "other" : "");
}

/* Metres and feet a pixel is at a scale: the OGC's pixel of 0.28 mm. */
const UOM = {metre: 1, foot: 0.3048};
const LENGTHS = ["width", "radius", "strokeWidth", "outlineWidth"];

/* A symbolizer whose lengths SE gives in metres or feet on the ground (its
 * uom), in pixels at the view's scale. */
function inPixels(symbolizer, element, scale) {
  const unit = /\/(metre|foot)$/.exec(attributes(element).uom ?? "")?.[1];
  if (!unit) return symbolizer;
  const factor = UOM[unit] / (scale * 0.00028);
  const s = {...symbolizer};
  for (const key of LENGTHS) if (typeof s[key] === "number") s[key] *= factor;
  if (Array.isArray(s.dasharray)) s.dasharray = s.dasharray.map(v => (typeof v === "number" ? v * factor : v));
  if (s.graphicFill) s.graphicFill = inPixels(s.graphicFill, element, scale);
  return s;
}

/* The rule's symbolizers as the parser reads them, SLD's defaults added,
 * lengths in pixels: {symbolizers, notes} or {error}. */
async function symbolizersOf(parser, root, found, scale) {
  const elementsDrawn = elements(found.rule).filter(n => SYMBOLIZERS.includes(localName(n)));
  const read = found.parsed ? {symbolizers: found.parsed} : await readOneRule(parser, ruleDocument(root, found));
  if (read.error) return read;
  const symbolizers = read.symbolizers.map(withoutFunctions);
  const aligned = symbolizers.length === elementsDrawn.length;
  return {notes: expressionNotes(elementsDrawn),
          symbolizers: aligned ? symbolizers.map((s, i) => inPixels(withDefaults(s, elementsDrawn[i]), elementsDrawn[i], scale))
                               : symbolizers};
}

/* The legend rules of one SLD rule: one, a row a class (up to limit), or
 * a ramp. */
async function rulesOfRule(parser, root, found, group, scale, limit) {
  const label = ruleLabel(found.rule);
  const colorMap = elements(found.rule).filter(n => localName(n) === "RasterSymbolizer")
    .map(r => childNamed(r, "ColorMap")).find(Boolean);
  if (colorMap) return colorMapRules(colorMap, label, group);
  const classified = classifiedParameter(found.rule);
  if (classified?.kind === "Interpolate") {
    const ramp = linearRamp(classified.pairs.map(([d, v]) => [parseFloat(d), v]));
    return [{label, group, notes: [], ramp}];
  }
  const classes = classified ? classesOf(classified).slice(0, Math.max(1, limit)) : [{label, value: null}];
  const rules = [];
  for (const {label: classLabel, value} of classes) {
    const rule = value === null ? found.rule
      : replacedIn(found.rule, classified.parameter, withChildren(classified.parameter, [{"#text": value}]));
    const read = await symbolizersOf(parser, root, value === null ? found : {...found, rule, parsed: null}, scale);
    const ruleGroup = value === null ? group : [group, label].filter(Boolean).join(" › ");
    const unread = [`The rule could not be read: ${read.error}.`];
    rules.push(read.error ? {label: classLabel, group: ruleGroup, symbolizers: [], notes: unread}
                          : {label: classLabel, group: ruleGroup, ...read});
  }
  return rules;
}

/* The document with only the rules found: those past the legend's limit
 * are not read at all (33,000 rules of a 5 MiB document took 9 s). */
function withRulesFound(root, found) {
  const kept = new Map(found.map(f => [f.original, f.rule]));
  const prune = node => {
    const children = node[tagOf(node)];
    if (!Array.isArray(children) || localName(node) === "Rule") return node;
    return withChildren(node, children.filter(n => localName(n) !== "Rule" || kept.has(n))
      .map(n => kept.get(n) ?? (tagOf(n).startsWith("#") ? n : prune(n))));
  };
  return prune(root);
}

/* Each rule's symbolizers from one reading of the whole document, in the
 * order of rulesOf; null when the parser cannot read it whole or reads
 * another number of rules (each rule is then read alone). */
async function wholeDocument(parser, root, found) {
  if (localName(root) !== "StyledLayerDescriptor") return null;
  let read;
  try {
    read = await parser.readStyle(writeXml([forParser(withRulesFound(root, found))]));
  } catch {
    return null;
  }
  const rules = read.output?.rules;
  return Array.isArray(rules) && rules.length === found.length && rules.every(r => Array.isArray(r.symbolizers))
    ? rules.map(r => r.symbolizers) : null;
}

/* {title, rules: [{label, group, symbolizers | ramp, notes, shown, scales}], notes}. */
export async function readSld(root, view, limit) {
  const parser = new SldStyleParser();
  const rules = [];
  const found = rulesOf(root, limit);
  const whole = await wholeDocument(parser, root, found);
  for (const [i, f] of found.entries()) f.parsed = whole?.[i];
  // A FeatureTypeStyle's title, once for its rules (it may hold thousands).
  const titles = new Map();
  for (const one of found) {
    const drawn = viewOfRule(one.rule, view);
    if (!titles.has(one.fts)) titles.set(one.fts, titleOf(one.fts));
    const read = await rulesOfRule(parser, root, one, titles.get(one.fts), view.scale, limit - rules.length);
    rules.push(...read.map(r => ({...r, ...drawn})));
    if (rules.length >= limit) break;
  }
  return {title: styleTitle(root), rules, notes: [],
          options: {dashUnit: "px", defaultCap: "butt", markStroke: "centred", renderer: "java2d"}};
}
