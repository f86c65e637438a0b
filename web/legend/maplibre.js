/* MapLibre (and Mapbox GL) style documents read into legend rules, at one
 * view (a zoom): paint and layout values evaluated by MapLibre's own style
 * library there, layers hidden there or switched off left out.
 *   - Data-driven values become classes: "match" a row a case and "other",
 *     "step" a row an interval ("< 10", "10 – 100", "≥ 100"), "case" a row
 *     a branch labelled with its condition in words, "interpolate" on a
 *     colour a ramp (on a width or radius, a row a stop); legacy function
 *     objects as the expressions they stand for. What a class is read from
 *     is put as a value of its own (CLASS) in every property of the row's
 *     layers, each compiled once, and each class drawn with its value.
 *   - Layers that draw the same features (one source, source layer and
 *     filter) are one row, stacked in drawing order, labelled by the top.
 *   - A heatmap is a ramp of its colour over its density.
 * One layer that cannot be read costs only that layer. */
import {convertFunction, isFunction, latest, normalizePropertyExpression} from "@maplibre/maplibre-gl-style-spec";
import {MAX_LEGEND_ROWS} from "../swatch-url.js";
import {colorOf} from "./swatch.js";
import {scaleOfZoom} from "./view.js";

const DRAWN = ["fill", "line", "circle"];
const COLOR_OF = {fill: "fill-color", line: "line-color", circle: "circle-color"};
const SIZE_OF = {line: "line-width", circle: "circle-radius"};
const INTERPOLATE = ["interpolate", "interpolate-hcl", "interpolate-lab"];

/* A legacy function object as the expression it stands for. */
function expressionOf(value, spec) {
  return isFunction(value) ? convertFunction(value, spec) : value;
}

/* The feature property a class's value is given in. */
const CLASS = "\u0000class";

/* A layer's properties compiled by the style library, once per layer. */
const compiled = new WeakMap();
function compiledProperty(layer, group, name, spec, given) {
  if (!compiled.has(layer)) compiled.set(layer, new Map());
  const cache = compiled.get(layer), key = `${group}.${name}`;
  if (!cache.has(key)) {
    const expression = normalizePropertyExpression(given, `layers.${layer.id}.${key}`, spec);
    // Whether it reads the feature other than by its class.
    const readsOther = readsFeature(JSON.stringify(given).split(JSON.stringify(["get", CLASS])).join("0"));
    cache.set(key, {expression, readsOther});
  }
  return cache.get(key);
}

/* The value of a layer's property at the zoom, for a feature of the class
 * value given: {value, note}. */
function evaluate(layer, group, name, zoom, {globals = {}, classValue} = {}) {
  const spec = latest[`${group}_${layer.type}`]?.[name];
  if (!spec) return {value: undefined};
  // A default may itself be an expression (a heatmap's colours).
  const given = layer[group]?.[name] ?? (Array.isArray(spec.default) && spec.type !== "array" ? spec.default : undefined);
  if (given === undefined) return {value: spec.default};
  const {expression, readsOther} = compiledProperty(layer, group, name, spec, given);
  if ((expression.kind === "source" || expression.kind === "composite") && (readsOther || classValue === undefined))
    return {value: spec.default, note: `${name} depends on the feature: drawn with its default.`};
  const value = expression.evaluate({zoom, ...globals}, {type: 1, properties: {[CLASS]: classValue}});
  const fits = spec.type === "color" ? colorOf(value) !== null : spec.type === "number" ? Number.isFinite(value)
             : spec.type === "array" ? Array.isArray(value) : true;
  if (!fits) return {value: spec.default, note: `${name} could not be read: drawn with its default.`};
  return {value};
}

/* The most stops or cases of one expression that are read: a legend shows
 * no more classes than that (370,000 stops of a step took 2 s to compile). */
const MAX_EXPRESSION_PAIRS = MAX_LEGEND_ROWS;
/* Of an expression by operator: the items before its pairs, and whether a
 * fallback follows them. Any other array keeps its first items. */
const PAIRED = {match: [2, true], case: [1, true], step: [3, false], interpolate: [3, false],
                "interpolate-hcl": [3, false], "interpolate-lab": [3, false]};

/* An expression with at most MAX_EXPRESSION_PAIRS pairs in each array
 * (cut.count counts the arrays shortened). */
