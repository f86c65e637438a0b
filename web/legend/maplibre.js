/* MapLibre (and Mapbox GL) style documents read into legend rules: a rule
 * for each fill, line and circle layer, with its paint and layout values
 * evaluated by MapLibre's own style library at the legend's zoom. A colour
 * given by "match" on a feature's property gives a rule for each case and
 * one, "other", for the fallback; any other value that needs a feature is
 * the property's default, with a note. One layer that cannot be read
 * costs only that layer. */
import {Color, latest, normalizePropertyExpression} from "@maplibre/maplibre-gl-style-spec";

const KINDS = {fill: "Fill", line: "Line", circle: "Mark"};
const COLOR_OF = {fill: "fill-color", line: "line-color", circle: "circle-color"};

/* The value of a layer's property at the zoom: {value, note}. */
function evaluate(layer, group, name, zoom) {
  const spec = latest[`${group}_${layer.type}`]?.[name];
  const given = layer[group]?.[name];
  if (!spec) return {value: undefined};
  if (given === undefined) return {value: spec.default};
  const expression = normalizePropertyExpression(given, `layers.${layer.id}.${group}.${name}`, spec);
  if (expression.kind === "source" || expression.kind === "composite")
    return {value: spec.default, note: `${name} depends on the feature: drawn with its default.`};
  const value = expression.evaluate({zoom});
  const fits = spec.type === "color" ? value instanceof Color : spec.type === "number" ? Number.isFinite(value)
             : spec.type === "array" ? Array.isArray(value) : true;
  if (!fits) return {value: spec.default, note: `${name} could not be read: drawn with its default.`};
  return {value};
}

/* A "match" on a feature's property, as [{labels, output}] with the
 * fallback last (labels null); null for any other value. */
function matchCases(value) {
  if (!Array.isArray(value) || value[0] !== "match" || value.length < 5 || value.length % 2 !== 1) return null;
  const cases = [];
  for (let i = 2; i < value.length - 1; i += 2)
    cases.push({labels: Array.isArray(value[i]) ? value[i] : [value[i]], output: value[i + 1]});
  cases.push({labels: null, output: value.at(-1)});
  return cases;
}

const css = c => (c instanceof Color ? c.toString() : c);

/* The symbolizer of a layer, its colour property overridden by colour. */
function symbolizerOf(layer, zoom, notes, colour) {
  const get = (group, name) => {
    if (name === COLOR_OF[layer.type] && colour !== undefined) return colour;
    const {value, note} = evaluate(layer, group, name, zoom);
    if (note) notes.push(note);
    return value;
  };
  const paint = name => get("paint", name);
  if (layer.type === "fill") {
    if (layer.paint?.["fill-pattern"] !== undefined) notes.push("The fill's pattern image is drawn as a flat colour.");
    return {kind: "Fill", color: css(paint("fill-color")), opacity: paint("fill-opacity"),
            outlineColor: layer.paint?.["fill-outline-color"] !== undefined ? css(paint("fill-outline-color")) : undefined,
            outlineOpacity: paint("fill-opacity")};
  }
  if (layer.type === "line") {
    if (layer.paint?.["line-pattern"] !== undefined) notes.push("The line's pattern image is not shown.");
    return {kind: "Line", color: css(paint("line-color")), opacity: paint("line-opacity"), width: paint("line-width"),
            dasharray: layer.paint?.["line-dasharray"] !== undefined ? paint("line-dasharray") : undefined,
            cap: get("layout", "line-cap"), gapWidth: paint("line-gap-width"), perpendicularOffset: paint("line-offset")};
  }
  const strokeWidth = paint("circle-stroke-width");
  return {kind: "Mark", wellKnownName: "circle", color: css(paint("circle-color")), fillOpacity: paint("circle-opacity"),
          radius: paint("circle-radius"), strokeWidth,
          strokeColor: strokeWidth > 0 ? css(paint("circle-stroke-color")) : undefined,
          strokeOpacity: paint("circle-stroke-opacity"), offset: paint("circle-translate")};
}

/* The rules of one layer. */
function layerRules(layer, zoom) {
  const cases = matchCases(layer.paint?.[COLOR_OF[layer.type]]);
  if (!cases) {
    const notes = [];
    return [{label: String(layer.id ?? ""), symbolizers: [symbolizerOf(layer, zoom, notes)], notes}];
  }
  const spec = latest[`paint_${layer.type}`][COLOR_OF[layer.type]];
  return cases.map(({labels, output}) => {
    const notes = [];
    const {value, note} = evaluate({...layer, paint: {[COLOR_OF[layer.type]]: output}}, "paint", COLOR_OF[layer.type], zoom);
    if (note) notes.push(note);
    return {label: labels ? labels.map(String).join(", ") : "other",
            symbolizers: [symbolizerOf(layer, zoom, notes, css(value ?? spec.default))], notes};
  });
}

/* {title, rules: [{label, symbolizers, notes}], notes}. */
export async function readMapLibre(doc, zoom, limit) {
  const rules = [], notes = [];
  for (const layer of doc.layers) {
    if (rules.length >= limit) break;
    if (!layer || typeof layer !== "object") continue;
    if (!KINDS[layer.type]) {
      notes.push(`Layer "${layer.id}" (${layer.type}) draws no swatch.`);
      continue;
    }
    try {
      rules.push(...layerRules(layer, zoom));
    } catch (err) {
      rules.push({label: String(layer.id ?? ""), symbolizers: [],
                  notes: [`The layer could not be read: ${String(err.message).split("\n")[0]}.`]});
    }
  }
  return {title: typeof doc.name === "string" ? doc.name : "", rules, notes,
          options: {dashUnit: "width", defaultCap: "butt"}};
}
