/* SLD documents (1.0, and 1.1 with Symbology Encoding) read into legend
 * rules. GeoStyler's SLD parser reads each rule's symbolizers, one rule at
 * a time, so a rule it cannot read costs only that rule. What the parser
 * gets wrong is taken from the document itself:
 *   - it names rules and styles by name where the document gives a title;
 *   - it drops SLD's defaults for an empty <Stroke/> (black, width 1),
 *     an empty <Fill/> (grey 808080) and a mark left unsaid (a grey
 *     square of size 6);
 *   - it reads the common 0xAAAAAA colour as a number (the swatch reads
 *     numbers as colours), and throws on a dash array of one number;
 *   - it accepts malformed XML (the document is checked before). */
import SldStyleParser from "geostyler-sld-parser";
import {attributes, childNamed, childrenNamed, elements, localName, readOneRule, tagOf, textOf, withChildren,
        writeXml} from "./xml.js";

const SYMBOLIZERS = ["PolygonSymbolizer", "LineSymbolizer", "PointSymbolizer", "TextSymbolizer", "RasterSymbolizer"];

/* A title as SLD 1.0 writes it (<Title>) or SLD 1.1 (<Description><Title>). */
const titleOf = node => textOf(childNamed(node, "Title")) || textOf(childNamed(childNamed(node, "Description") ?? {}, "Title"));

/* Every rule of every FeatureTypeStyle of every UserStyle, in document
 * order, up to limit: {rule, layer, style, fts}, the rule and the elements
 * above it. */
function rulesOf(root, limit) {
  const found = [];
  for (const layer of elements(root).filter(n => ["NamedLayer", "UserLayer"].includes(localName(n))))
    for (const style of childrenNamed(layer, "UserStyle"))
      for (const fts of [...childrenNamed(style, "FeatureTypeStyle"), ...childrenNamed(style, "CoverageStyle")])
        for (const rule of childrenNamed(fts, "Rule")) {
          found.push({rule, layer, style, fts});
          if (found.length >= limit) return found;
        }
  return found;
}

/* The legend's title: the first UserStyle's title, else its name, else
 * the layer's name. */
function styleTitle(root) {
  const layer = elements(root).find(n => ["NamedLayer", "UserLayer"].includes(localName(n)));
  if (!layer) return "";
  const style = childNamed(layer, "UserStyle");
  return (style && (titleOf(style) || textOf(childNamed(style, "Name")))) || textOf(childNamed(layer, "Name"));
}

/* A styling parameter of that name: <CssParameter> (SLD 1.0) or
 * <SvgParameter> (SE 1.1). */
const isParameter = (node, name) => ["CssParameter", "SvgParameter"].includes(localName(node)) &&
                                    attributes(node).name === name;

/* The rule with each one-number dash array written as two (the same
 * pattern): the parser throws on a dash array of one number. */
function mendDashes(node) {
  if (isParameter(node, "stroke-dasharray") && /^\s*[\d.]+\s*$/.test(textOf(node)))
    return withChildren(node, [{"#text": `${textOf(node)} ${textOf(node)}`}]);
  const children = node[tagOf(node)];
  return Array.isArray(children) ? withChildren(node, children.map(n => (tagOf(n).startsWith("#") ? n : mendDashes(n)))) : node;
}

/* A document of this one rule, for the parser. */
function ruleDocument(root, {rule, layer, style, fts}) {
  const name = childNamed(layer, "Name");
  const ruleStyle = withChildren(style, [withChildren(fts, [mendDashes(rule)])]);
  return writeXml([withChildren(root, [withChildren(layer, name ? [name, ruleStyle] : [ruleStyle])])]);
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

/* {title, rules: [{label, symbolizers, notes}], notes}. */
export async function readSld(root, limit) {
  const parser = new SldStyleParser();
  const rules = [];
  for (const found of rulesOf(root, limit)) {
    const label = titleOf(found.rule) || textOf(childNamed(found.rule, "Name"));
    const elementsDrawn = elements(found.rule).filter(n => SYMBOLIZERS.includes(localName(n)));
    const read = await readOneRule(parser, ruleDocument(root, found));
    if (read.error) {
      rules.push({label, symbolizers: [], notes: [`The rule could not be read: ${read.error}.`]});
      continue;
    }
    const symbolizers = read.symbolizers.map(withoutFunctions);
    const aligned = symbolizers.length === elementsDrawn.length;
    rules.push({label, notes: expressionNotes(elementsDrawn),
                symbolizers: aligned ? symbolizers.map((s, i) => withDefaults(s, elementsDrawn[i])) : symbolizers});
  }
  return {title: styleTitle(root), rules, notes: [], options: {dashUnit: "px", defaultCap: "butt"}};
}