function shortened(e, cut) {
  if (!Array.isArray(e)) return e;
  const [head, fallback] = PAIRED[e[0]] ?? [0, false];
  const most = head + 2 * MAX_EXPRESSION_PAIRS + (fallback ? 1 : 0);
  const kept = e.length <= most ? e : (cut.count++, [...e.slice(0, most - (fallback ? 1 : 0)), ...(fallback ? [e.at(-1)] : [])]);
  return kept.map(item => shortened(item, cut));
}

/* A layer with its filter, paint and layout expressions shortened. */
function shortenedLayer(layer, cut) {
  const of = values => (values && typeof values === "object"
    ? Object.fromEntries(Object.entries(values).map(([k, v]) => [k, shortened(v, cut)])) : values);
  const copy = {...layer};
  for (const key of ["filter", "paint", "layout"])
    if (key in layer) copy[key] = key === "filter" ? shortened(layer.filter, cut) : of(layer[key]);
  return copy;
}

/* Whether an expression reads the feature (rather than only the zoom or
 * constants): only such values divide features into classes. */
const readsFeature = e => /\["(get|has|!has|in|geometry-type|id|properties|feature-state)"/
  .test(typeof e === "string" ? e : JSON.stringify(e));
const same = (a, b) => JSON.stringify(a) === JSON.stringify(b);

/* The first value in an expression that a feature chooses, depth first:
 * {from, to, classes: [{label, value}]}, where a class is drawn with `to`
 * put where `from` is and its value as CLASS; {from, to, ramp: {stops}}
 * for an interpolation on a feature's value; null when there is none. */
function classesIn(e) {
  if (!Array.isArray(e)) return null;
  const [op] = e;
  if (op === "literal") return null;
  const byValue = {from: op === "match" || op === "step" ? e[1] : e[2], to: ["get", CLASS]};
  if (op === "match" && e.length >= 5 && readsFeature(e[1])) {
    const classes = [], values = [];
    for (let i = 2; i < e.length - 1; i += 2) {
      const labels = Array.isArray(e[i]) ? e[i] : [e[i]];
      values.push(...labels);
      classes.push({label: labels.map(String).join(", "), value: labels[0]});
    }
    const other = values.every(v => typeof v === "number") ? Math.max(...values) + 1 : "\u0000other";
    return {...byValue, classes: [...classes, {label: "other", value: other}]};
  }
  if (op === "step" && e.length >= 5 && readsFeature(e[1])) {
    const stops = e.filter((_, i) => i >= 3 && i % 2 === 1);
    const classes = stops.map((v, i) => ({label: i + 1 < stops.length ? `${v} – ${stops[i + 1]}` : `≥ ${v}`, value: v}));
    return {...byValue, classes: [{label: `< ${stops[0]}`, value: stops[0] - 1}, ...classes]};
  }
  if (op === "case" && e.length >= 4 && readsFeature(e.filter((_, i) => i % 2 === 1 && i < e.length - 1))) {
    // The case as a choice by branch number: class i takes branch i.
    const to = ["match", ["get", CLASS]], classes = [];
    for (let i = 1; i < e.length - 1; i += 2) {
      to.push(classes.length, e[i + 1]);
      classes.push({label: conditionInWords(e[i]), value: classes.length});
    }
    return {from: e, to: [...to, e.at(-1)], classes: [...classes, {label: "other", value: classes.length}]};
  }
  if (INTERPOLATE.includes(op) && e.length >= 5 && readsFeature(e[2]))
    return {...byValue, ramp: {stops: e.filter((_, i) => i >= 3 && i % 2 === 1 && i < e.length - 1)}};
  for (const child of e.slice(1)) {
    const found = classesIn(child);
    if (found) return found;
  }
  return null;
}

const OPERATORS = {"==": "is", "!=": "is not", "<": "<", "<=": "≤", ">": ">", ">=": "≥"};
/* A filter or condition in words: "class is motorway", "rank < 3". */
export function conditionInWords(c) {
  if (!Array.isArray(c)) return String(c);
  const [op, ...args] = c;
  const operand = a => (!Array.isArray(a) ? String(a) : a[0] === "get" || a[0] === "literal" ? String(a[1])
                        : conditionInWords(a));
  if (OPERATORS[op] && args.length >= 2) return `${operand(args[0])} ${OPERATORS[op]} ${operand(args[1])}`;
  if (op === "all" || op === "any") return args.map(conditionInWords).join(op === "all" ? " and " : " or ");
  if (op === "!") return `not (${conditionInWords(args[0])})`;
  if (op === "has") return `${args[0]} is set`;
  if (op === "!has") return `${args[0]} is not set`;
  if (op === "in" || op === "!in") {
    // ["in", key, v...] (legacy) or ["in", value, ["literal", [...]]].
    const [what, ...values] = Array.isArray(args[1]) && args[1][0] === "literal" ? [args[0], ...args[1][1]] : args;
    return `${operand(what)} is ${op === "!in" ? "not " : ""}${values.map(String).join(", ")}`;
  }
  if (op === "match" && args.length === 4 && args[2] === true && args[3] === false)
    return `${operand(args[0])} is ${[args[1]].flat().map(String).join(", ")}`;
  return JSON.stringify(c);
}

/* A copy of e with every part equal to from put as to. */
function replaced(e, from, to) {
  const text = JSON.stringify(from);
  const walk = x => {
    if (!Array.isArray(x)) return x;
    if (Array.isArray(from) && x.length === from.length && x[0] === from[0] && JSON.stringify(x) === text) return to;
    return x.map(walk);
  };
  return walk(e);
}

/* A layer with every paint and layout value in expression form, the
 * value its classes are read from put as CLASS (found: classesIn's). */
function withClassInput(layer, found) {
  const out = {...layer};
  for (const group of ["paint", "layout"]) {
    if (!layer[group]) continue;
    out[group] = {};
    for (const [name, value] of Object.entries(layer[group])) {
      const spec = latest[`${group}_${layer.type}`]?.[name];
      const e = spec ? expressionOf(value, spec) : value;
      out[group][name] = found ? replaced(e, found.from, found.to) : e;
    }
  }
  return out;
}

const css = c => (c && typeof c === "object" && "r" in c ? c.toString() : c);

/* The symbolizer of a layer at the zoom, for features of the class value. */
function symbolizerOf(layer, zoom, notes, classValue) {
  const get = (group, name) => {
    const {value, note} = evaluate(layer, group, name, zoom, {classValue});
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

/* The classes a layer's features fall in: by its colour, else by its
 * width or radius; a ramp for a colour interpolated on a feature's value;
 * null when every feature looks alike. */
function layerClasses(layer) {
  const spec = name => latest[`paint_${layer.type}`][name];
  const colour = layer.paint?.[COLOR_OF[layer.type]];
  const byColour = colour !== undefined && classesIn(expressionOf(colour, spec(COLOR_OF[layer.type])));
  if (byColour) return byColour;
  const size = SIZE_OF[layer.type] && layer.paint?.[SIZE_OF[layer.type]];
  const bySize = size !== undefined && size !== null && classesIn(expressionOf(size, spec(SIZE_OF[layer.type])));
  // Sizes interpolated on a feature's value: a row at each stop.
  if (bySize?.ramp) return {...bySize, ramp: undefined, classes: bySize.ramp.stops.map(v => ({label: String(v), value: v}))};
  return bySize || null;
}

/* A colour ramp of a layer's colour on a feature's value. */
function rampRule(layer, {stops}, zoom, label) {
  const name = COLOR_OF[layer.type];
  const colorAt = v => css(evaluate(layer, "paint", name, zoom, {classValue: v}).value);
  return {label, notes: [], ramp: {min: stops[0], max: stops.at(-1), stops: stops.map(v => [v, colorAt(v)]), colorAt}};
}

/* The rows of a stack of layers drawing the same features, bottom first:
 * the classes of the topmost layer that has them (up to limit), each drawn
 * through every layer. */
function stackRules(stack, zoom, limit) {
  const label = String(stack.at(-1).id ?? "");
  const [owner, found] = [...stack].reverse().map(l => [l, layerClasses(l)]).find(([, c]) => c) ?? [null, null];
  const layers = stack.map(l => withClassInput(l, found));
  // What --only and --skip also know a row by: its layers and source-layer.
  const names = [...new Set(stack.flatMap(l => [l.id, l["source-layer"]]).filter(n => typeof n === "string"))];
  if (found?.ramp) return [{...rampRule(layers[stack.indexOf(owner)], found.ramp, zoom, label), names}];
  const classes = found ? found.classes.slice(0, limit) : [null];
  return classes.map(cls => {
    const notes = [];
    const symbolizers = layers.map(l => symbolizerOf(l, zoom, notes, cls?.value));
    return cls ? {label: cls.label, group: label, names, symbolizers, notes: [...new Set(notes)]}
               : {label, names, symbolizers, notes: [...new Set(notes)]};
  });
}

/* A heatmap's colour over its density, 0 to 1. */
function heatmapRule(layer, zoom) {
  const name = "heatmap-color";
  const expressions = withClassInput(layer, null);
  const colorAt = d => css(evaluate(expressions, "paint", name, zoom, {globals: {heatmapDensity: d}}).value);
  return {label: String(layer.id ?? ""), notes: [],
          ramp: {min: 0, max: 1, stops: [[0, colorAt(0), "low"], [1, colorAt(1), "high"]], colorAt}};
}

/* Whether a layer is drawn at the zoom, and the scales it is drawn at. */
function viewOfLayer(layer, zoom) {
  const min = Number.isFinite(layer.minzoom) ? layer.minzoom : 0;
  const max = Number.isFinite(layer.maxzoom) ? layer.maxzoom : Infinity;
  return {shown: min <= zoom && zoom < max,
          scales: [max === Infinity ? 0 : scaleOfZoom(max), min > 0 ? scaleOfZoom(min) : Infinity]};
}

/* The map's backdrop at the zoom: the top background layer's colour. */
function backgroundOf(layers, zoom) {
  const bg = layers.filter(l => l?.type === "background" && l.layout?.visibility !== "none" && viewOfLayer(l, zoom).shown).at(-1);
  if (!bg) return undefined;
  const c = colorOf(css(evaluate(bg, "paint", "background-color", zoom).value));
  const opacity = evaluate(bg, "paint", "background-opacity", zoom).value;
  return c ? `rgba(${c.rgb.join(",")},${c.alpha * (Number.isFinite(opacity) ? opacity : 1)})` : undefined;
}

/* {title, rules: [{label, group, symbolizers | ramp, notes, shown, scales}], notes, background}. */
export async function readMapLibre(doc, {zoom}, limit) {
  const rules = [], notes = [];
  const cut = {count: 0};
  const layers = doc.layers.filter(l => l && typeof l === "object" && l.layout?.visibility !== "none")
    .map(l => shortenedLayer(l, cut));
  if (cut.count)
    notes.push(`${cut.count} expression${cut.count > 1 ? "s have" : " has"} more stops or cases than a legend shows: ` +
               `the first ${MAX_EXPRESSION_PAIRS} are read.`);
  // Layers drawn here that draw the same features, by what picks the features.
  const stacks = new Map();
  const keyOf = l => (typeof l.source === "string" ? JSON.stringify([l.source, l["source-layer"], l.filter]) : l);
  for (const l of layers) {
    if (!DRAWN.includes(l.type) || !viewOfLayer(l, zoom).shown) continue;
    if (!stacks.has(keyOf(l))) stacks.set(keyOf(l), []);
    stacks.get(keyOf(l)).push(l);
  }
  for (const layer of layers) {
    if (rules.length >= limit) break;
    const view = viewOfLayer(layer, zoom);
    if (layer.type === "background") continue;
    if (layer.type === "heatmap") {
      rules.push({...heatmapRule(layer, zoom), ...view});
      continue;
    }
    if (!DRAWN.includes(layer.type)) {
      notes.push(`Layer "${layer.id}" (${layer.type}) draws no swatch.`);
      continue;
    }
    const stack = view.shown ? stacks.get(keyOf(layer)) : [layer];
    // A stack is one row, where its bottom layer is drawn.
    if (stack[0] !== layer) continue;
    try {
      rules.push(...stackRules(stack, zoom, limit - rules.length).map(r => ({...r, ...view})));
    } catch (err) {
      rules.push({label: String(layer.id ?? ""), symbolizers: [], ...view,
                  notes: [`The layer could not be read: ${String(err.message).split("\n")[0]}.`]});
    }
  }
  return {title: typeof doc.name === "string" ? doc.name : "", rules, notes, background: backgroundOf(layers, zoom),
          options: {dashUnit: "width", defaultCap: "butt", markStroke: "outside", renderer: "maplibre"}};
}
